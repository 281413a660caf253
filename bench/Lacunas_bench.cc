#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "collect/ChaveAcesso.h"
#include "common/Text.h"
#include "queue/Lacunas.h"
#include "queue/LocalQueue.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

constexpr int kLinhas = 500000;
constexpr const char* kCnpj = "11222333000181";

// A queue's worth of identifiers: the company's NF-e and NFC-e in four
// series with a number skipped every thousand, voidings, and a tenth of
// suppliers' notes.
std::vector<TIdentificadorFila> Identificadores() {
  std::vector<TIdentificadorFila> ids;
  ids.reserve(kLinhas);
  int64_t ultimo[8] = {};
  for (int i = 0; ids.size() < kLinhas; ++i) {
    int serie = i % 8;
    const char* mod = serie < 4 ? "55" : "65";
    if (i % 10 == 9) {
      std::string k = "352605" + std::string("99888777000166") + mod + Format("%03d%09d", 1, i) +
                      "1" + Format("%08d", i);
      ids.push_back({k + std::to_string(DigitoVerificadorChave(k)), i + 1});
      continue;
    }
    int64_t numero = ++ultimo[serie];
    if (i % 1000 == 998) continue;  // never exported
    if (i % 5000 == 17) {
      ultimo[serie] += 10;
      ids.push_back({"INUT-3526" + std::string(kCnpj) + mod +
                         Format("%03d%09lld%09lld", serie % 4 + 1, static_cast<long long>(numero),
                                static_cast<long long>(numero + 10)),
                     i + 1});
      continue;
    }
    std::string k = "352605" + std::string(kCnpj) + mod +
                    Format("%03d%09lld", serie % 4 + 1, static_cast<long long>(numero)) + "1" +
                    Format("%08d", i);
    ids.push_back({k + std::to_string(DigitoVerificadorChave(k)), i + 1});
  }
  return ids;
}

void BM_VerificarNumeracao(benchmark::State& state) {
  const std::vector<TIdentificadorFila> ids = Identificadores();
  for (auto _ : state) benchmark::DoNotOptimize(VerificarNumeracao(ids, kCnpj, 0));
  state.SetItemsProcessed(state.iterations() * kLinhas);
}
BENCHMARK(BM_VerificarNumeracao)->Unit(benchmark::kMillisecond);

// What the agent does each cycle: reading the identifiers out of the queue
// file, then the check. The texts are short here (1 KB) to keep the file
// small; the identifiers are read from the index, whatever their size.
void BM_VerificarNumeracaoDaFila(benchmark::State& state) {
  testing::TempDir dir;
  TLocalQueue q(dir.Path("fila.db"));
  {
    TSqliteStatement ins = q.Connection().Prepare(
        "INSERT INTO sync_xml (cnpj, chave_unica, xml, xml_hash) VALUES (:cnpj, :chave, :xml, "
        "'h')");
    const std::string xml(1000, 'x');
    q.Connection().Exec("BEGIN");
    for (const TIdentificadorFila& id : Identificadores()) {
      ins.BindText(":cnpj", kCnpj);
      ins.BindText(":chave", id.ChaveUnica);
      ins.BindText(":xml", xml);
      ins.Step();
      ins.Reset();
    }
    q.Connection().Exec("COMMIT");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(VerificarNumeracao(q.ListarIdentificadores(), kCnpj, 3,
                                                [&q](int64_t id) { return q.EntradaNaFila(id); }));
  }
  state.SetItemsProcessed(state.iterations() * kLinhas);
}
BENCHMARK(BM_VerificarNumeracaoDaFila)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumacor
