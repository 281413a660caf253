// Whole cycles over real files, a real queue file and the test portal, with
// one fault injected below them: a failing write or sync of the queue file,
// a full disk, a failing read or listing of the document folder, a queue
// held by another connection, a log that cannot be written. Each time the
// cycle must say what failed, keep no half batch, keep running, and once
// the fault is gone deliver everything from a file that is still intact.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "collect/ChaveAcesso.h"
#include "service/SyncRunner.h"
#include "testsupport/FaultVfs.h"
#include "testsupport/FaultyFileSystem.h"
#include "testsupport/TestSupport.h"
#include "tools/TestPortal.h"

namespace lumacor {
namespace {

namespace fs = std::filesystem;
using testing::ConfigScope;
using testing::FaultVfs;
using testing::FaultyFileSystem;
using testing::LogCapture;
using testing::TempDir;
using testing::TestPortal;

constexpr int kDocs = 4;

// With a right check digit, as the agent expects of a real key.
std::string Key(int n) {
  std::string tail = std::to_string(n);
  std::string k = "352605123456780001905500100000" + std::string(13 - tail.size(), '0') + tail;
  return k + std::to_string(DigitoVerificadorChave(k));
}

std::string NFe(int n, int version = 1) {
  return "<NFe><infNFe Id=\"NFe" + Key(n) + "\"><ide><mod>55</mod></ide><dest><xNome>v" +
         std::to_string(version) + "</xNome></dest></infNFe></NFe>";
}

// Runs a statement list on its own connection; "" or SQLite's message.
std::string Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string msg = rc == SQLITE_OK ? "" : (err != nullptr ? err : sqlite3_errstr(rc));
  sqlite3_free(err);
  return msg;
}

// Another process's hold on the queue file.
class OtherConnection {
 public:
  explicit OtherConnection(const std::string& path) {
    EXPECT_EQ(
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
        SQLITE_OK);
  }
  ~OtherConnection() { sqlite3_close(db_); }
  OtherConnection(const OtherConnection&) = delete;
  OtherConnection& operator=(const OtherConnection&) = delete;
  std::string Exec(const std::string& sql) { return lumacor::Exec(db_, sql); }

 private:
  sqlite3* db_ = nullptr;
};

class FaultCycleTest : public ::testing::Test {
 protected:
  FaultCycleTest() { Reset(); }

  // A fresh installation: no queue file, kDocs documents in two folders.
  void Reset() {
    dir_ = std::make_unique<TempDir>();
    fs::create_directories(dir_->Path("xml/a"));
    fs::create_directories(dir_->Path("xml/b"));
    for (int n = 0; n < kDocs; ++n) WriteDoc(n, 1);
    cfg_ = TSincConfig{};
    cfg_.CNPJ = "12345678000190";
    cfg_.TokenEmpresa = "tok";
    cfg_.EndpointAPI = portal_.BaseUrl();
    cfg_.ModoColeta = "pasta";
    cfg_.XMLPaths = dir_->Path("xml");
    cfg_.XMLRecursive = true;
    cfg_.SQLitePath = dir_->Path("fila/queue.db");
    cfg_.MaxTentativas = 5;
    portal_.ClearRequests();
    version_.assign(kDocs, 1);
  }

  void WriteDoc(int n, int version) {
    if (n < static_cast<int>(version_.size())) version_[n] = version;
    dir_->Write(std::string(n % 2 ? "xml/b/" : "xml/a/") + std::to_string(n) + ".xml",
                NFe(n, version));
  }

  // One cycle as the service host runs it: an error that leaves the cycle
  // is the host's to log, and the next cycle comes anyway. Returns it.
  static std::string Cycle(TSyncRunner& runner) {
    try {
      runner.Executar();
      return "";
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  // The text of each identifier the portal last accepted.
  std::map<std::string, std::string> Delivered() const {
    std::map<std::string, std::string> out;
    for (const auto& r : portal_.Requests()) {
      rapidjson::Document d;
      d.Parse(r.body.c_str(), r.body.size());
      if (d.IsObject()) out[d["chave_unica"].GetString()] = d["xml"].GetString();
    }
    return out;
  }

  bool AllDelivered() const {
    auto got = Delivered();
    for (int n = 0; n < static_cast<int>(version_.size()); ++n) {
      auto it = got.find(Key(n));
      if (it == got.end() || it->second != NFe(n, version_[n])) return false;
    }
    return true;
  }

  // Once the agent has let go of the file: it passes integrity_check and
  // holds every document as sent.
  void ExpectQueueIntactAndSent() const {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(cfg_.SQLitePath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*), sum(status_envio = 'enviado') FROM sync_xml",
                                 -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), static_cast<int>(version_.size()));
    EXPECT_EQ(sqlite3_column_int(st, 1), static_cast<int>(version_.size()));
    sqlite3_finalize(st);
    sqlite3_close(db);
  }

  static bool HasPrefix(const LogCapture& log, const std::string& level,
                        const std::string& prefix) {
    for (const auto& l : log.Lines()) {
      if (l.level == level && l.message.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  std::unique_ptr<TempDir> dir_;
  TestPortal portal_;
  TSincConfig cfg_;
  std::vector<int> version_;
};

// Every write, then every sync, of a first cycle fails in turn, until a
// cycle runs past the last one: each must leave a file that recovers.
TEST_F(FaultCycleTest, EveryWriteAndSyncOfACycleFailsInTurn) {
  enum Kind { kWrite, kSync };
  for (Kind kind : {kWrite, kSync}) {
    int struck = 0;
    for (int n = 1; n < 1000; ++n) {
      SCOPED_TRACE((kind == kWrite ? "escrita " : "sync ") + std::to_string(n));
      Reset();
      FaultVfs vfs;
      ConfigScope scope(cfg_);
      LogCapture log;
      bool hit = false;
      {
        TSyncRunner runner;
        if (kind == kWrite) {
          vfs.FailWrite(n);
        } else {
          vfs.FailSync(n);
        }
        std::string escaped = Cycle(runner);
        hit = vfs.faults() > 0;
        vfs.Clear();
        if (hit) {
          // Said either by the cycle (the batch, or the record of the
          // delivery settings made before it on a first run) or by the
          // error that left it (a mark). A failed batch is listed whole or
          // not at all: a sync that fails once the file already holds the
          // commit (the journal's last sync) leaves it committed though
          // reported.
          bool batch_failed = HasPrefix(log, "ERROR", "Erro ao gravar fila local: ");
          bool settings_failed =
              HasPrefix(log, "ERROR", "Erro ao reenfileirar falhas definitivas: ");
          EXPECT_TRUE(batch_failed || settings_failed || !escaped.empty());
          if (batch_failed) {
            EXPECT_TRUE(log.Has("INFO ", "0 itens pendentes para envio.") ||
                        log.Has("INFO ", std::to_string(kDocs) + " itens pendentes para envio."));
          }
        } else {
          EXPECT_EQ(escaped, "");
        }
        // Two more: one to redo what the fault undid, one to find nothing
        // left (a mark lost after its send is sent, and marked, again).
        for (int i = 0; i < 2; ++i) EXPECT_EQ(Cycle(runner), "");
      }
      EXPECT_TRUE(AllDelivered());
      ExpectQueueIntactAndSent();
      if (HasFailure()) return;
      if (!hit) break;
      ++struck;
    }
    // Shows the sweep covered the batch and the marks, not one early call.
    EXPECT_GT(struck, kDocs) << (kind == kWrite ? "escritas" : "syncs");
    std::printf("[ falhas ] %d %s falharam, uma por vez; todas superadas\n", struck,
                kind == kWrite ? "escritas" : "syncs");
  }
}

TEST_F(FaultCycleTest, FullDiskKeepsTheBatchOutUntilSpaceReturns) {
  FaultVfs vfs;
  ConfigScope scope(cfg_);
  {
    TSyncRunner runner;
    ASSERT_EQ(Cycle(runner), "");
    ASSERT_TRUE(AllDelivered());

    WriteDoc(1, 2);
    WriteDoc(2, 2);
    version_.push_back(1);
    WriteDoc(kDocs, 1);
    vfs.SetDiskFull(true);
    for (int i = 0; i < 2; ++i) {
      LogCapture log;
      EXPECT_EQ(Cycle(runner), "");
      EXPECT_TRUE(log.Has("ERROR", "Erro ao gravar fila local: database or disk is full"));
      EXPECT_TRUE(log.Has("INFO ", "0 itens pendentes para envio."));
      EXPECT_TRUE(log.Has("INFO ", "Ciclo concluido - coletados: " + std::to_string(kDocs + 1) +
                                       " | enviados: 0 | erros: 0"));
    }
    EXPECT_GT(vfs.faults(), 0);
    EXPECT_FALSE(AllDelivered());

    vfs.SetDiskFull(false);
    LogCapture log;
    EXPECT_EQ(Cycle(runner), "");
    EXPECT_TRUE(log.Has("INFO ", "Ciclo concluido - coletados: " + std::to_string(kDocs + 1) +
                                     " | enviados: 3 | erros: 0"));
  }
  EXPECT_TRUE(AllDelivered());
  ExpectQueueIntactAndSent();
}

TEST_F(FaultCycleTest, FailedReadIsLoggedAndTheFileComesNextCycle) {
  for (int n : {1, 3, kDocs}) {
    SCOPED_TRACE("leitura " + std::to_string(n));
    Reset();
    FaultyFileSystem files;
    ConfigScope scope(cfg_);
    {
      TSyncRunner runner(nullptr, &files);
      LogCapture log;
      files.FailRead(n);
      EXPECT_EQ(Cycle(runner), "");
      ASSERT_EQ(files.faults(), 1);
      EXPECT_TRUE(HasPrefix(log, "ERROR", "Erro lendo XML "));
      const std::string got = std::to_string(kDocs - 1);
      EXPECT_TRUE(HasPrefix(
          log, "INFO ",
          "Varredura XML: encontrados=" + std::to_string(kDocs) + " | aceitos=" + got + " |"));
      EXPECT_TRUE(log.Has(
          "INFO ", "Ciclo concluido - coletados: " + got + " | enviados: " + got + " | erros: 0"));
      EXPECT_EQ(Delivered().size(), kDocs - 1u);
      EXPECT_EQ(Cycle(runner), "");
    }
    EXPECT_TRUE(AllDelivered());
    ExpectQueueIntactAndSent();
  }
}

TEST_F(FaultCycleTest, FolderThatFailsToListIsTakenNextCycle) {
  // The first listing is the top folder, the second its first subfolder.
  for (int n : {1, 2}) {
    SCOPED_TRACE("listagem " + std::to_string(n));
    Reset();
    FaultyFileSystem files;
    ConfigScope scope(cfg_);
    {
      TSyncRunner runner(nullptr, &files);
      files.FailList(n);
      EXPECT_EQ(Cycle(runner), "");
      ASSERT_EQ(files.faults(), 1);
      EXPECT_FALSE(AllDelivered());
      EXPECT_EQ(Cycle(runner), "");
    }
    EXPECT_TRUE(AllDelivered());
    ExpectQueueIntactAndSent();
  }
}

TEST_F(FaultCycleTest, QueueHeldByAnotherConnectionAtStart) {
  fs::create_directories(dir_->Path("fila"));
  ConfigScope scope(cfg_);
  {
    OtherConnection other(cfg_.SQLitePath);
    ASSERT_EQ(other.Exec("PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE"), "");
    try {
      TSyncRunner runner;
      ADD_FAILURE() << "criado sobre um arquivo bloqueado";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "database is locked");
    }
  }
  {
    TSyncRunner runner;
    EXPECT_EQ(Cycle(runner), "");
  }
  EXPECT_TRUE(AllDelivered());
  ExpectQueueIntactAndSent();
}

TEST_F(FaultCycleTest, QueueHeldByAnotherConnectionDuringARun) {
  ConfigScope scope(cfg_);
  {
    TSyncRunner runner;
    ASSERT_EQ(Cycle(runner), "");
    // Once the agent has written, nobody else may even read the file.
    OtherConnection reader(cfg_.SQLitePath);
    EXPECT_EQ(reader.Exec("SELECT count(*) FROM sync_xml"), "database is locked");
  }
  {
    // A restarted agent holds the file from its start, before its first
    // batch: no other writer can slip in and make that batch fail.
    TSyncRunner runner;
    OtherConnection writer(cfg_.SQLitePath);
    EXPECT_EQ(writer.Exec("BEGIN IMMEDIATE"), "database is locked");
    WriteDoc(3, 2);
    LogCapture log;
    EXPECT_EQ(Cycle(runner), "");
    EXPECT_FALSE(HasPrefix(log, "ERROR", "Erro ao gravar fila local: "));
  }
  EXPECT_TRUE(AllDelivered());
  ExpectQueueIntactAndSent();
}

TEST_F(FaultCycleTest, LogThatCannotBeWrittenStopsNothing) {
  // A file where the log folder should be: no rights are needed to make
  // that fail, unlike a folder without write permission.
  std::string blocker = dir_->Write("log", "nao e pasta");
  TLogger logger(blocker + "/sinc.log", 20, 30, 10);
  TLogger* previous = GLogger;
  GLogger = &logger;
  ConfigScope scope(cfg_);
  {
    TSyncRunner runner;
    EXPECT_EQ(Cycle(runner), "");
  }
  GLogger = previous;
  EXPECT_TRUE(AllDelivered());
  ExpectQueueIntactAndSent();
  EXPECT_TRUE(fs::is_regular_file(blocker));
}

}  // namespace
}  // namespace lumacor
