// Cycles over a folder that mostly stays as it was: what the scan remembers
// of each file, files still being written, and a backlog draining.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/Text.h"
#include "service/StatusReport.h"
#include "service/SyncRunner.h"
#include "testsupport/Fakes.h"
#include "testsupport/FaultyFileSystem.h"
#include "testsupport/FiscalFixtures.h"
#include "testsupport/TestSupport.h"
#include "tools/TestPortal.h"

namespace lumacor {
namespace {

namespace fs = std::filesystem;
using testing::ConfigScope;
using testing::FaultyFileSystem;
using testing::LogCapture;
using testing::PortalAnswer;
using testing::TempDir;
using testing::TestPortal;

std::string Key(int n) { return Format("352605123456780001905500100000%04d1%09d", n, n); }

std::string NFe(int n, const std::string& extra = "") {
  return "<NFe><infNFe Id=\"NFe" + Key(n) + "\"><ide><mod>55</mod></ide>" + extra +
         "</infNFe></NFe>";
}

std::string Cancelamento(int n, const std::string& extra = "") {
  return "<procEventoNFe><evento><infEvento><chNFe>" + Key(n) +
         "</chNFe><tpEvento>110111</tpEvento>" + extra + "</infEvento></evento></procEventoNFe>";
}

std::string Inutilizacao(const std::string& extra = "") {
  return "<procInutNFe><inutNFe><infInut Id=\"ID35260512345678000190550010000000500000000500\">" +
         extra + "</infInut></inutNFe></procInutNFe>";
}

// Rows of `sql` over the database at `path`, columns joined by "|".
std::vector<std::string> Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  std::vector<std::string> out;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const unsigned char* v = sqlite3_column_text(st, i);
        row += (i ? "|" : "") + std::string(v ? reinterpret_cast<const char*>(v) : "NULL");
      }
      out.push_back(row);
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// A running agent: its configuration and one runner kept across cycles.
struct Agente {
  Agente(const TSincConfig& cfg, FileSystem* files, Clock* clock = Clock::Default())
      : scope(cfg), runner(nullptr, files, clock) {}
  std::vector<std::string> Ciclo() {
    LogCapture log;
    runner.Executar();
    return log.Messages();
  }
  ConfigScope scope;
  TSyncRunner runner;
};

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Lines that mention `text`.
int Mentions(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

class ScanMemoryTest : public ::testing::Test {
 protected:
  ScanMemoryTest() {
    fs::create_directories(dir_.Path("xml"));
    cfg_.CNPJ = "12345678000190";
    cfg_.TokenEmpresa = "tok";
    cfg_.EndpointAPI = portal_.BaseUrl() + "/api";
    cfg_.ModoColeta = "pasta";
    cfg_.XMLPaths = dir_.Path("xml");
    cfg_.XMLRecursive = true;
    cfg_.SQLitePath = dir_.Path("fila/queue.db");
    cfg_.MaxTentativas = 5;
    cfg_.LogIgnorados = true;
    cfg_.DBType = "firebird";
  }

  std::string Xml(const std::string& name) const { return dir_.Path("xml/" + name); }
  std::string Write(const std::string& name, const std::string& text) const {
    return dir_.Write("xml/" + name, text);
  }
  std::vector<std::string> Conhecidos() const {
    return Query(cfg_.SQLitePath, "SELECT caminho FROM sync_arquivo ORDER BY caminho");
  }
  int PostsOf(const std::string& text) const {
    int n = 0;
    for (const auto& r : portal_.Requests()) n += r.body.find(text) != std::string::npos;
    return n;
  }

  TempDir dir_;
  TestPortal portal_;
  TSincConfig cfg_;
  FaultyFileSystem files_;
};

TEST_F(ScanMemoryTest, UnchangedFilesAreNotOpenedAgainNorAfterARestart) {
  for (int n = 1; n <= 4; ++n) Write("nfe" + std::to_string(n) + ".xml", NFe(n));
  Write("cancelamento.xml", Cancelamento(1));
  Write("outro.xml", "<pedido/>");
  const std::string varredura =
      "INFO |Varredura XML: encontrados=6 | aceitos=5 | cancelamentos=1 | inutilizacoes=0 | "
      "ignorados=1 | erros=0";
  const std::string ignorado =
      "WARN |XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + Xml("outro.xml");
  {
    Agente agente(cfg_, &files_);
    auto first = agente.Ciclo();
    EXPECT_TRUE(Contains(first, varredura));
    EXPECT_TRUE(Contains(first, "INFO |Coletados 5 XMLs das pastas."));
    // Read to be classified, and the queued ones again for their write.
    EXPECT_EQ(files_.ReadsOf(Xml("outro.xml")), 1);
    EXPECT_EQ(files_.ReadsOf(Xml("nfe1.xml")), 2);
    int reads = files_.reads();
    for (int cycle = 0; cycle < 2; ++cycle) {
      auto again = agente.Ciclo();
      EXPECT_TRUE(Contains(again, varredura));
      EXPECT_TRUE(Contains(again, "INFO |Coletados 5 XMLs das pastas."));
      EXPECT_TRUE(Contains(again, ignorado));
    }
    // The cancellation was stored once the NF-e went: its file was read
    // for that write only.
    EXPECT_EQ(files_.reads(), reads + 1);
    EXPECT_EQ(PostsOf("110111"), 1);
  }
  int reads = files_.reads();
  Agente restarted(cfg_, &files_);
  auto after = restarted.Ciclo();
  EXPECT_TRUE(Contains(after, varredura));
  EXPECT_TRUE(Contains(after, "INFO |Ciclo concluido - coletados: 5 | enviados: 0 | erros: 0"));
  EXPECT_EQ(files_.reads(), reads);
}

TEST_F(ScanMemoryTest, WhatChangedIsReadAgainAndWhatWentIsForgotten) {
  struct Case {
    const char* name;
    std::function<void()> change;
    const char* read;    // the file read again, "" for none
    int reads;           // its reads in the next cycle
    const char* posted;  // text the portal gets next, "" for nothing
    std::vector<std::string> known;
  } cases[] = {
      {"novo", [this] { Write("b.xml", NFe(2)); }, "b.xml", 2, "infNFe", {"a.xml", "b.xml"}},
      {"conteudo alterado",
       [this] { Write("a.xml", NFe(1, "<obs>versao 2</obs>")); },
       "a.xml",
       2,
       "versao 2",
       {"a.xml"}},
      // A rewrite of the same size whose last-write time is put back, as
      // some copy tools do, or as a coarse clock leaves it: only the change
      // time tells.
      {"mesmo tamanho e mesma data",
       [this] {
         auto when = fs::last_write_time(Xml("a.xml"));
         FileInfo before, after;
         FileSystem::Default()->Stat(Xml("a.xml"), &before);
         // File times tick coarsely: rewritten until the change time moved,
         // as it has between any two real edits.
         for (int i = 0; i < 200; ++i) {
           Write("a.xml", NFe(1, "<obs>v2</obs>"));
           fs::last_write_time(Xml("a.xml"), when);
           FileSystem::Default()->Stat(Xml("a.xml"), &after);
           if (after.ctime_nanos != before.ctime_nanos) break;
           std::this_thread::sleep_for(std::chrono::milliseconds(10));
         }
       },
       "a.xml",
       2,
       "v2",
       {"a.xml"}},
      // The same document under a new name: read, found unchanged in the
      // queue, not posted again.
      {"renomeado", [this] { fs::rename(Xml("a.xml"), Xml("c.xml")); }, "c.xml", 1, "", {"c.xml"}},
      {"apagado", [this] { fs::remove(Xml("a.xml")); }, "", 0, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.Path("xml"));
    fs::remove_all(dir_.Path("fila"));
    portal_.ClearRequests();
    Write("a.xml", NFe(1, "<obs>v1</obs>"));
    {
      Agente agente(cfg_, &files_);
      agente.Ciclo();
      portal_.ClearRequests();
      c.change();
      int before = *c.read ? files_.ReadsOf(Xml(c.read)) : 0;
      agente.Ciclo();
      if (*c.read) {
        EXPECT_EQ(files_.ReadsOf(Xml(c.read)), before + c.reads);
      }
      if (*c.posted) {
        EXPECT_EQ(PostsOf(c.posted), 1);
      } else {
        EXPECT_TRUE(portal_.Requests().empty());
      }
    }
    std::vector<std::string> known;
    for (const std::string& k : c.known) known.push_back(Xml(k));
    EXPECT_EQ(Conhecidos(), known);
    // A file that went leaves its document in the queue.
    EXPECT_EQ(Query(cfg_.SQLitePath,
                    "SELECT status_envio FROM sync_xml WHERE chave_unica = '" + Key(1) + "'"),
              std::vector<std::string>{"enviado"});
  }
}

// A folder named twice in the paths lists each file twice: still one record
// per file, kept while the file stands.
TEST_F(ScanMemoryTest, AFolderConfiguredTwiceKeepsOneRecordPerFile) {
  cfg_.XMLPaths = dir_.Path("xml") + ";" + dir_.Path("xml");
  Write("a.xml", NFe(1));
  Write("b.xml", NFe(2));
  const std::vector<std::string> known = {Xml("a.xml"), Xml("b.xml")};
  {
    Agente agente(cfg_, &files_);
    agente.Ciclo();
    int reads = files_.reads();
    agente.Ciclo();
    EXPECT_EQ(files_.reads(), reads);
  }
  EXPECT_EQ(Conhecidos(), known);
  int reads = files_.reads();
  {
    Agente restarted(cfg_, &files_);
    EXPECT_TRUE(Contains(restarted.Ciclo(), "INFO |Coletados 4 XMLs das pastas."));
  }
  EXPECT_EQ(files_.reads(), reads);
  EXPECT_EQ(Conhecidos(), known);
}

TEST_F(ScanMemoryTest, AFileChangedBetweenScanAndWriteIsAnErrorForThisCycle) {
  const std::string path = Write("a.xml", NFe(1, "<obs>v1</obs>"));
  // Rewritten once the scan is past it (its read and the look at its
  // metadata after it), before the queue asks for the text.
  int stats = 0;
  files_.after_stat = [&](const std::string& p) {
    if (p == path && ++stats == 2) Write("a.xml", NFe(1, "<obs>v2 maior</obs>"));
  };
  Agente agente(cfg_, &files_);
  auto first = agente.Ciclo();
  EXPECT_TRUE(
      Contains(first, "ERROR|Erro lendo XML " + path + ": arquivo alterado desde a varredura"));
  EXPECT_TRUE(Contains(first, "INFO |0 itens pendentes para envio."));
  EXPECT_TRUE(portal_.Requests().empty());
  agente.Ciclo();
  EXPECT_EQ(PostsOf("v2 maior"), 1);
  EXPECT_EQ(PostsOf("v1"), 0);
}

TEST_F(ScanMemoryTest, DetectionLinesOncePerNewOrChangedFile) {
  Write("nfe.xml", NFe(1));
  Write("cancelamento.xml", Cancelamento(1));
  Write("inutilizacao.xml", Inutilizacao());
  const std::string cancelamento =
      "INFO |Evento de cancelamento detectado: " + Key(1) + " | " + Xml("cancelamento.xml");
  const std::string inutilizacao =
      "INFO |Inutilizacao detectada: "
      "INUT-35260512345678000190550010000000500000000500 | " +
      Xml("inutilizacao.xml");
  const std::string varredura =
      "INFO |Varredura XML: encontrados=3 | aceitos=3 | cancelamentos=1 | inutilizacoes=1 | "
      "ignorados=0 | erros=0";
  Agente agente(cfg_, &files_);
  auto first = agente.Ciclo();
  EXPECT_EQ(Mentions(first, cancelamento), 1);
  EXPECT_EQ(Mentions(first, inutilizacao), 1);
  EXPECT_TRUE(Contains(first, varredura));
  auto second = agente.Ciclo();
  EXPECT_EQ(Mentions(second, "detectad"), 0);
  EXPECT_TRUE(Contains(second, varredura));
  Write("cancelamento.xml", Cancelamento(1, "<xJust>erro de digitacao</xJust>"));
  auto third = agente.Ciclo();
  EXPECT_EQ(Mentions(third, cancelamento), 1);
  EXPECT_EQ(Mentions(third, "Inutilizacao detectada"), 0);
  EXPECT_TRUE(Contains(third, varredura));
}

// The same folder through two agents, one of which forgets what its scans
// learned before every cycle (reading everything, as without a memory):
// the log, the requests and the queue must not tell them apart, except
// for the detection lines, which the remembering one writes once.
TEST_F(ScanMemoryTest, SameOutcomeAsReadingEveryFileEveryCycle) {
  const std::string fixtures = std::string(LUMACOR_SOURCE_DIR) + "/collect/testdata/";
  for (const auto& f : testing::FiscalFixtures()) {
    Write(std::string("alfa/") + f.arquivo, testing::ReadFileBytes(fixtures + f.arquivo));
  }
  for (int n = 1; n <= 6; ++n) Write("mes/nfe" + std::to_string(n) + ".xml", NFe(n));
  Write("mes/cancelamento2.xml", Cancelamento(2));
  Write("mes/pedido.xml", "<pedido/>");
  Write("mes/sem_chave.xml", "<NFe><infNFe><ide><mod>55</mod></ide></infNFe></NFe>");
  cfg_.CNPJ = testing::kCnpjAlfa;

  TestPortal other_portal;
  TSincConfig forgetful = cfg_;
  forgetful.SQLitePath = dir_.Path("fila/esquece.db");
  forgetful.EndpointAPI = other_portal.BaseUrl() + "/api";
  // Without the detection lines, and with either portal's address as one.
  auto without_detection = [&](std::vector<std::string> lines) {
    std::erase_if(lines,
                  [](const std::string& l) { return l.find("detectad") != std::string::npos; });
    for (std::string& l : lines) {
      for (const TestPortal* p : {&portal_, &other_portal}) {
        size_t at = l.find(p->BaseUrl());
        if (at != std::string::npos) l.replace(at, p->BaseUrl().size(), "PORTAL");
      }
    }
    return lines;
  };
  std::unique_ptr<Agente> agente;
  const std::vector<std::function<void()>> changes = {
      [] {},
      [&] {
        Write("mes/nfe7.xml", NFe(7));
        Write("mes/nfe1.xml", NFe(1, "<obs>corrigida</obs>"));
        fs::remove(Xml("mes/nfe2.xml"));
        Write("mes/cancelamento3.xml", Cancelamento(3));
      },
      [] {},
      [&] { fs::rename(Xml("mes/nfe3.xml"), Xml("mes/nfe3-copia.xml")); },
      // An NF-e and its event found together while the portal is down: the
      // row waits at the NF-e, and the event follows once it is delivered.
      [&] {
        for (TestPortal* p : {&portal_, &other_portal}) {
          p->SetAnswer(PortalAnswer::Status(503, "{\"erro\":\"manutencao\"}"));
        }
        Write("mes/nfe8.xml", NFe(8));
        Write("mes/cancelamento8.xml", Cancelamento(8));
      },
      [&] {
        for (TestPortal* p : {&portal_, &other_portal}) {
          p->SetAnswer(PortalAnswer::Status(200, "{\"status\":\"recebido\"}"));
        }
      },
      [] {},
      // The event of an NF-e still waiting for the portal: it must wait
      // for the NF-e.
      [&] {
        for (TestPortal* p : {&portal_, &other_portal}) {
          p->SetAnswer(PortalAnswer::Status(503, "{\"erro\":\"manutencao\"}"));
        }
        Write("mes/nfe9.xml", NFe(9));
      },
      [&] { Write("mes/cancelamento9.xml", Cancelamento(9)); },
      [&] {
        for (TestPortal* p : {&portal_, &other_portal}) {
          p->SetAnswer(PortalAnswer::Status(200, "{\"status\":\"recebido\"}"));
        }
      },
      [] {},
      // The event's file goes: its NF-e is what the folder holds again.
      [&] { fs::remove(Xml("mes/cancelamento3.xml")); },
      [] {},
      // Another CNPJ (a restart with another configuration): every
      // document is queued under it.
      [&] {
        agente.reset();
        cfg_.CNPJ = "12345678000190";
        forgetful.CNPJ = cfg_.CNPJ;
        agente = std::make_unique<Agente>(cfg_, &files_);
      },
      [] {},
  };
  agente = std::make_unique<Agente>(cfg_, &files_);
  int cycle = 0;
  for (const auto& change : changes) {
    SCOPED_TRACE("ciclo " + std::to_string(++cycle));
    change();
    auto lines = agente->Ciclo();
    std::vector<std::string> expected;
    {
      Query(forgetful.SQLitePath, "DELETE FROM sync_arquivo");
      Agente fresh(forgetful, FileSystem::Default());
      expected = fresh.Ciclo();
    }
    EXPECT_EQ(without_detection(lines), without_detection(expected));
    if (cycle == 3 || cycle == 4) {
      EXPECT_EQ(Mentions(lines, "detectad"), 0);
    }
  }
  auto bodies = [](const TestPortal& p) {
    std::vector<std::string> out;
    for (const auto& r : p.Requests()) out.push_back(r.body);
    return out;
  };
  EXPECT_EQ(bodies(portal_), bodies(other_portal));
  EXPECT_FALSE(portal_.Requests().empty());
  agente.reset();  // lets the queue file go
  const std::string rows =
      "SELECT id, cnpj, chave_unica, xml, xml_hash, sincronizado, status_envio, tentativas, "
      "ultimo_erro FROM sync_xml ORDER BY id";
  EXPECT_EQ(Query(cfg_.SQLitePath, rows), Query(forgetful.SQLitePath, rows));
}

TEST_F(ScanMemoryTest, AFileBeingWrittenIsNeverPostedHalfWritten) {
  Write("pronta.xml", NFe(1));
  const std::string path = Xml("crescendo.xml");
  const std::string whole = NFe(2, "<det>" + std::string(2000, 'i') + "</det><obs>FIM");
  testing::FakeClock clock;
  Agente agente(cfg_, &files_, &clock);
  const size_t chunk = whole.size() / 10 + 1;
  for (size_t at = 0; at < whole.size(); at += chunk) {
    std::ofstream(path, std::ios::binary | std::ios::app) << whole.substr(at, chunk);
    // Scanned just after the write, as a cycle may be.
    clock.Set(std::chrono::system_clock::now());
    auto lines = agente.Ciclo();
    EXPECT_EQ(Mentions(lines, "crescendo"), 0);
    EXPECT_TRUE(Contains(lines,
                         "INFO |Varredura XML: encontrados=1 | aceitos=1 | cancelamentos=0 | "
                         "inutilizacoes=0 | ignorados=0 | erros=0"));
  }
  EXPECT_EQ(PostsOf(Key(2)), 0);
  clock.Set(std::chrono::system_clock::now() + std::chrono::seconds(2));
  auto settled = agente.Ciclo();
  EXPECT_TRUE(Contains(settled, "INFO |Enviado OK: " + Key(2)));
  EXPECT_EQ(PostsOf(Key(2)), 1);
  EXPECT_EQ(PostsOf("FIM"), 1);
}

class BacklogTest : public ScanMemoryTest {};

TEST_F(BacklogTest, ABacklogDrainsInConsecutiveCyclesAndTheIntervalReturns) {
  for (int n = 1; n <= 1000; ++n) Write("lote/" + std::to_string(n) + ".xml", NFe(n));
  Agente agente(cfg_, &files_);
  int cycles = 0;
  do {
    auto lines = agente.Ciclo();
    ++cycles;
    ASSERT_TRUE(Contains(lines, "INFO |100 itens pendentes para envio.")) << cycles;
  } while (agente.runner.ContinuarSemEspera() && cycles < 20);
  EXPECT_EQ(cycles, 10);
  EXPECT_EQ(portal_.Requests().size(), 1000u);
  agente.Ciclo();
  EXPECT_FALSE(agente.runner.ContinuarSemEspera());
}

// Events collected with their documents wait for them: the cycle that
// sends the last documents is followed at once by the one that sends the
// events, and only then does the interval return.
TEST_F(BacklogTest, EventsWaitingForTheirDocumentsFollowAtOnce) {
  for (int n = 1; n <= 150; ++n) Write("lote/" + std::to_string(n) + ".xml", NFe(n));
  // Of the last documents in line, so that they go out in the second cycle.
  for (int n = 141; n <= 150; ++n) Write("lote/c" + std::to_string(n) + ".xml", Cancelamento(n));
  Agente agente(cfg_, &files_);
  std::vector<bool> at_once;
  do {
    agente.Ciclo();
    at_once.push_back(agente.runner.ContinuarSemEspera());
  } while (at_once.back() && at_once.size() < 10);
  EXPECT_EQ(at_once, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(portal_.Requests().size(), 160u);
  EXPECT_EQ(PostsOf("tpEvento"), 10);
}

TEST_F(BacklogTest, TheIntervalAppliesAfterAFailureOrAShortBatch) {
  struct Case {
    const char* name;
    int documents;
    int failing;  // the document the portal rejects, 0 for none
    bool at_once;
  } cases[] = {
      {"lote cheio e mais pendentes", 150, 0, true},
      {"lote cheio, nada mais", 100, 0, false},
      {"lote curto", 99, 0, false},
      {"uma falha", 150, 7, false},
  };
  cfg_.IntervaloSegundos = 60;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.Path("xml"));
    fs::remove_all(dir_.Path("fila"));
    for (int n = 1; n <= c.documents; ++n) Write("lote/" + std::to_string(n) + ".xml", NFe(n));
    std::string failing = c.failing ? Key(c.failing) : "-";
    portal_.SetHandler([failing](const testing::RecordedRequest& r) {
      if (r.body.find(failing) != std::string::npos) {
        return PortalAnswer::Status(422, "{\"erro\":\"rejeitado\"}");
      }
      return PortalAnswer::Status(200, "{\"status\":\"recebido\"}");
    });
    Agente agente(cfg_, &files_);
    agente.Ciclo();
    EXPECT_EQ(agente.runner.ContinuarSemEspera(), c.at_once);
    // The status page tells the operator when the next cycle runs.
    TStatusAgente status = StatusDeJson(testing::ReadFileBytes(PastaStatus(cfg_) + "/status.json"));
    EXPECT_EQ(status.ProximoCiclo - status.UltimoCiclo.Fim, c.at_once ? 0 : 60);
  }
}

}  // namespace
}  // namespace lumacor
