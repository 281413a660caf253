#include "service/StatusReport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

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

}  // namespace
}  // namespace lumacor
