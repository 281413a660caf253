#include "service/StatusReport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>

#include "collect/ChaveAcesso.h"
#include "common/Text.h"
#include "testsupport/Fakes.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::FakeClock;
using testing::TempDir;

const std::string kChave = "35260512345678000190550010000000011000000011";
constexpr int64_t kAgora = 1779285909;  // 2026-05-20 14:05:09 UTC, FakeClock's start

// An agent a minute into its run whose last cycle completed, with a queue
// that holds a little of everything.
TStatusAgente Exemplo() {
  TStatusAgente s;
  s.Versao = "1.0.2";
  s.Estado = "aguardando";
  s.GeradoEm = kAgora;
  s.IniciadoEm = kAgora - 3600;
  s.IntervaloSegundos = 60;
  s.IniPath = "C:\\ProgramData\\Lumacor\\Marlux.ini";
  s.Modo = "pasta";
  s.Fontes = "pastas C:\\ERP\\XML";
  s.FilaPath = "C:\\ProgramData\\Lumacor\\config\\queue.db";
  s.LogPath = "C:\\ProgramData\\Lumacor\\logs\\sinc.log";
  s.UltimoCiclo = {kAgora - 5, kAgora - 2, 3120, 131, 7, 2, kCicloConcluido, ""};
  s.ProximoCiclo = kAgora + 58;
  s.Fila.Total = {131, 2048, 3};
  s.Fila.PorCNPJ = {{"12345678000190", {130, 2000, 3}}, {"99888777000166", {1, 48, 0}}};
  s.Fila.Falhas = {
      {"12345678000190", kChave, "HTTP 422 <b>chave</b> & \"rejeitada\"", "2026-05-20 13:00:00"}};
  s.PendenteMaisAntigo = kAgora - 7200;
  s.UltimoEnvio = kAgora - 3;
  return s;
}

TEST(StatusReportTest, JsonReadsBackEveryFigure) {
  TStatusAgente s = Exemplo();
  s.UltimoCiclo.Desfecho = kCicloErroColeta;
  s.UltimoCiclo.Mensagem = "Pasta XML nao encontrada: C:\\ERP\\XML";
  s.ErroLog = "falha de E/S";
  // A portal's answer in Windows-1252 must not make the file unreadable.
  s.Fila.Falhas.push_back({"99888777000166", "INUT-1", "Rejei\xE7\xE3o", "2026-05-19 01:02:03"});
  std::string json = StatusParaJson(s);
  EXPECT_NE(json.find("\"gerado_em\": \"2026-05-20T14:05:09Z\""), std::string::npos) << json;
  EXPECT_EQ(json.find("masterkey"), std::string::npos);

  TStatusAgente r = StatusDeJson(json);
  EXPECT_EQ(r.Versao, s.Versao);
  EXPECT_EQ(r.Estado, s.Estado);
  EXPECT_EQ(r.GeradoEm, s.GeradoEm);
  EXPECT_EQ(r.IniciadoEm, s.IniciadoEm);
  EXPECT_EQ(r.IntervaloSegundos, 60);
  EXPECT_EQ(r.IniPath, s.IniPath);
  EXPECT_EQ(r.Fontes, s.Fontes);
  EXPECT_EQ(r.ErroLog, s.ErroLog);
  EXPECT_EQ(r.UltimoCiclo.Inicio, s.UltimoCiclo.Inicio);
  EXPECT_EQ(r.UltimoCiclo.DuracaoMs, 3120);
  EXPECT_EQ(r.UltimoCiclo.Coletados, 131);
  EXPECT_EQ(r.UltimoCiclo.Enviados, 7);
  EXPECT_EQ(r.UltimoCiclo.Falhas, 2);
  EXPECT_EQ(r.UltimoCiclo.Desfecho, kCicloErroColeta);
  EXPECT_EQ(r.UltimoCiclo.Mensagem, s.UltimoCiclo.Mensagem);
  EXPECT_EQ(r.ProximoCiclo, s.ProximoCiclo);
  EXPECT_EQ(r.Fila.Total.Pendentes, 131);
  EXPECT_EQ(r.Fila.Total.Enviados, 2048);
  EXPECT_EQ(r.Fila.Total.FalhasDefinitivas, 3);
  ASSERT_EQ(r.Fila.PorCNPJ.size(), 2u);
  EXPECT_EQ(r.Fila.PorCNPJ[1].first, "99888777000166");
  EXPECT_EQ(r.Fila.PorCNPJ[1].second.Enviados, 48);
  ASSERT_EQ(r.Fila.Falhas.size(), 2u);
  EXPECT_EQ(r.Fila.Falhas[0].ChaveUnica, kChave);
  EXPECT_EQ(r.Fila.Falhas[0].UltimoErro, s.Fila.Falhas[0].UltimoErro);
  EXPECT_EQ(r.Fila.Falhas[0].Quando, "2026-05-20 13:00:00");
  EXPECT_EQ(r.Fila.Falhas[1].UltimoErro, "Rejei\xC3\xA7\xC3\xA3o");
  EXPECT_EQ(r.PendenteMaisAntigo, s.PendenteMaisAntigo);
  EXPECT_EQ(r.UltimoEnvio, s.UltimoEnvio);

  TStatusAgente inicio = Exemplo();
  inicio.UltimoCiclo = TResumoCiclo{};
  EXPECT_EQ(StatusDeJson(StatusParaJson(inicio)).UltimoCiclo.Inicio, 0);

  for (const char* ruim : {"", "{", "[]", "{\"versao\":\"1\"}", "\xEF\xBB\xBF{"}) {
    EXPECT_THROW(StatusDeJson(ruim), std::runtime_error) << ruim;
  }
}

TEST(StatusReportTest, BannerAndExitCode) {
  struct Case {
    const char* nome;
    void (*muda)(TStatusAgente&);
    int64_t idade;  // seconds since the status was written
    const char* semaforo;
    int codigo;
  } cases[] = {
      {"ciclo concluido e recente", [](TStatusAgente&) {}, 10, "OK", 0},
      {"tres intervalos ainda vale", [](TStatusAgente&) {}, 180, "OK", 0},
      {"vencido", [](TStatusAgente&) {}, 181, "Parado", 1},
      {"intervalo 0 vence como 60 s", [](TStatusAgente& s) { s.IntervaloSegundos = 0; }, 170, "OK",
       0},
      {"intervalo longo", [](TStatusAgente& s) { s.IntervaloSegundos = 600; }, 1700, "OK", 0},
      {"agente parado", [](TStatusAgente& s) { s.Estado = "parado"; }, 1, "Parado", 1},
      {"nenhum ciclo ainda", [](TStatusAgente& s) { s.UltimoCiclo = TResumoCiclo{}; }, 1, "OK", 1},
      {"erro na coleta", [](TStatusAgente& s) { s.UltimoCiclo.Desfecho = kCicloErroColeta; }, 1,
       "Atenção", 1},
      {"configuracao invalida",
       [](TStatusAgente& s) { s.UltimoCiclo.Desfecho = kCicloConfigInvalida; }, 1, "Atenção", 1},
      {"portal indisponivel",
       [](TStatusAgente& s) { s.UltimoCiclo.Desfecho = kCicloPortalIndisponivel; }, 1, "Atenção",
       1},
      {"erro no ciclo", [](TStatusAgente& s) { s.UltimoCiclo.Desfecho = kCicloErro; }, 1, "Atenção",
       1},
      {"falhas definitivas", [](TStatusAgente& s) { s.Fila.Total.FalhasDefinitivas = 1; }, 1,
       "Atenção", 0},
      {"log nao gravavel", [](TStatusAgente& s) { s.ErroLog = "disco cheio"; }, 1, "Atenção", 0},
      {"fila ilegivel", [](TStatusAgente& s) { s.ErroFila = "database is locked"; }, 1, "Atenção",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nome);
    TStatusAgente s = Exemplo();
    s.Fila.Total.FalhasDefinitivas = 0;
    c.muda(s);
    // Read back, as /status does.
    TStatusAgente lido = StatusDeJson(StatusParaJson(s));
    EXPECT_EQ(Semaforo(lido, kAgora + c.idade), c.semaforo);
    EXPECT_EQ(CodigoSaidaStatus(lido, kAgora + c.idade), c.codigo);
  }
}

TEST(StatusReportTest, TerminalSummary) {
  FakeClock clock;
  TStatusAgente s = Exemplo();
  std::vector<std::string> l = ResumoTerminal(s, kAgora + 200, &clock);
  ASSERT_GE(l.size(), 5u);
  EXPECT_EQ(l[0], "Lumacor Relay 1.0.2: Parado");
  EXPECT_EQ(l[2], "Status sem atualização há mais de três intervalos: o agente parece parado.");
  std::string all;
  for (const auto& x : l) all += x + "\n";
  EXPECT_NE(all.find("Último ciclo: concluído em 20/05/2026 14:05:07 - coletados: 131 | "
                     "enviados: 7 | erros: 2"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("Fila: pendentes: 131 | enviados: 2048 | falhas definitivas: 3"),
            std::string::npos);
  EXPECT_NE(all.find("Pendente mais antigo: 20/05/2026 12:05:09 (há 2 h 3 min)"), std::string::npos)
      << all;
  EXPECT_NE(all.find("falha definitiva " + kChave + ": HTTP 422"), std::string::npos);
}

TEST(StatusReportTest, PageEscapesEveryText) {
  FakeClock clock;
  TStatusAgente s = Exemplo();
  s.UltimoCiclo.Desfecho = kCicloErroColeta;
  s.UltimoCiclo.Mensagem = "<script>alert('x')</script>";
  s.Fontes = "pastas C:\\A&B\\<XML>";
  std::string html = StatusParaHtml(s, &clock);
  EXPECT_EQ(html.find("<script>alert"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(html.find("pastas C:\\A&amp;B\\&lt;XML&gt;"), std::string::npos);
  EXPECT_NE(html.find("HTTP 422 &lt;b&gt;chave&lt;/b&gt; &amp; &quot;rejeitada&quot;"),
            std::string::npos);
  EXPECT_NE(html.find("<meta http-equiv=\"refresh\" content=\"30\">"), std::string::npos);
  // Self-contained: nothing is fetched from elsewhere.
  for (const char* fora : {"src=", "href=", "@import", "url("}) {
    EXPECT_EQ(html.find(fora), std::string::npos) << fora;
  }
}

TEST(StatusReportTest, SqliteTimes) {
  struct Case {
    const char* texto;
    int64_t segundos;
  } cases[] = {
      {"1970-01-01 00:00:00", 0},
      {"2026-05-20 14:05:09", kAgora},
      {"2024-02-29 23:59:59", 1709251199},
      {"2000-03-01 00:00:00", 951868800},
      {"", 0},
      {"2026-05-20T14:05:09Z", 0},
      {"ontem", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(SegundosDeDataSqlite(c.texto), c.segundos) << c.texto;
}

// Headless Chromium, when installed (scripts/deps/browser.txt). Run the
// POSIX way; the Windows build, under Wine, has none to run.
std::string Chromium() {
  if (FileSystem::Default()->Separator() != '/') return "";
  for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (std::filesystem::exists(p)) return p;
  }
  return "";
}

// The DOM Chromium builds from the page on disk, scripts run.
std::string DomOf(const std::string& chromium, const std::string& page, const TempDir& dir) {
  std::string out = dir.Path("dom.html");
  std::string cmd = chromium +
                    " --headless --no-sandbox --disable-gpu --no-first-run "
                    "--user-data-dir=" +
                    dir.Path("perfil") + " --dump-dom 'file://" + page + "' > '" + out +
                    "' 2>/dev/null";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return testing::ReadFileBytes(out);
}

std::string TextOf(const std::string& dom, const std::string& id) {
  std::smatch m;
  std::regex re("id=\"" + id + "\"[^>]*>([^<]*)<");
  return std::regex_search(dom, m, re) ? m[1].str() : "(sem " + id + ")";
}

TEST(StatusPageBrowserTest, ChromiumShowsTheFiguresAndTurnsAnOldPageToParado) {
  std::string chromium = Chromium();
  if (chromium.empty()) GTEST_SKIP() << "chromium nao instalado (scripts/install-deps browser)";
  TempDir dir;
  FakeClock clock;

  // Written now, by the real clock: the browser sees a fresh page.
  TStatusAgente s = Exemplo();
  int64_t agora = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  s.GeradoEm = agora;
  GravarStatus(s, dir.path(), FileSystem::Default(), &clock);
  std::string dom = DomOf(chromium, dir.Path(kStatusHtml), dir);
  EXPECT_EQ(TextOf(dom, "semaforo-texto"), "Atenção") << dom;
  EXPECT_EQ(TextOf(dom, "motivo"), "3 documentos com falha definitiva.");
  EXPECT_EQ(TextOf(dom, "fila-pendentes"), "131");
  EXPECT_EQ(TextOf(dom, "fila-enviados"), "2048");
  EXPECT_EQ(TextOf(dom, "fila-falhas"), "3");
  EXPECT_EQ(TextOf(dom, "ciclo-enviados"), "7");
  EXPECT_EQ(TextOf(dom, "agente-versao"), "1.0.2");
  EXPECT_NE(dom.find("<td class=\"chave\">" + kChave + "</td>"), std::string::npos);
  EXPECT_NE(dom.find("HTTP 422 &lt;b&gt;chave&lt;/b&gt; &amp; \"rejeitada\""), std::string::npos)
      << dom;

  // Written four intervals ago and never again: the agent is gone.
  s.GeradoEm = agora - 4 * 60;
  s.Fila.Total.FalhasDefinitivas = 0;
  GravarStatus(s, dir.path(), FileSystem::Default(), &clock);
  dom = DomOf(chromium, dir.Path(kStatusHtml), dir);
  EXPECT_EQ(TextOf(dom, "semaforo-texto"), "Parado") << dom;
  EXPECT_NE(dom.find("id=\"semaforo\" class=\"parado\""), std::string::npos);
  EXPECT_EQ(TextOf(dom, "motivo"), "Status sem atualização há mais de três intervalos.");
}

// An access key of the company (12345678000190), NFC-e series 1, with a
// right check digit unless `errado`.
std::string ChaveNumero(int64_t numero, bool errado = false) {
  std::string k =
      "35260512345678000190650010" + Format("%08lld", static_cast<long long>(numero)) + "100000001";
  int dv = DigitoVerificadorChave(k);
  return k + std::to_string(errado ? (dv + 1) % 10 : dv);
}

TQueueItem Item(const std::string& chave) {
  TQueueItem item;
  item.CNPJ = "12345678000190";
  item.ChaveUnica = chave;
  return item;
}

std::vector<std::string>* g_saida = nullptr;
void Saida(const std::string& linha) { g_saida->push_back(linha); }

class RelatorioLacunasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg_.CNPJ = "12345678000190";
    cfg_.SQLitePath = dir_.Path("fila/queue.db");
    cfg_.IntervaloSegundos = 60;
    queue_ = std::make_unique<TLocalQueue>(cfg_.SQLitePath);
  }
  void Guardar(const std::string& chave) { queue_->UpsertXML(cfg_.CNPJ, chave, "<x/>", chave); }
  // One cycle as the runner reports it.
  void Ciclo(TRelatorioStatus& r) {
    r.CicloIniciado();
    r.CicloTerminado(queue_.get());
  }
  std::vector<std::string> Lacunas() {
    std::vector<std::string> saida;
    g_saida = &saida;
    EXPECT_EQ(ComandoLacunas(dir_.Path("fila"), FileSystem::Default(), Saida), 0);
    g_saida = nullptr;
    return saida;
  }

  TempDir dir_;
  FakeClock clock_;
  TSincConfig cfg_;
  std::unique_ptr<TLocalQueue> queue_;
};

TEST_F(RelatorioLacunasTest, DailyLineWarningOnceAndTheFullList) {
  for (int n : {1, 2, 5, 6}) Guardar(ChaveNumero(n));
  // Collected by an earlier run, which warned about it then.
  std::string antiga = ChaveNumero(7, true);
  Guardar(antiga);
  const std::string linha3a4 =
      "Numeracao com lacunas: CNPJ 12345678000190, modelo 65, serie 1: 3-4 (2 numeros)";

  testing::LogCapture log;
  TRelatorioStatus r(cfg_, "Marlux.ini", FileSystem::Default(), &clock_);
  r.Iniciado(queue_.get());
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"INFO |" + linha3a4}));
  std::vector<std::string> lista = Lacunas();
  ASSERT_EQ(lista.size(), 3u);
  EXPECT_EQ(lista[0], "Numeração verificada em 20/05/2026 14:05:09");
  EXPECT_EQ(lista[1], "CNPJ 12345678000190, modelo 65, série 1: 3-4 (2 números)");
  EXPECT_EQ(lista[2], "Chave com dígito verificador inválido: " + antiga);

  // A new wrong key is warned about once; the gap line waits for the next day.
  std::string nova = ChaveNumero(10, true);
  Guardar(nova);
  clock_.Advance(std::chrono::minutes(1));
  Ciclo(r);
  ASSERT_EQ(log.Messages().size(), 2u);
  EXPECT_EQ(log.Messages()[1],
            "WARN |Chave de acesso com digito verificador invalido (enviada assim mesmo): " + nova);
  Ciclo(r);
  EXPECT_EQ(log.Messages().size(), 2u);
  EXPECT_EQ(Lacunas()[1], "CNPJ 12345678000190, modelo 65, série 1: 3-4, 8-9 (4 números)");

  clock_.Advance(std::chrono::hours(24));
  Ciclo(r);
  auto linhas = log.Messages();
  ASSERT_EQ(linhas.size(), 3u);
  EXPECT_EQ(linhas[2],
            "INFO |Numeracao com lacunas: CNPJ 12345678000190, modelo 65, serie 1: 3-4, 8-9 (4 "
            "numeros)");

  TStatusAgente lido = StatusDeJson(testing::ReadFileBytes(dir_.Path("fila/status.json")));
  EXPECT_TRUE(lido.VerificaLacunas);
  ASSERT_EQ(lido.Lacunas.size(), 1u);
  EXPECT_EQ(lido.Lacunas[0].Numeros, 4);
  EXPECT_EQ(lido.FaixasLacunas, 2);
  EXPECT_EQ(lido.ChavesInvalidas, (std::vector<std::string>{antiga, nova}));
}

// Cycles in which the queue did not grow reuse the last check: the list,
// the page and the log stay as a full check would leave them, and the time
// of the check moves on.
TEST_F(RelatorioLacunasTest, UnchangedQueueKeepsItsListAndTheTimeMovesOn) {
  for (int n : {1, 4}) Guardar(ChaveNumero(n));
  std::string ruim = ChaveNumero(6, true);
  testing::LogCapture log;
  TRelatorioStatus r(cfg_, "Marlux.ini", FileSystem::Default(), &clock_);
  r.Iniciado(queue_.get());
  std::vector<std::string> antes = Lacunas();
  ASSERT_EQ(antes.size(), 2u);
  EXPECT_EQ(antes[1], "CNPJ 12345678000190, modelo 65, série 1: 2-3 (2 números)");

  // A row sent and a row re-queued with a new text keep their ids.
  queue_->MarcarEnviado(Item(ChaveNumero(1)));
  queue_->UpsertXML(cfg_.CNPJ, ChaveNumero(4), "<y/>", "outro");
  clock_.Advance(std::chrono::minutes(5));
  Ciclo(r);
  std::vector<std::string> depois = Lacunas();
  ASSERT_EQ(depois.size(), 2u);
  EXPECT_EQ(depois[0], "Numeração verificada em 20/05/2026 14:10:09");
  EXPECT_EQ(depois[1], antes[1]);
  EXPECT_EQ(r.Status().FaixasLacunas, 1);

  // The next row, a wrong key above a new gap, is seen at once.
  Guardar(ruim);
  clock_.Advance(std::chrono::minutes(1));
  Ciclo(r);
  EXPECT_EQ(Lacunas()[1], "CNPJ 12345678000190, modelo 65, série 1: 2-3, 5 (3 números)");
  EXPECT_EQ(log.Messages().back(),
            "WARN |Chave de acesso com digito verificador invalido (enviada assim mesmo): " + ruim);
  const size_t linhas = log.Messages().size();
  Ciclo(r);
  Ciclo(r);
  EXPECT_EQ(log.Messages().size(), linhas);
  EXPECT_EQ(r.Status().ChavesInvalidas, (std::vector<std::string>{ruim}));
}

TEST_F(RelatorioLacunasTest, TurnedOffStillListsWrongKeys) {
  cfg_.VerificarLacunas = false;
  std::string ruim = ChaveNumero(9, true);
  for (const std::string& k : {ChaveNumero(1), ruim}) Guardar(k);
  testing::LogCapture log;
  TRelatorioStatus r(cfg_, "Marlux.ini", FileSystem::Default(), &clock_);
  r.Iniciado(queue_.get());
  EXPECT_TRUE(log.Messages().empty());
  auto lista = Lacunas();
  ASSERT_EQ(lista.size(), 3u);
  EXPECT_EQ(lista[1], "Verificação de lacunas desligada ([COLETA] verificar_lacunas=0).");
  std::string html = testing::ReadFileBytes(dir_.Path("fila/status.html"));
  EXPECT_NE(html.find("id=\"lacunas-desligada\""), std::string::npos);
  EXPECT_NE(html.find(ruim), std::string::npos);
}

// A gap is held back until the newest document is as many days newer than
// the first document above it, by the times the queue recorded.
TEST_F(RelatorioLacunasTest, DelayedGapsByTheQueuesTimes) {
  cfg_.LacunasAtrasoDias = 2;
  auto guardar_em = [this](int n, const char* quando) {
    Guardar(ChaveNumero(n));
    queue_->Connection().Exec("UPDATE sync_xml SET created_at = '" + std::string(quando) +
                              "' WHERE chave_unica = '" + ChaveNumero(n) + "'");
  };
  guardar_em(1, "2026-05-01 10:00:00");
  guardar_em(5, "2026-05-02 10:00:00");
  guardar_em(6, "2026-05-04 09:59:59");
  testing::LogCapture log;
  TRelatorioStatus r(cfg_, "Marlux.ini", FileSystem::Default(), &clock_);
  r.Iniciado(queue_.get());
  EXPECT_EQ(r.Status().FaixasLacunas, 0);
  guardar_em(8, "2026-05-04 10:00:00");
  Ciclo(r);
  ASSERT_EQ(r.Status().Lacunas.size(), 1u);
  EXPECT_EQ(DescreverFaixas(r.Status().Lacunas[0].Faixas, 10), "2-4");

  // Read from the index alone: the texts are never touched.
  TSqliteStatement plano =
      queue_->Connection().Prepare("EXPLAIN QUERY PLAN SELECT chave_unica, id, cnpj FROM sync_xml");
  ASSERT_TRUE(plano.Step());
  EXPECT_NE(plano.ColumnText(3).find("COVERING INDEX"), std::string::npos) << plano.ColumnText(3);
}

TEST(LacunasComandoTest, NoListYet) {
  TempDir dir;
  std::vector<std::string> saida;
  g_saida = &saida;
  EXPECT_EQ(ComandoLacunas(dir.path(), FileSystem::Default(), Saida), 1);
  g_saida = nullptr;
  ASSERT_EQ(saida.size(), 1u);
  EXPECT_EQ(saida[0].rfind("Lista de lacunas não encontrada: ", 0), 0u) << saida[0];
}

// The page and status.json hold the first ranges of all series together;
// the totals count them all.
TEST(StatusReportTest, NumberingSummaryKeepsTheFirstRanges) {
  TVerificacaoNumeracao v;
  TLacunasSerie a{"12345678000190", "55", "1", {}, 0};
  for (int i = 0; i < 40; ++i) a.Faixas.push_back({10 * i + 2, 10 * i + 3});
  a.Numeros = 80;
  TLacunasSerie b{"12345678000190", "65", "1", {{5, 5}}, 1};
  for (int i = 0; i < 19; ++i) b.Faixas.push_back({100 + 2 * i, 100 + 2 * i});
  b.Numeros = 20;
  TLacunasSerie c{"12345678000271", "55", "1", {{7, 9}}, 3};
  v.Series = {a, b, c};
  for (int i = 0; i < 60; ++i) v.ChavesInvalidas.push_back(ChaveNumero(i, true));
  TStatusAgente s = Exemplo();
  ResumirNumeracao(v, true, s);
  TStatusAgente r = StatusDeJson(StatusParaJson(s));
  ASSERT_EQ(r.Lacunas.size(), 2u);
  EXPECT_EQ(r.Lacunas[0].Faixas.size(), 40u);
  EXPECT_EQ(r.Lacunas[1].Faixas.size(), 10u);
  EXPECT_EQ(r.Lacunas[1].Numeros, 20);  // the series' own count, not the kept ranges'
  EXPECT_EQ(r.Lacunas[1].Faixas[0].Inicio, 5);
  EXPECT_EQ(r.FaixasLacunas, 61);
  EXPECT_EQ(r.ChavesInvalidas.size(), 50u);
  EXPECT_EQ(r.TotalChavesInvalidas, 60);
  FakeClock clock;
  auto linhas = ResumoTerminal(r, kAgora, &clock);
  EXPECT_NE(std::find(linhas.begin(), linhas.end(),
                      "Lacunas na numeração: 61 faixas (lumacor-relay /lacunas)"),
            linhas.end());
}

TEST(StatusPageBrowserTest, ChromiumShowsTheGapTable) {
  std::string chromium = Chromium();
  if (chromium.empty()) GTEST_SKIP() << "chromium nao instalado (scripts/install-deps browser)";
  TempDir dir;
  FakeClock clock;
  TStatusAgente s = Exemplo();
  s.GeradoEm = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
  TVerificacaoNumeracao v;
  v.Series = {{"12345678000190", "65", "1", {{120, 124}, {310, 310}}, 6},
              {"12345678000271", "55", "2", {{7, 7}}, 1}};
  v.ChavesInvalidas = {ChaveNumero(3, true)};
  ResumirNumeracao(v, true, s);
  GravarStatus(s, dir.path(), FileSystem::Default(), &clock);
  std::string dom = DomOf(chromium, dir.Path(kStatusHtml), dir);
  std::smatch m;
  std::regex linha(
      "<tr><td>([0-9]{14})</td><td>([0-9]+)</td><td>([0-9]+)</td><td>([0-9-]+)</td><td "
      "class=\"num\">([0-9]+)</td></tr>");
  std::vector<std::string> linhas;
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), linha); it != std::sregex_iterator();
       ++it) {
    linhas.push_back((*it)[1].str() + " " + (*it)[2].str() + " " + (*it)[3].str() + " " +
                     (*it)[4].str() + " " + (*it)[5].str());
  }
  EXPECT_EQ(linhas,
            (std::vector<std::string>{"12345678000190 65 1 120-124 5", "12345678000190 65 1 310 1",
                                      "12345678000271 55 2 7 1"}))
      << dom;
  EXPECT_EQ(TextOf(dom, "lacunas-total"), "3 faixas no total. Lista completa: ");
  EXPECT_NE(dom.find("<td class=\"chave\">" + ChaveNumero(3, true) + "</td>"), std::string::npos);
}

}  // namespace
}  // namespace lumacor
