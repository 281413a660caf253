#include <benchmark/benchmark.h>

#include <memory>

#include "queue/LocalQueue.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

constexpr int kDocumentos = 20000;
constexpr const char* kCnpj = "11222333000181";

// A batch of distinct NF-e of about 2 KB each, as a folder scan returns.
TXmlRowArray Lote() {
  TXmlRowArray lote;
  lote.reserve(kDocumentos);
  const std::string corpo(1800, 'x');
  for (int i = 0; i < kDocumentos; ++i) {
    std::string n = std::to_string(i);
    std::string chave = "3524" + std::string(40 - n.size(), '0') + n;
    lote.push_back({chave, "<NFe><infNFe Id=\"NFe" + chave + "\"><ide><mod>55</mod></ide><obs>" +
                               corpo + "</obs></infNFe></NFe>"});
  }
  return lote;
}

void BM_UpsertEmLoteNovos(benchmark::State& state) {
  const TXmlRowArray lote = Lote();
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<testing::TempDir>();
    auto q = std::make_unique<TLocalQueue>(dir->Path("fila.db"));
    state.ResumeTiming();
    q->UpsertEmLote(lote, kCnpj);
    state.PauseTiming();
    q.reset();
    dir.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kDocumentos);
}
BENCHMARK(BM_UpsertEmLoteNovos)->Unit(benchmark::kMillisecond);

void BM_UpsertEmLoteInalterados(benchmark::State& state) {
  const TXmlRowArray lote = Lote();
  testing::TempDir dir;
  TLocalQueue q(dir.Path("fila.db"));
  q.UpsertEmLote(lote, kCnpj);
  for (auto _ : state) q.UpsertEmLote(lote, kCnpj);
  state.SetItemsProcessed(state.iterations() * kDocumentos);
}
BENCHMARK(BM_UpsertEmLoteInalterados)->Unit(benchmark::kMillisecond);

// What the status files cost each cycle: counting the whole queue, half of
// it sent, a tenth failed for good.
void BM_Resumo(benchmark::State& state) {
  testing::TempDir dir;
  TLocalQueue q(dir.Path("fila.db"));
  q.UpsertEmLote(Lote(), kCnpj);
  q.Connection().Exec(
      "UPDATE sync_xml SET status_envio = CASE WHEN id % 10 = 0 THEN 'falha_definitiva' "
      "WHEN id % 2 = 0 THEN 'enviado' ELSE 'pendente' END");
  for (auto _ : state) benchmark::DoNotOptimize(q.Resumo());
  state.SetItemsProcessed(state.iterations() * kDocumentos);
}
BENCHMARK(BM_Resumo)->Unit(benchmark::kMillisecond);

void BM_ListarPendentes(benchmark::State& state) {
  testing::TempDir dir;
  TLocalQueue q(dir.Path("fila.db"));
  q.UpsertEmLote(Lote(), kCnpj);
  for (auto _ : state) benchmark::DoNotOptimize(q.ListarPendentes());
}
BENCHMARK(BM_ListarPendentes)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace lumacor
