// Whole cycles over a folder of documents, the local queue and the test
// portal on loopback: what one interval of the agent costs.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "service/SyncRunner.h"
#include "testsupport/TestSupport.h"
#include "tools/TestPortal.h"

namespace lumacor {
namespace {

constexpr int kDocumentos = 500;

// A folder of distinct NF-e of about 4 KB each, one file per document.
void EscreverPasta(const testing::TempDir& dir) {
  const std::string itens(3500, 'x');
  for (int i = 0; i < kDocumentos; ++i) {
    std::string n = std::to_string(i);
    std::string chave = "3526" + std::string(40 - n.size(), '0') + n;
    dir.Write("xml/" + n + ".xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><nfeProc><NFe><infNFe Id=\"NFe" + chave +
                  "\"><ide><mod>55</mod><natOp>Venda de produ\xC3\xA7\xC3\xA3o</natOp></ide>"
                  "<det>" +
                  itens + "</det></infNFe></NFe><protNFe><infProt><chNFe>" + chave +
                  "</chNFe></infProt></protNFe></nfeProc>");
  }
}

struct Ambiente {
  testing::TempDir dir;
  testing::TestPortal portal;
  TSincConfig cfg;
  std::unique_ptr<testing::ConfigScope> scope;
  std::unique_ptr<TLogger> logger;

  Ambiente() {
    EscreverPasta(dir);
    cfg.CNPJ = "12345678000190";
    cfg.TokenEmpresa = "tok";
    cfg.EndpointAPI = portal.BaseUrl() + "/api";
    cfg.ModoColeta = "pasta";
    cfg.XMLPaths = dir.Path("xml");
    cfg.MaxTentativas = 5;
    cfg.DBType = "firebird";
    scope = std::make_unique<testing::ConfigScope>(cfg);
    logger = std::make_unique<TLogger>(dir.Path("log/sinc.log"), 0, 0, 0);
    GLogger = logger.get();
  }
  ~Ambiente() { GLogger = nullptr; }
};

// A cycle with a fresh queue: every document is new, 100 are sent.
void BM_CicloDocumentosNovos(benchmark::State& state) {
  Ambiente amb;
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    amb.scope.reset();
    amb.cfg.SQLitePath = amb.dir.Path("fila/queue" + std::to_string(n++) + ".db");
    amb.scope = std::make_unique<testing::ConfigScope>(amb.cfg);
    auto runner = std::make_unique<TSyncRunner>();
    state.ResumeTiming();
    runner->Executar();
    state.PauseTiming();
    runner.reset();
    std::filesystem::remove(amb.cfg.SQLitePath);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kDocumentos);
}
BENCHMARK(BM_CicloDocumentosNovos)->Unit(benchmark::kMillisecond);

// The steady state: every document collected again unchanged, nothing sent.
void BM_CicloSemMudancas(benchmark::State& state) {
  Ambiente amb;
  amb.scope.reset();
  amb.cfg.SQLitePath = amb.dir.Path("fila/queue.db");
  amb.scope = std::make_unique<testing::ConfigScope>(amb.cfg);
  TSyncRunner runner;
  for (int i = 0; i < kDocumentos / 100 + 1; ++i) runner.Executar();  // drain the queue
  for (auto _ : state) runner.Executar();
  state.SetItemsProcessed(state.iterations() * kDocumentos);
}
BENCHMARK(BM_CicloSemMudancas)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumacor
