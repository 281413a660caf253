// Classifier throughput over a mix like a day of an ERP's output folder:
// mostly NF-e and NFC-e of various sizes, some events and voidings, and
// unrelated XML that costs the most (every pattern scans it whole). Each
// measure runs for the classifier and for the plain patterns it must agree
// with, so one run gives the ratio.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "collect/NFeValidator.h"
#include "collect/NFeValidatorReferencia.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

std::string Fixture(const std::string& name) {
  return testing::ReadFileBytes(std::string(LUMACOR_SOURCE_DIR) + "/collect/testdata/" + name);
}

// An authorised NF-e with `itens` product lines (a real one holds from one
// to several hundred; each line is about 700 bytes).
std::string NFeGrande(int itens) {
  const std::string base = Fixture("nfe_proc.xml");
  const std::string item_open = "<det nItem=\"1\">";
  size_t start = base.find(item_open);
  size_t end = base.find("</det>", start) + 6;
  const std::string item = base.substr(start, end - start);
  std::string itens_xml;
  for (int i = 2; i <= itens; i++) {
    std::string copy = item;
    copy.replace(0, item_open.size(), "<det nItem=\"" + std::to_string(i) + "\">");
    itens_xml += "\n    " + copy;
  }
  return base.substr(0, end) + itens_xml + base.substr(end);
}

std::vector<std::string> Mistura() {
  std::vector<std::string> docs;
  for (int i = 0; i < 4; i++) docs.push_back(Fixture("nfe_proc.xml"));
  for (int i = 0; i < 4; i++) docs.push_back(Fixture("nfce.xml"));
  docs.push_back(NFeGrande(20));
  docs.push_back(NFeGrande(120));
  docs.push_back(Fixture("nfe_prefixo.xml"));
  docs.push_back(Fixture("nfe_cp1252.xml"));
  docs.push_back(Fixture("cancelamento.xml"));
  docs.push_back(Fixture("carta_correcao.xml"));
  docs.push_back(Fixture("inutilizacao_proc.xml"));
  docs.push_back(Fixture("nao_fiscal.xml"));
  return docs;
}

int64_t TotalBytes(const std::vector<std::string>& docs) {
  int64_t total = 0;
  for (const auto& d : docs) total += static_cast<int64_t>(d.size());
  return total;
}

// The calls the folder collector makes per file, plus the queue's priority.
template <typename Classificador>
void BM_ClassificarMistura(benchmark::State& state) {
  static const std::vector<std::string> docs = Mistura();
  for (auto _ : state) {
    for (const auto& xml : docs) {
      if (!Classificador::IsDocumentoFiscalOuEvento(xml)) continue;
      benchmark::DoNotOptimize(Classificador::ExtractChaveAcesso(xml));
      benchmark::DoNotOptimize(Classificador::IsHomologacao(xml));
      benchmark::DoNotOptimize(Classificador::IsEventoCancelamento(xml) ||
                               Classificador::IsInutilizacao(xml));
      benchmark::DoNotOptimize(Classificador::GetPrioridadeFila(xml));
    }
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes(docs));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(docs.size()));
}
BENCHMARK_TEMPLATE(BM_ClassificarMistura, TNFeValidatorReferencia)->Threads(1)->Threads(2);
BENCHMARK_TEMPLATE(BM_ClassificarMistura, TNFeValidator)->Threads(1)->Threads(2);

// The same answers from one call per document, as a caller that asks them
// all gets them.
void BM_ClassificarMisturaUmaChamada(benchmark::State& state) {
  static const std::vector<std::string> docs = Mistura();
  for (auto _ : state) {
    for (const auto& xml : docs) benchmark::DoNotOptimize(TNFeValidator::Classificar(xml));
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes(docs));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(docs.size()));
}
BENCHMARK(BM_ClassificarMisturaUmaChamada)->Threads(1)->Threads(2);

// Worst case: a large document that is none of the kinds.
template <typename Classificador>
void BM_RejeitarNaoFiscalGrande(benchmark::State& state) {
  static const std::string xml = [] {
    std::string body = "<?xml version=\"1.0\"?>\n<relatorio>\n";
    for (int i = 0; i < 2000; i++) {
      body += "  <linha id=\"" + std::to_string(i) +
              "\"><modelo>55</modelo><evento>venda</evento><valor>10.00</valor></linha>\n";
    }
    return body + "</relatorio>\n";
  }();
  for (auto _ : state) benchmark::DoNotOptimize(Classificador::IsDocumentoFiscalOuEvento(xml));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}
BENCHMARK_TEMPLATE(BM_RejeitarNaoFiscalGrande, TNFeValidatorReferencia);
BENCHMARK_TEMPLATE(BM_RejeitarNaoFiscalGrande, TNFeValidator);

}  // namespace
}  // namespace lumacor
