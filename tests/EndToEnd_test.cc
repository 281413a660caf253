// The real executable against real files, the test portal and, in database
// mode, the PostgreSQL server started by scripts/test.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "collect/ChaveAcesso.h"
#include "common/Text.h"
#include "common/Version.h"
#include "delivery/HTTPSender.h"
#include "tests/ChildProcess.h"
#include "testsupport/DBServers.h"
#include "testsupport/FiscalFixtures.h"
#include "testsupport/TestSupport.h"
#include "tools/TestPortal.h"

namespace lumacor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::LogLine;
using testing::PortalAnswer;
using testing::ReadFileBytes;
using testing::ReadLogLines;
using testing::RecordedRequest;
using testing::TempDir;
using testing::TestPortal;
using testing::WaitUntil;

const std::string kExe = std::string(LUMACOR_BINARY_DIR) + "/lumacor-relay";
const std::string kCnpj = "12345678000190";

// With a right check digit, as the agent expects of a real key.
std::string Key(int n) {
  std::string tail = std::to_string(n);
  std::string k = "352605123456780001905500100000" + std::string(13 - tail.size(), '0') + tail;
  return k + std::to_string(DigitoVerificadorChave(k));
}

std::string NFe(const std::string& key, const std::string& name = "Cliente") {
  return "<nfeProc><NFe><infNFe Id=\"NFe" + key + "\"><ide><mod>55</mod></ide><dest><xNome>" +
         name + "</xNome></dest></infNFe></NFe><protNFe><infProt><chNFe>" + key +
         "</chNFe></infProt></protNFe></nfeProc>";
}

std::string Cancelamento(const std::string& key) {
  return "<procEventoNFe><evento><infEvento Id=\"ID110111" + key +
         "01\"><tpEvento>110111</tpEvento><chNFe>" + key +
         "</chNFe></infEvento></evento></procEventoNFe>";
}

struct Row {
  std::string status;
  int tentativas;
  std::string xml;
};

// Reads the queue once the agent has released it.
std::map<std::string, Row> ReadQueue(const std::string& path) {
  std::map<std::string, Row> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT chave_unica, status_envio, tentativas, xml FROM sync_xml", -1, &st,
                     nullptr);
  while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
    rows[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] = {
        reinterpret_cast<const char*>(sqlite3_column_text(st, 1)), sqlite3_column_int(st, 2),
        reinterpret_cast<const char*>(sqlite3_column_text(st, 3))};
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

// One agent installation in a temporary folder: Marlux.ini under
// ProgramData, the XML folder, the log and the queue.
class Agent {
 public:
  Agent() { fs::create_directories(dir_.Path("xml")); }

  std::string ini_extra;     // appended to the generated Marlux.ini
  std::string coleta_extra;  // added to its [COLETA] section
  std::string endpoint;
  std::string cnpj = kCnpj;
  std::string modo = "pasta";
  int intervalo = 1;
  int max_tentativas = 5;

  std::string xml_dir() const { return dir_.Path("xml"); }
  std::string log_path() const { return dir_.Path("log/sinc.log"); }
  std::string queue_path() const { return dir_.Path("fila/queue.db"); }
  const TempDir& dir() const { return dir_; }
  std::string out() const { return ReadFileBytes(dir_.Path("stdout")); }
  std::string err() const { return ReadFileBytes(dir_.Path("stderr")); }

  void WriteIni(const std::string& raw = "") {
    std::string ini = raw;
    if (ini.empty()) {
      ini = "[API]\ncnpj=" + cnpj + "\ntoken_contador=tok-123\nendpoint_contador=" + endpoint +
            "\n[COLETA]\nmodo=" + modo + "\nintervalo_segundos=" + std::to_string(intervalo) +
            "\nmax_tentativas=" + std::to_string(max_tentativas) + "\n" + coleta_extra +
            "[XML]\npaths=" + xml_dir() + "\n[LOG]\npath=" + log_path() +
            "\n[FILA]\nsqlite_path=" + queue_path() + "\n" + ini_extra;
    }
    dir_.Write("pd/Lumacor/Marlux.ini", ini);
  }

  std::unique_ptr<ChildProcess> Start(std::vector<std::string> args = {},
                                      std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), kExe);
    env.emplace("ProgramData", dir_.Path("pd"));
    env.emplace("COMPUTERNAME", "CAIXA-01");
    env.emplace("NOTIFY_SOCKET", "");
    return std::make_unique<ChildProcess>(args, env, dir_.Path("stdout"), dir_.Path("stderr"));
  }

  std::vector<LogLine> Log() const { return ReadLogLines(log_path()); }
  int Count(const std::string& message) const {
    int n = 0;
    for (const auto& l : Log()) n += l.message == message;
    return n;
  }
  bool WaitCycles(int n, std::chrono::milliseconds timeout = 30s) const {
    return WaitUntil([&] { return Count("=== Fim do ciclo ===") >= n; }, timeout);
  }

 private:
  TempDir dir_;
};

// The echoed body as the agent logs it.
std::string OcultarTokenParaTeste(std::string body) {
  size_t pos = body.find("tok-123");
  while (pos != std::string::npos) {
    body.replace(pos, 7, "***");
    pos = body.find("tok-123");
  }
  return body;
}

std::vector<RecordedRequest> Posts(const TestPortal& portal, const std::string& key) {
  std::vector<RecordedRequest> out;
  for (const auto& r : portal.Requests()) {
    if (r.body.find("\"chave_unica\":\"" + key + "\"") != std::string::npos) out.push_back(r);
  }
  return out;
}

TEST(EndToEndTest, FolderModeDeliversEachDocumentOnceAndAgainWhenChanged) {
  TestPortal portal;
  Agent agent;
  agent.endpoint = portal.BaseUrl() + "/api//";
  agent.WriteIni();
  std::string k1 = Key(1), k2 = Key(2);
  std::string doc1 = "<nfeProc><NFe><infNFe Id=\"NFe" + k1 +
                     "\"><ide><mod>55</mod></ide><emit><xNome>P\xC3\xA3o \"Bom\"</xNome></emit>"
                     "</infNFe></NFe></nfeProc>";
  testing::WriteFileBytes(agent.xml_dir() + "/a.xml", doc1);
  testing::WriteFileBytes(agent.xml_dir() + "/b.XML", NFe(k2));
  testing::WriteFileBytes(agent.xml_dir() + "/c.xml", "<outro>nada</outro>");

  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(2)) << agent.err();
  EXPECT_EQ(Posts(portal, k1).size(), 1u);
  EXPECT_EQ(Posts(portal, k2).size(), 1u);
  RecordedRequest r = Posts(portal, k1).at(0);
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.path, "/api/xml/receber");
  EXPECT_EQ(r.Header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(r.Header("Accept"), "application/json");
  EXPECT_EQ(r.Header("User-Agent"), "OrvaneLumacor/1.0");
  EXPECT_EQ(r.body,
            "{\"cnpj\":\"12345678000190\",\"token\":\"tok-123\",\"chave_unica\":\"" + k1 +
                "\",\"xml\":\"<nfeProc><NFe><infNFe Id=\\\"NFe" + k1 +
                "\\\"><ide><mod>55<\\/mod><\\/ide><emit><xNome>P\\u00E3o \\\"Bom\\\"<\\/xNome>"
                "<\\/emit><\\/infNFe><\\/NFe><\\/nfeProc>\",\"origem\":{\"app\":\"lumacor_relay\","
                "\"db_type\":\"firebird\",\"hostname\":\"CAIXA-01\",\"app_version\":\"1.0.2\"}}");

  // A changed text goes out again; the unchanged one does not.
  testing::WriteFileBytes(agent.xml_dir() + "/a.xml", NFe(k1, "Outro Cliente"));
  int done = agent.Count("=== Fim do ciclo ===");
  ASSERT_TRUE(agent.WaitCycles(done + 2));
  EXPECT_EQ(Posts(portal, k1).size(), 2u);
  EXPECT_EQ(Posts(portal, k2).size(), 1u);
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(10s), 0) << "a stop request ends console mode cleanly";

  EXPECT_EQ(agent.out(), "Rodando em modo console/debug...\n");
  std::vector<std::string> first;
  for (const auto& l : agent.Log()) first.push_back(l.level + "|" + l.message);
  first.resize(10);
  EXPECT_EQ(first,
            (std::vector<std::string>{
                "INFO |Rodando como processo console.",
                "INFO |Lumacor Relay " + std::string(kVersion) +
                    " | Marlux.ini: " + agent.dir().Path("pd/Lumacor/Marlux.ini") +
                    " | modo: pasta | fila: " + agent.queue_path() + " | log: " + agent.log_path(),
                "INFO |=== Inicio do ciclo de sincronizacao ===",
                "INFO |Varredura XML: encontrados=3 | aceitos=2 | cancelamentos=0 | "
                "inutilizacoes=0 | ignorados=1 | erros=0",
                "INFO |Coletados 2 XMLs das pastas.",
                "INFO |2 itens pendentes para envio.",
                "INFO |Enviado OK: " + k1,
                "INFO |Enviado OK: " + k2,
                "INFO |Ciclo concluido - coletados: 2 | enviados: 2 | erros: 0",
                "INFO |=== Fim do ciclo ===",
            }));
  EXPECT_EQ(agent.Count("Enviado OK: " + k1), 2);
  EXPECT_EQ(agent.Count("Ciclo concluido - coletados: 2 | enviados: 2 | erros: 0"), 1);
  EXPECT_GE(agent.Count("Ciclo concluido - coletados: 2 | enviados: 0 | erros: 0"), 2);
  EXPECT_EQ(agent.Count("Ciclo concluido - coletados: 2 | enviados: 1 | erros: 0"), 1);
}

TEST(EndToEndTest, NFeAndItsCancellationCollectedTogetherReachThePortalInTurn) {
  TestPortal portal;
  Agent agent;
  agent.endpoint = portal.BaseUrl() + "/api";
  agent.WriteIni();
  std::string k = Key(7);
  testing::WriteFileBytes(agent.xml_dir() + "/nfe.xml", NFe(k));
  testing::WriteFileBytes(agent.xml_dir() + "/canc.xml", Cancelamento(k));
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(5)) << agent.err();
  child->Signal(SIGTERM);
  child->Wait(10s);
  auto posts = Posts(portal, k);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_NE(posts[0].body.find("nfeProc"), std::string::npos);
  EXPECT_NE(posts[1].body.find("procEventoNFe"), std::string::npos);
  Row row = ReadQueue(agent.queue_path())[k];
  EXPECT_EQ(row.status, "enviado");
  EXPECT_EQ(row.xml, Cancelamento(k));
}

TEST(EndToEndTest, RejectedDocumentEndsAfterMaxTentativas) {
  TestPortal portal;
  portal.SetAnswer(PortalAnswer::Status(400, "{\"erro\":\"xml invalido\"}"));
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.max_tentativas = 2;
  agent.WriteIni();
  std::string k = Key(3);
  testing::WriteFileBytes(agent.xml_dir() + "/n.xml", NFe(k));
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(4)) << agent.err();
  child->Signal(SIGTERM);
  child->Wait(10s);
  EXPECT_EQ(Posts(portal, k).size(), 2u);
  Row row = ReadQueue(agent.queue_path())[k];
  EXPECT_EQ(row.status, "falha_definitiva");
  EXPECT_EQ(row.tentativas, 2);
  EXPECT_EQ(agent.Count("Falha ao enviar " + k + ": HTTP 400 ao enviar para " + portal.BaseUrl() +
                        "/xml/receber: {\"erro\":\"xml invalido\"}"),
            2);
}

TEST(EndToEndTest, OutageLongerThanMaxTentativasLosesNothing) {
  TestPortal portal;
  std::atomic<bool> down{true};
  portal.SetHandler([&](const RecordedRequest& req) {
    if (down) return PortalAnswer::Status(503, "manutencao", "text/plain");
    return testing::DefaultPortalAnswer(req);
  });
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.max_tentativas = 2;
  agent.WriteIni();
  std::string k = Key(4);
  testing::WriteFileBytes(agent.xml_dir() + "/n.xml", NFe(k));
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(4)) << agent.err();
  down = false;
  ASSERT_TRUE(WaitUntil([&] { return agent.Count("Enviado OK: " + k) == 1; }, 30s));
  child->Signal(SIGTERM);
  child->Wait(10s);
  EXPECT_GE(Posts(portal, k).size(), 5u);
  EXPECT_EQ(ReadQueue(agent.queue_path())[k].status, "enviado");
}

TEST(EndToEndTest, OutagesDoNotUseUpTheAttemptsOfARejection) {
  TestPortal portal;
  std::atomic<int> seen{0};
  portal.SetHandler([&](const RecordedRequest&) {
    // Four outages, one rejection, then the outage again.
    if (++seen == 5) return PortalAnswer::Status(400, "{\"erro\":\"xml invalido\"}");
    return PortalAnswer::Status(503, "manutencao", "text/plain");
  });
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.max_tentativas = 3;
  agent.WriteIni();
  std::string k = Key(5);
  testing::WriteFileBytes(agent.xml_dir() + "/n.xml", NFe(k));
  auto child = agent.Start();
  ASSERT_TRUE(WaitUntil([&] { return seen >= 7; }, 30s)) << agent.err();
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(10s), 0);
  Row row = ReadQueue(agent.queue_path())[k];
  EXPECT_EQ(row.status, "pendente");
  EXPECT_EQ(row.tentativas, 1);
}

TEST(EndToEndTest, RedirectedPostsAreDeliveredWhole) {
  TestPortal portal;
  const int codes[] = {301, 302, 303, 307, 308};
  portal.SetHandler([&](const RecordedRequest& req) {
    if (req.path == "/api/xml/receber") {
      for (int i = 0; i < 5; ++i) {
        if (req.body.find(Key(20 + i)) != std::string::npos) {
          return PortalAnswer::RedirectTo("/v2/xml/receber", codes[i]);
        }
      }
    }
    // A GET of the new address would get the portal's page with 200.
    return testing::DefaultPortalAnswer(req);
  });
  Agent agent;
  agent.endpoint = portal.BaseUrl() + "/api";
  agent.WriteIni();
  for (int i = 0; i < 5; ++i) {
    testing::WriteFileBytes(agent.xml_dir() + "/" + std::to_string(i) + ".xml", NFe(Key(20 + i)));
  }
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(2)) << agent.err();
  child->Signal(SIGTERM);
  child->Wait(10s);
  auto queue = ReadQueue(agent.queue_path());
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(codes[i]);
    auto posts = Posts(portal, Key(20 + i));
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[1].method, "POST");
    EXPECT_EQ(posts[1].path, "/v2/xml/receber");
    EXPECT_EQ(posts[1].body, posts[0].body);
    EXPECT_EQ(queue[Key(20 + i)].status, "enviado");
  }
  for (const auto& r : portal.Requests()) EXPECT_EQ(r.method, "POST");
}

TEST(EndToEndTest, AHangingPortalCostsOneTimeOutPerCycle) {
  TestPortal portal;
  std::atomic<bool> hang{true};
  portal.SetHandler([&](const RecordedRequest& req) {
    if (hang) {
      PortalAnswer a;
      a.action = PortalAnswer::kNeverAnswer;
      return a;
    }
    return testing::DefaultPortalAnswer(req);
  });
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.WriteIni();
  for (int i = 0; i < 150; ++i) {
    testing::WriteFileBytes(agent.xml_dir() + "/" + std::to_string(i) + ".xml", NFe(Key(100 + i)));
  }
  auto start = std::chrono::steady_clock::now();
  auto child = agent.Start();
  // One send time-out (30 s) and the cycle ends; two would be 60 s.
  ASSERT_TRUE(agent.WaitCycles(1, 58s)) << agent.err();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 58s);
  EXPECT_EQ(agent.Count("Portal indisponivel: 99 documentos ficam para o proximo ciclo."), 1);
  EXPECT_EQ(agent.Count("Ciclo concluido - coletados: 150 | enviados: 0 | erros: 1"), 1);
  hang = false;
  portal.ReleaseHeld();
  // The queue file is the agent's alone while it runs: its log tells.
  ASSERT_TRUE(WaitUntil(
      [&] {
        int sent = 0;
        for (const auto& l : agent.Log()) sent += l.message.rfind("Enviado OK: ", 0) == 0;
        return sent == 150;
      },
      60s));
  child->Signal(SIGTERM);
  child->Wait(10s);
  auto queue = ReadQueue(agent.queue_path());
  for (int i = 0; i < 150; ++i) {
    EXPECT_EQ(queue[Key(100 + i)].status, "enviado");
    size_t posts = Posts(portal, Key(100 + i)).size();
    EXPECT_TRUE(posts == 1 || (i == 0 && posts == 2)) << Key(100 + i) << ": " << posts;
  }
}

TEST(EndToEndTest, AnEchoedTokenReachesNoFile) {
  TestPortal portal;
  portal.SetHandler([](const RecordedRequest& req) { return PortalAnswer::Status(422, req.body); });
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.max_tentativas = 1;
  agent.WriteIni();
  std::string k = Key(9);
  testing::WriteFileBytes(agent.xml_dir() + "/n.xml", NFe(k));
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(1)) << agent.err();
  // A changed text clears the row's error; the old one must not linger in
  // the file's free pages or a journal either.
  testing::WriteFileBytes(agent.xml_dir() + "/n.xml", NFe(k, "Outro"));
  ASSERT_TRUE(agent.WaitCycles(3));
  child->Signal(SIGTERM);
  child->Wait(10s);
  ASSERT_NE(portal.Requests().at(0).body.find("tok-123"), std::string::npos);
  EXPECT_GE(agent.Count("Falha ao enviar " + k + ": HTTP 422 ao enviar para " + portal.BaseUrl() +
                        "/xml/receber: " + OcultarTokenParaTeste(portal.Requests().at(0).body)),
            1);
  for (const auto& entry : fs::recursive_directory_iterator(agent.dir().Path(""))) {
    // Only the configuration may hold it.
    if (!entry.is_regular_file() || entry.path().filename() == "Marlux.ini") continue;
    EXPECT_EQ(ReadFileBytes(entry.path().string()).find("tok-123"), std::string::npos)
        << entry.path() << " holds the token";
  }
}

TEST(EndToEndTest, CtrlCDuringAHangingSendEndsConsoleModeAtOnce) {
  TestPortal portal;
  PortalAnswer hang;
  hang.action = PortalAnswer::kNeverAnswer;
  portal.SetAnswer(hang);
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.WriteIni();
  std::string k = Key(13);
  testing::WriteFileBytes(agent.xml_dir() + "/n.xml", NFe(k));
  auto child = agent.Start();
  ASSERT_TRUE(WaitUntil([&] { return !portal.Requests().empty(); }, 20s)) << agent.err();
  auto start = std::chrono::steady_clock::now();
  child->Signal(SIGINT);
  EXPECT_EQ(child->Wait(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  portal.ReleaseHeld();
  EXPECT_EQ(agent.Count("Parada solicitada: 1 documentos ficam para o proximo ciclo."), 1);
  Row row = ReadQueue(agent.queue_path())[k];
  EXPECT_EQ(row.status, "pendente");
  EXPECT_EQ(row.tentativas, 0);
}

TEST(EndToEndTest, InvalidConfigurationIsLoggedEveryCycle) {
  Agent agent;
  agent.endpoint = "http://127.0.0.1:9/api";
  agent.WriteIni("[API]\ncnpj=1\n[COLETA]\nmodo=pasta\nintervalo_segundos=0\n[LOG]\npath=" +
                 agent.log_path() + "\n[FILA]\nsqlite_path=" + agent.queue_path() + "\n");
  auto child = agent.Start();
  ASSERT_TRUE(WaitUntil(
      [&] { return agent.Count("Configuracao invalida. Verifique Marlux.ini.") >= 3; }, 20s));
  child->Signal(SIGTERM);
  child->Wait(10s);
  auto log = agent.Log();
  ASSERT_GE(log.size(), 7u);
  EXPECT_EQ(log[1].message, "Lumacor Relay " + std::string(kVersion) +
                                " | Marlux.ini: " + agent.dir().Path("pd/Lumacor/Marlux.ini") +
                                " | modo: pasta | fila: " + agent.queue_path() +
                                " | log: " + agent.log_path());
  EXPECT_EQ(log[2].level, "WARN ");
  EXPECT_EQ(log[2].message,
            "intervalo_segundos=0: os ciclos rodam seguidos, sem pausa entre eles.");
  EXPECT_EQ(log[3].message, "=== Inicio do ciclo de sincronizacao ===");
  EXPECT_EQ(log[4].level, "ERROR");
  EXPECT_EQ(log[4].message, "Configuracao invalida. Verifique Marlux.ini.");
  EXPECT_EQ(log[5].level, "ERROR");
  EXPECT_EQ(log[5].message,
            "Chaves ausentes ou em branco no Marlux.ini: [API] token_contador, [XML] paths.");
  EXPECT_EQ(log[6].message, "=== Inicio do ciclo de sincronizacao ===");
  EXPECT_EQ(agent.Count("intervalo_segundos=0: os ciclos rodam seguidos, sem pausa entre eles."),
            1);
  EXPECT_EQ(agent.Count("=== Fim do ciclo ==="), 0);
}

TEST(EndToEndTest, VersionIsPrintedWithoutStartingTheAgent) {
  for (const char* arg : {"--version", "/versao", "/VERSAO"}) {
    Agent agent;
    // Not even a configuration the agent could load stops it.
    agent.WriteIni("[LOG]\npath=a\x01b\n");
    auto child = agent.Start({arg});
    EXPECT_EQ(child->Wait(10s), 0) << arg;
    EXPECT_EQ(agent.out(), "lumacor-relay " + std::string(kVersion) + "\n") << arg;
    EXPECT_FALSE(fs::exists(agent.log_path()));
  }
}

// Runs `/status` (or another command) to its end; its exit code.
int RunCommand(Agent& agent, std::vector<std::string> args) {
  return agent.Start(std::move(args))->Wait(20s).value_or(-1);
}

// An NF-e of the company numbered `numero` in series 1, with a right check
// digit.
std::string KeyNumero(int numero) {
  std::string k = "35260512345678000190550010" + Format("%08d", numero) + "100000001";
  return k + std::to_string(DigitoVerificadorChave(k));
}

TEST(EndToEndTest, LacunasListsTheGapsOfARunningAgent) {
  TestPortal portal;
  Agent agent;
  agent.endpoint = portal.BaseUrl() + "/api";
  agent.WriteIni();
  fs::create_directories(agent.dir().Path("cmd"));
  EXPECT_EQ(RunCommand(agent, {"/lacunas"}), 1);  // never ran
  for (int n : {1, 2, 5, 9}) {
    testing::WriteFileBytes(agent.xml_dir() + "/" + std::to_string(n) + ".xml", NFe(KeyNumero(n)));
  }
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(1));
  ChildProcess lacunas({kExe, "/lacunas"},
                       {{"ProgramData", agent.dir().Path("pd")}, {"NOTIFY_SOCKET", ""}},
                       agent.dir().Path("cmd/out"), agent.dir().Path("cmd/err"));
  EXPECT_EQ(lacunas.Wait(20s), 0);
  std::string out = ReadFileBytes(agent.dir().Path("cmd/out"));
  EXPECT_NE(out.find("\nCNPJ 12345678000190, modelo 55, série 1: 3-4, 6-8 (5 números)\n"),
            std::string::npos)
      << out;
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(10s), 0);
  EXPECT_NE(ReadFileBytes(agent.log_path())
                .find("Numeracao com lacunas: CNPJ 12345678000190, modelo 55, serie 1: 3-4, 6-8 "
                      "(5 numeros)"),
            std::string::npos);
}

TEST(EndToEndTest, StatusCommandTellsAHealthyAgentFromAFailingAndAStaleOne) {
  TestPortal portal;
  Agent agent;
  agent.endpoint = portal.BaseUrl() + "/api";
  agent.WriteIni();
  fs::create_directories(agent.dir().Path("cmd"));
  EXPECT_EQ(RunCommand(agent, {"/status"}), 1);  // never ran
  EXPECT_NE(agent.out().find("Status não encontrado: " + agent.dir().Path("fila/status.json")),
            std::string::npos)
      << agent.out();

  testing::WriteFileBytes(agent.xml_dir() + "/1.xml", NFe(Key(1)));
  {
    // The running agent holds the queue; /status reads its status file.
    Agent& running = agent;
    auto child = running.Start();
    ASSERT_TRUE(running.WaitCycles(1));
    // A second process for the command, with its own output files.
    ChildProcess status({kExe, "/status"},
                        {{"ProgramData", agent.dir().Path("pd")}, {"NOTIFY_SOCKET", ""}},
                        agent.dir().Path("cmd/out"), agent.dir().Path("cmd/err"));
    EXPECT_EQ(status.Wait(20s), 0) << ReadFileBytes(agent.dir().Path("cmd/out"));
    std::string out = ReadFileBytes(agent.dir().Path("cmd/out"));
    EXPECT_EQ(out.rfind("Lumacor Relay " + std::string(kVersion) + ": OK\n", 0), 0u) << out;
    EXPECT_NE(out.find("Fila: pendentes: 0 | enviados: 1 | falhas definitivas: 0"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Página: " + agent.dir().Path("fila/status.html")), std::string::npos);
    child->Signal(SIGTERM);
    EXPECT_EQ(child->Wait(10s), 0);
  }
  // Stopped: the last status says so.
  EXPECT_EQ(RunCommand(agent, {"/status"}), 1);
  EXPECT_EQ(agent.out().rfind("Lumacor Relay " + std::string(kVersion) + ": Parado\n", 0), 0u)
      << agent.out();

  // A status the agent stopped writing without a word (killed, machine
  // frozen): stale after three intervals.
  std::string json = ReadFileBytes(agent.dir().Path("fila/status.json"));
  auto fresh = [&](const std::string& estado, int64_t idade) {
    std::string j = std::regex_replace(json, std::regex("\"estado\": \"[a-z_]+\""),
                                       "\"estado\": \"" + estado + "\"");
    int64_t agora = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    j = std::regex_replace(j, std::regex("\"gerado_em_unix\": [0-9]+"),
                           "\"gerado_em_unix\": " + std::to_string(agora - idade));
    testing::WriteFileBytes(agent.dir().Path("fila/status.json"), j);
  };
  fresh("aguardando", 5);
  EXPECT_EQ(RunCommand(agent, {"/status"}), 0) << agent.out();
  fresh("aguardando", 3 * 60 + 30);  // intervalo 1 s counts as 60 s
  EXPECT_EQ(RunCommand(agent, {"/status"}), 1);
  EXPECT_NE(agent.out().find("o agente parece parado"), std::string::npos) << agent.out();

  // A failing agent: an invalid configuration, every cycle.
  Agent failing;
  failing.endpoint = portal.BaseUrl() + "/api";
  failing.WriteIni("[API]\ncnpj=1\n[COLETA]\nmodo=pasta\nintervalo_segundos=1\n[LOG]\npath=" +
                   failing.log_path() + "\n[FILA]\nsqlite_path=" + failing.queue_path() + "\n");
  auto child = failing.Start();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return failing.Count("Configuracao invalida. Verifique Marlux.ini.") >= 1 &&
               fs::exists(failing.dir().Path("fila/status.json")) &&
               ReadFileBytes(failing.dir().Path("fila/status.json"))
                       .find("configuracao_invalida") != std::string::npos;
      },
      20s));
  fs::create_directories(failing.dir().Path("cmd"));
  ChildProcess status({kExe, "/status"},
                      {{"ProgramData", failing.dir().Path("pd")}, {"NOTIFY_SOCKET", ""}},
                      failing.dir().Path("cmd/out"), failing.dir().Path("cmd/err"));
  EXPECT_EQ(status.Wait(20s), 1);
  std::string out = ReadFileBytes(failing.dir().Path("cmd/out"));
  EXPECT_NE(out.find("Último ciclo: configuração inválida"), std::string::npos) << out;
  EXPECT_NE(out.find("[API] token_contador"), std::string::npos) << out;
  child->Signal(SIGTERM);
  child->Wait(10s);
}

TEST(EndToEndTest, ReenviarReachesARunningAgentThroughItsNextCycle) {
  TestPortal portal;
  portal.SetAnswer(PortalAnswer::Status(422, "recusado"));
  Agent agent;
  agent.endpoint = portal.BaseUrl() + "/api";
  agent.max_tentativas = 1;
  agent.intervalo = 2;
  agent.WriteIni();
  const std::string chave = Key(1);
  testing::WriteFileBytes(agent.xml_dir() + "/1.xml", NFe(chave));
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(1));
  portal.SetAnswer(PortalAnswer::Status(200, "{\"status\":\"recebido\"}"));
  fs::create_directories(agent.dir().Path("cmd"));
  ChildProcess reenviar({kExe, "/reenviar", chave},
                        {{"ProgramData", agent.dir().Path("pd")}, {"NOTIFY_SOCKET", ""}},
                        agent.dir().Path("cmd/out"), agent.dir().Path("cmd/err"));
  EXPECT_EQ(reenviar.Wait(20s), 0) << ReadFileBytes(agent.dir().Path("cmd/err"));
  EXPECT_NE(ReadFileBytes(agent.dir().Path("cmd/out")).find("próximo ciclo"), std::string::npos);
  const std::string linha =
      "1 documentos em falha definitiva voltaram para pendente (pedido /reenviar de 1 chaves).";
  ASSERT_TRUE(WaitUntil([&] { return agent.Count("Enviado OK: " + chave) == 1; }, 20s));
  EXPECT_EQ(agent.Count(linha), 1);
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(10s), 0);

  // No agent running: at once, into the same log.
  portal.SetAnswer(PortalAnswer::Status(422, "recusado"));
  EXPECT_EQ(RunCommand(agent, {"/reenviar"}), 0) << agent.err();
  EXPECT_EQ(agent.out(), "0 documentos voltaram para pendente; serão enviados no próximo ciclo.\n");
  EXPECT_EQ(agent.Count("0 documentos em falha definitiva voltaram para pendente (pedido "
                        "/reenviar de todas)."),
            1);
}

TEST(EndToEndTest, ConsoleErrorEndsWithExitCodeOne) {
  Agent agent;
  agent.endpoint = "http://127.0.0.1:9/api";
  agent.modo = "banco";
  agent.ini_extra = "[banco]\ntipo=Firebird\nnome=x\n";
  agent.WriteIni();
  auto child = agent.Start();
  EXPECT_EQ(child->Wait(20s), 1);
  EXPECT_NE(agent.err().find("DBProvider.Create falhou: DBProvider.Create: tipo de banco "
                             "inv\xC3\xA1lido ou n\xC3\xA3o configurado: \"Firebird\"."),
            std::string::npos)
      << agent.err();
  auto log = agent.Log();
  ASSERT_EQ(log.size(), 2u);  // console mode logs none of its own errors
  EXPECT_EQ(log[0].message, "Rodando como processo console.");
  EXPECT_EQ(log[1].message.rfind("Lumacor Relay ", 0), 0u);
}

TEST(EndToEndTest, DatabaseModeDeliversFromPostgreSQL) {
  TSincConfig server;
  LUMACOR_REQUIRE_SERVER(testing::PostgreSQLBackend(), server);
  std::string host = server.DBHost, port = std::to_string(server.DBPort), db = server.DBName,
              user = server.DBUser, pass = server.DBPass;
  std::string k = Key(55);
  std::string sql =
      "DROP TABLE IF EXISTS e2e_notas; CREATE TABLE e2e_notas (chave text, doc text);"
      "INSERT INTO e2e_notas VALUES ('interna-1', '" +
      NFe(k) +
      "'),"
      "('interna-2', '<nada/>');";
  std::string cmd = "PGPASSWORD='" + pass + "' psql -q -h " + host + " -p " + port + " -U " + user +
                    " -d " + db + " -v ON_ERROR_STOP=1 -c \"" + sql + "\" >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

  TestPortal portal;
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.modo = "banco";
  agent.ini_extra = "[banco]\ntipo=postgresql\nhost=" + host + "\nporta=" + port + "\nnome=" + db +
                    "\nusuario=" + user + "\nsenha=" + pass + "\n";
  agent.coleta_extra = "sql=SELECT chave AS chave_unica, doc AS xml FROM e2e_notas\n";
  agent.WriteIni();
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(2)) << agent.err();
  child->Signal(SIGTERM);
  child->Wait(10s);
  auto posts = Posts(portal, k);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_NE(posts[0].body.find("\"db_type\":\"postgresql\""), std::string::npos);
  EXPECT_GE(agent.Count("Coletados 1 XMLs do banco."), 2);
}

// libfbclient sets SIGINT and SIGTERM handlers of its own at its first
// attach; a console run must still end on Ctrl+C and on kill, as a clean
// stop of its own.
TEST(EndToEndTest, ConsoleRunInFirebirdModeEndsOnCtrlCAndSigterm) {
  TSincConfig server;
  LUMACOR_REQUIRE_SERVER(testing::FirebirdBackend(), server);
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    Agent agent;
    agent.endpoint = "http://127.0.0.1:9/api";
    agent.modo = "banco";
    agent.ini_extra = "[banco]\ntipo=firebird\nhost=" + server.DBHost +
                      "\nporta=" + std::to_string(server.DBPort) + "\nnome=" + server.DBName +
                      "\nusuario=" + server.DBUser + "\nsenha=" + server.DBPass + "\n";
    agent.coleta_extra =
        "sql=SELECT 'x' AS CHAVE_UNICA, CAST(NULL AS VARCHAR(10)) AS XML FROM RDB$DATABASE\n";
    agent.WriteIni();
    auto child = agent.Start();
    ASSERT_TRUE(WaitUntil([&] { return agent.Count("Coletados 0 XMLs do banco.") >= 1; }, 30s))
        << agent.err();
    child->Signal(sig);
    EXPECT_EQ(child->Wait(10s), 0);
  }
}

std::string SampleDocument(const std::string& name) {
  return ReadFileBytes(std::string(LUMACOR_SOURCE_DIR) + "/collect/testdata/" + name);
}

// The whole body the portal must receive for one document.
std::string ExpectedBody(const std::string& cnpj, const std::string& chave, const std::string& xml,
                         const std::string& db_type) {
  return "{\"cnpj\":\"" + cnpj + "\",\"token\":\"tok-123\",\"chave_unica\":\"" + chave +
         "\",\"xml\":" + JsonString(xml) + ",\"origem\":{\"app\":\"lumacor_relay\",\"db_type\":\"" +
         db_type + "\",\"hostname\":\"CAIXA-01\",\"app_version\":\"1.0.2\"}}";
}

// Every sample of the alphanumeric company is delivered once, under its own
// identifier, with its exact text (the authorised copy of the NF-e kept in
// three copies); the test-environment one only once enviar_homologacao=1.
// `texto` gives the text as the collector hands it on.
void ExpectSamplesDelivered(const TestPortal& portal, const std::string& db_type,
                            bool homologacao_enviada,
                            const std::function<std::string(const std::string&)>& texto) {
  for (const testing::FiscalFixture& f : testing::FiscalFixtures()) {
    if (!f.entregue) continue;
    SCOPED_TRACE(f.arquivo);
    auto posts = Posts(portal, f.chave);
    if (f.homologacao && !homologacao_enviada) {
      EXPECT_TRUE(posts.empty());
      continue;
    }
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].body, ExpectedBody(testing::kCnpjAlfa, f.chave, texto(f.arquivo), db_type));
  }
}

TEST(EndToEndTest, FolderModeDeliversAlphanumericSamplesAsTheyReallyAre) {
  TestPortal portal;
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.cnpj = testing::kCnpjAlfa;
  agent.WriteIni();
  for (const auto& f : testing::FiscalFixtures()) {
    testing::WriteFileBytes(agent.xml_dir() + "/" + f.arquivo, SampleDocument(f.arquivo));
  }
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(2)) << agent.err();
  child->Signal(SIGTERM);
  child->Wait(10s);
  ExpectSamplesDelivered(portal, "firebird", false, SampleDocument);
  EXPECT_EQ(portal.Requests().size(), 9u);
  EXPECT_GE(agent.Count("Varredura XML: encontrados=12 | aceitos=11 | cancelamentos=2 | "
                        "inutilizacoes=2 | ignorados=1 | erros=0"),
            2);

  // With the key set, the test-environment document goes too, and only it.
  agent.coleta_extra = "enviar_homologacao=1\n";
  agent.WriteIni();
  int done = agent.Count("=== Fim do ciclo ===");
  child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(done + 1)) << agent.err();
  child->Signal(SIGTERM);
  child->Wait(10s);
  ExpectSamplesDelivered(portal, "firebird", true, SampleDocument);
  EXPECT_EQ(portal.Requests().size(), 10u);
}

TEST(EndToEndTest, DatabaseModeDeliversAlphanumericSamplesFromPostgreSQL) {
  TSincConfig server;
  LUMACOR_REQUIRE_SERVER(testing::PostgreSQLBackend(), server);
  TempDir sql_dir;
  std::string sql =
      "DROP TABLE IF EXISTS e2e_alfa; CREATE TABLE e2e_alfa (id int, chave text, doc text);\n";
  const auto& fixtures = testing::FiscalFixtures();
  for (size_t i = 0; i < fixtures.size(); ++i) {
    std::string doc = SampleDocument(fixtures[i].arquivo);
    for (size_t p = doc.find('\''); p != std::string::npos; p = doc.find('\'', p + 2)) {
      doc.insert(p, 1, '\'');
    }
    sql += "INSERT INTO e2e_alfa VALUES (" + std::to_string(i) + ", 'ERP-" + std::to_string(i) +
           "', '" + doc + "');\n";
  }
  const std::string pedido = std::string(testing::kCnpjAlfa) + "-PED-9";
  const std::string sem_chave =
      "<NFe><infNFe><ide><mod>65</mod><tpAmb>1</tpAmb></ide></infNFe></NFe>";
  sql += "INSERT INTO e2e_alfa VALUES (100, '" + pedido + "', '" + sem_chave + "');\n";
  std::string cmd = "PGPASSWORD='" + server.DBPass + "' psql -q -h " + server.DBHost + " -p " +
                    std::to_string(server.DBPort) + " -U " + server.DBUser + " -d " +
                    server.DBName + " -v ON_ERROR_STOP=1 -f " + sql_dir.Write("alfa.sql", sql) +
                    " >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

  TestPortal portal;
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.cnpj = testing::kCnpjAlfa;
  agent.modo = "banco";
  agent.ini_extra = "[banco]\ntipo=postgresql\nhost=" + server.DBHost +
                    "\nporta=" + std::to_string(server.DBPort) + "\nnome=" + server.DBName +
                    "\nusuario=" + server.DBUser + "\nsenha=" + server.DBPass + "\n";
  agent.coleta_extra = "sql=SELECT chave AS chave_unica, doc AS xml FROM e2e_alfa ORDER BY id\n";
  agent.WriteIni();
  auto child = agent.Start();
  ASSERT_TRUE(agent.WaitCycles(2)) << agent.err();
  child->Signal(SIGTERM);
  child->Wait(10s);
  // The database collector trims the text it reads.
  auto trimmed = [](const std::string& name) { return TrimControlCopy(SampleDocument(name)); };
  ExpectSamplesDelivered(portal, "postgresql", false, trimmed);
  auto posts = Posts(portal, pedido);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, ExpectedBody(testing::kCnpjAlfa, pedido, sem_chave, "postgresql"));
  EXPECT_EQ(portal.Requests().size(), 10u);
  EXPECT_GE(agent.Count("Coletados 12 XMLs do banco."), 2);
}

// A notify socket made by the test, as systemd would pass it.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("bind " + path);
    }
    reader_ = std::thread([this] {
      char buf[4096];
      for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mu_);
        messages_.emplace_back(buf, static_cast<size_t>(n));
      }
    });
  }
  ~NotifySocket() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    reader_.join();
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  bool Has(const std::string& needle) {
    for (const auto& m : Messages()) {
      if (m.find(needle) != std::string::npos) return true;
    }
    return false;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::vector<std::string> messages_;
};

TEST(ServiceModeTest, StopOrShutdownWhileWaitingEndsAtOnce) {
  for (int sig : {SIGTERM, SIGINT}) {
    Agent agent;
    agent.endpoint = "http://127.0.0.1:9/api";
    agent.intervalo = 3600;
    agent.WriteIni();
    NotifySocket notify(agent.dir().Path("notify.sock"));
    auto child = agent.Start({}, {{"NOTIFY_SOCKET", notify.path()}});
    ASSERT_TRUE(WaitUntil([&] { return notify.Has("READY=1"); }, 20s));
    child->Signal(sig);
    EXPECT_EQ(child->Wait(10s), 0) << "signal " << sig;
    EXPECT_TRUE(notify.Has("STOPPING=1"));
    auto log = agent.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].message, "Servi\xC3\xA7o Lumacor iniciado.");
    EXPECT_EQ(log[1].message, "Lumacor Relay " + std::string(kVersion) +
                                  " | Marlux.ini: " + agent.dir().Path("pd/Lumacor/Marlux.ini") +
                                  " | modo: pasta | fila: " + agent.queue_path() +
                                  " | log: " + agent.log_path());
    EXPECT_EQ(log[2].message, "Servi\xC3\xA7o Lumacor parado.");
    EXPECT_EQ(agent.out(), "");  // no console line in service mode
  }
}

TEST(ServiceModeTest, StopDuringAHangingSendEndsAtOnceAndTheDocumentWaits) {
  TestPortal portal;
  std::atomic<bool> hang{true};
  portal.SetHandler([&](const RecordedRequest& req) {
    if (hang) {
      PortalAnswer a;
      a.action = PortalAnswer::kNeverAnswer;
      return a;
    }
    return testing::DefaultPortalAnswer(req);
  });
  Agent agent;
  agent.endpoint = portal.BaseUrl();
  agent.WriteIni();
  std::string k1 = Key(11), k2 = Key(12);
  testing::WriteFileBytes(agent.xml_dir() + "/1.xml", NFe(k1));
  testing::WriteFileBytes(agent.xml_dir() + "/2.xml", NFe(k2));
  {
    NotifySocket notify(agent.dir().Path("notify.sock"));
    auto child = agent.Start({}, {{"NOTIFY_SOCKET", notify.path()}});
    ASSERT_TRUE(WaitUntil([&] { return !portal.Requests().empty(); }, 20s));
    auto start = std::chrono::steady_clock::now();
    child->Signal(SIGTERM);
    EXPECT_EQ(child->Wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    std::vector<std::string> tail;
    for (const auto& l : agent.Log()) tail.push_back(l.message);
    ASSERT_GE(tail.size(), 4u);
    EXPECT_EQ(tail[tail.size() - 4], "Parada solicitada: 2 documentos ficam para o proximo ciclo.");
    EXPECT_EQ(tail[tail.size() - 2], "=== Fim do ciclo ===");
    EXPECT_EQ(tail.back(), "Servi\xC3\xA7o Lumacor parado.");
    EXPECT_TRUE(notify.Has("STOPPING=1"));
  }
  auto queue = ReadQueue(agent.queue_path());
  EXPECT_EQ(queue[k1].status, "pendente");
  EXPECT_EQ(queue[k1].tentativas, 0);
  EXPECT_EQ(queue[k2].status, "pendente");
  EXPECT_EQ(portal.Requests().size(), 1u);

  // After a restart the document goes out.
  hang = false;
  portal.ReleaseHeld();
  NotifySocket notify(agent.dir().Path("notify2.sock"));
  auto child = agent.Start({}, {{"NOTIFY_SOCKET", notify.path()}});
  ASSERT_TRUE(WaitUntil([&] { return agent.Count("Enviado OK: " + k2) == 1; }, 20s));
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(10s), 0);
  EXPECT_EQ(ReadQueue(agent.queue_path())[k1].status, "enviado");
  EXPECT_EQ(Posts(portal, k1).size(), 2u);  // the cut one, then the delivery
}

TEST(ServiceModeTest, AStopDuringStartUpIsNotLost) {
  Agent agent;
  agent.endpoint = "http://127.0.0.1:9/api";
  agent.intervalo = 3600;
  agent.WriteIni();
  NotifySocket notify(agent.dir().Path("notify.sock"));
  for (int delay_ms = 0; delay_ms < 30; delay_ms += 2) {
    SCOPED_TRACE(delay_ms);
    auto child = agent.Start({}, {{"NOTIFY_SOCKET", notify.path()}});
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    child->Signal(SIGTERM);
    auto code = child->Wait(10s);
    ASSERT_TRUE(code.has_value()) << "still running 10 s after the stop";
    // Before the signals are taken the default action ends the process.
    EXPECT_TRUE(*code == 0 || *code == 128 + SIGTERM) << *code;
  }
}

// A start that fails exits non-zero; one that a restart cannot mend, with
// the code the unit exempts from restarts.
TEST(ServiceModeTest, FailedStartExitCodeTellsConfigurationFromOtherFaults) {
  struct Case {
    const char* name;
    const char* ini_extra;
    bool queue_blocked;  // a file where the queue's folder should be
    int exit_code;
    const char* logged;
  } cases[] = {
      {"tipo de banco invalido", "[banco]\ntipo=oracle\nnome=x\n", false, 78,
       "Falha ao inicializar SyncRunner: DBProvider.Create falhou: "},
      {"fila impossivel de abrir", "", true, 1, "Falha ao inicializar SyncRunner: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Agent agent;
    agent.endpoint = "http://127.0.0.1:9/api";
    agent.modo = c.queue_blocked ? "pasta" : "banco";
    agent.ini_extra = c.ini_extra;
    agent.WriteIni();
    if (c.queue_blocked) agent.dir().Write("fila", "nao e uma pasta");
    NotifySocket notify(agent.dir().Path("notify.sock"));
    auto child = agent.Start({}, {{"NOTIFY_SOCKET", notify.path()}});
    auto code = child->Wait(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, c.exit_code);
    EXPECT_FALSE(notify.Has("READY=1"));
    auto log = agent.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, "ERROR");
    EXPECT_EQ(log[0].message.rfind(c.logged, 0), 0u) << log[0].message;
  }
}

TEST(EndToEndTest, PathThePlatformRefusesEndsWithTheConfigurationCode) {
  Agent agent;
  agent.WriteIni("[LOG]\npath=logs/a|b.log\n");
  auto child = agent.Start();
  EXPECT_EQ(child->Wait(20s), 78);
  EXPECT_NE(agent.err().find("Invalid characters in path"), std::string::npos) << agent.err();
}

// Runs a tool to its end; its standard output and error together.
struct ToolRun {
  std::optional<int> code;
  std::string output;
};
ToolRun RunTool(const TempDir& dir, std::vector<std::string> argv) {
  ChildProcess child(argv, {{"SYSTEMD_LOG_COLOR", "0"}}, dir.Path("tool.out"),
                     dir.Path("tool.out"));
  ToolRun run;
  run.code = child.Wait(60s);
  run.output = ReadFileBytes(dir.Path("tool.out"));
  return run;
}

// Lines of a unit without the ones naming where and as whom it runs.
std::vector<std::string> HardeningLines(const std::string& unit) {
  std::vector<std::string> out;
  std::istringstream in(unit);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    bool per_install = false;
    for (const char* key :
         {"ExecStart=", "User=", "Group=", "WorkingDirectory=", "ReadWritePaths="}) {
      per_install = per_install || line.rfind(key, 0) == 0;
    }
    if (!per_install) out.push_back(line);
  }
  return out;
}

TEST(ServiceInstallTest, InstallAndRemoveThroughSystemctl) {
  Agent agent;
  agent.WriteIni();
  // systemd reads "$" literally in a program path, but "%" starts a
  // specifier and the space splits words unless quoted.
  std::string folder = agent.dir().Path("opt/Lumacor a$b%c");
  fs::create_directories(folder);
  std::string exe = folder + "/lumacor-relay";
  fs::copy_file(kExe, exe);
  std::string units = agent.dir().Path("units");
  fs::create_directories(units);
  std::string calls = agent.dir().Path("calls");
  std::string fake =
      agent.dir().Write("bin/systemctl", "#!/bin/sh\necho \"$*\" >> " + calls + "\n");
  fs::permissions(fake, fs::perms::owner_all);
  std::map<std::string, std::string> env = {{"LUMACOR_SYSTEMD_UNIT_DIR", units},
                                            {"LUMACOR_SYSTEMCTL", fake}};

  auto install =
      std::make_unique<ChildProcess>(std::vector<std::string>{exe, "/INSTALL"}, env,
                                     agent.dir().Path("stdout"), agent.dir().Path("stderr"));
  EXPECT_EQ(install->Wait(20s), 0) << agent.err();
  std::string unit_path = units + "/OrvaneLumacorService.service";
  std::string unit = ReadFileBytes(unit_path);
  EXPECT_NE(unit.find("Description=Orvane Lumacor - Brevia\n"), std::string::npos);
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  std::string escaped = folder;
  escaped.replace(escaped.rfind('%'), 1, "%%");
  EXPECT_NE(unit.find("ExecStart=\"" + escaped + "/lumacor-relay\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("WorkingDirectory=" + escaped + "\n"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("User="), std::string::npos) << "run by hand, the unit runs as root";
  EXPECT_EQ(ReadFileBytes(calls), "daemon-reload\nenable OrvaneLumacorService.service\n");

  // The same hardening as the packaged unit, which systemd must accept
  // (the program path included) and score as safe.
  EXPECT_EQ(HardeningLines(unit),
            HardeningLines(ReadFileBytes(std::string(LUMACOR_SOURCE_DIR) +
                                         "/packaging/debian/OrvaneLumacorService.service")));
  ToolRun verify = RunTool(agent.dir(), {"/usr/bin/systemd-analyze", "verify", unit_path});
  EXPECT_EQ(verify.code, 0) << verify.output;
  ToolRun security = RunTool(agent.dir(), {"/usr/bin/systemd-analyze", "security", "--offline=yes",
                                           "--threshold=25", unit_path});
  EXPECT_EQ(security.code, 0) << security.output;
  EXPECT_NE(security.output.find("Overall exposure level"), std::string::npos) << security.output;

  // Only the first argument counts.
  EXPECT_EQ(agent.Start({"/Remove", "/install"}, env)->Wait(20s), 0) << agent.err();
  EXPECT_FALSE(fs::exists(unit_path));
  EXPECT_EQ(ReadFileBytes(calls),
            "daemon-reload\nenable OrvaneLumacorService.service\n"
            "stop OrvaneLumacorService.service\ndisable OrvaneLumacorService.service\n"
            "daemon-reload\n");
  EXPECT_FALSE(fs::exists(agent.log_path())) << "install and remove log nothing";
}

// Install and remove end non-zero, with the reason on standard error,
// when the unit cannot be written or systemctl fails or is missing.
TEST(ServiceInstallTest, FailuresEndNonZeroWithTheReason) {
  struct Case {
    const char* name;
    const char* command;
    const char* systemctl;  // script body, or nullptr for a missing program
    bool unit_dir_exists;
    const char* reason;
  } cases[] = {
      {"pasta das units ausente", "/install", "exit 0", false, "Nao foi possivel gravar "},
      {"daemon-reload falha", "/install", "[ \"$1\" = daemon-reload ] && exit 3; exit 0", true,
       "daemon-reload terminou com codigo 3"},
      {"enable falha", "/install", "[ \"$1\" = enable ] && exit 1; exit 0", true,
       "enable OrvaneLumacorService.service terminou com codigo 1"},
      {"systemctl ausente", "/install", nullptr, true, "Nao foi possivel executar "},
      {"stop falha", "/remove", "[ \"$1\" = stop ] && exit 5; exit 0", true,
       "stop OrvaneLumacorService.service terminou com codigo 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Agent agent;
    agent.WriteIni();
    std::string units = agent.dir().Path("units");
    if (c.unit_dir_exists) fs::create_directories(units);
    std::string unit_path = units + "/OrvaneLumacorService.service";
    bool removing = std::string(c.command) == "/remove";
    if (removing) agent.dir().Write("units/OrvaneLumacorService.service", "x");
    std::string fake = agent.dir().Path("bin/systemctl");
    if (c.systemctl != nullptr) {
      agent.dir().Write("bin/systemctl", std::string("#!/bin/sh\n") + c.systemctl + "\n");
      fs::permissions(fake, fs::perms::owner_all);
    }
    std::map<std::string, std::string> env = {{"LUMACOR_SYSTEMD_UNIT_DIR", units},
                                              {"LUMACOR_SYSTEMCTL", fake}};
    auto code = agent.Start({c.command}, env)->Wait(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0);
    EXPECT_NE(agent.err().find(c.reason), std::string::npos) << agent.err();
    // Removal goes on past a failed step: nothing half-removed stays.
    if (removing) {
      EXPECT_FALSE(fs::exists(unit_path));
    }
  }
}

}  // namespace
}  // namespace lumacor
