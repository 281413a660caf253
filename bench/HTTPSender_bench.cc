// 100 sends to the loopback portal over HTTPS: one reused client (kept
// connection, one TLS handshake) against a fresh client per send.
#include <benchmark/benchmark.h>

#include "delivery/HTTPSender.h"
#include "testsupport/TestSupport.h"
#include "tools/TestPortal.h"

namespace lumacor {
namespace {

constexpr int kSends = 100;

struct Portal {
  testing::TestPortal server{testing::PortalTls::kTls};
  testing::TempDir dir;
  HttpClientSettings settings;
  std::unique_ptr<testing::ConfigScope> config;
  std::string xml;

  Portal() {
    settings.ca_file = dir.Write("ca.pem", server.CertificatePem());
    TSincConfig c;
    c.CNPJ = "12345678000199";
    c.TokenEmpresa = "token";
    c.EndpointAPI = server.BaseUrl() + "/api";
    c.DBType = "firebird";
    config = std::make_unique<testing::ConfigScope>(c);
    // About the size of a typical NF-e.
    xml = "<nfeProc><NFe><infNFe Id=\"NFe35240112345678000199550010000000011000000017\">";
    while (xml.size() < 8000)
      xml += "<det nItem=\"1\"><prod><xProd>Produto ação</xProd></prod></det>";
    xml += "</infNFe></NFe></nfeProc>";
  }
};

void BM_Send100_ReusedClient(benchmark::State& state) {
  Portal portal;
  THTTPSender sender(HttpClient::Create(portal.settings));
  for (auto _ : state) {
    for (int i = 0; i < kSends; ++i) {
      if (!sender.Enviar("K", portal.xml).Sucesso) state.SkipWithError("envio falhou");
    }
    portal.server.ClearRequests();
  }
  state.SetItemsProcessed(state.iterations() * kSends);
}
BENCHMARK(BM_Send100_ReusedClient)->Unit(benchmark::kMillisecond);

void BM_Send100_FreshClientPerSend(benchmark::State& state) {
  Portal portal;
  for (auto _ : state) {
    for (int i = 0; i < kSends; ++i) {
      THTTPSender sender(HttpClient::Create(portal.settings));
      if (!sender.Enviar("K", portal.xml).Sucesso) state.SkipWithError("envio falhou");
    }
    portal.server.ClearRequests();
  }
  state.SetItemsProcessed(state.iterations() * kSends);
}
BENCHMARK(BM_Send100_FreshClientPerSend)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumacor
