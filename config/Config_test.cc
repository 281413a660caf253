#include "config/Config.h"

#include <gtest/gtest.h>

#include "common/Text.h"
#include "testsupport/Fakes.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

using testing::FakeProcess;
using testing::LogCapture;
using testing::TempDir;

// An executable folder and a ProgramData folder inside one temp folder.
class ConfigTest : public ::testing::Test {
 protected:
  ConfigTest() {
    process_.exe_path = dir_.Path("bin/lumacor-relay");
    process_.env["ProgramData"] = dir_.Path("pd");
    dir_.Write("bin/.keep", "");
  }

  std::string BinIni(const std::string& text) { return dir_.Write("bin/Marlux.ini", text); }
  std::string DataIni(const std::string& text) { return dir_.Write("pd/Lumacor/Marlux.ini", text); }
  TSincConfig Load() { return TConfigManager(&process_, FileSystem::Default()).Config(); }

  TempDir dir_;
  FakeProcess process_;
};

TEST_F(ConfigTest, EveryKeyReadFromPreferredSection) {
  BinIni(
      "[API]\ncnpj=12345678000190\ntoken_contador=tok\nendpoint_contador=https://p/api\n"
      "[Database]\nSGBD=postgresql\nServer=db.local\nPorta=5432\nDatabase=erp\nUser=u\n"
      "Pass=p\nVendorLib=/opt/libpq.so\n"
      "[COLETA]\nsql_file=/etc/coleta.sql\nmodo=pasta\nsql=select 1\nintervalo_segundos=15\n"
      "max_tentativas=3\nenviar_homologacao=1\nverificar_lacunas=0\nlacunas_atraso_dias=3\n"
      "[XML]\npaths=/a;/b\nrecursive=0\ntamanho_maximo_mb=2\n"
      "[LOG]\npath=/var/log/l.log\nmax_mb=2\nretencao_dias=7\nmax_backups=4\nlog_ignorados=1\n"
      "[FILA]\nsqlite_path=/var/q.db\n");
  TSincConfig c = Load();
  EXPECT_EQ(c.CNPJ, "12345678000190");
  EXPECT_EQ(c.TokenEmpresa, "tok");
  EXPECT_EQ(c.EndpointAPI, "https://p/api");
  EXPECT_EQ(c.DBType, "postgresql");
  EXPECT_EQ(c.DBHost, "db.local");
  EXPECT_EQ(c.DBPort, 5432);
  EXPECT_EQ(c.DBName, "erp");
  EXPECT_EQ(c.DBUser, "u");
  EXPECT_EQ(c.DBPass, "p");
  EXPECT_EQ(c.DBClientPath, "/opt/libpq.so");
  EXPECT_EQ(c.SQLFile, "/etc/coleta.sql");
  EXPECT_EQ(c.ModoColeta, "pasta");
  EXPECT_EQ(c.XMLPaths, "/a;/b");
  EXPECT_FALSE(c.XMLRecursive);
  EXPECT_EQ(c.SQLColeta, "select 1");
  EXPECT_EQ(c.IntervaloSegundos, 15);
  EXPECT_EQ(c.MaxTentativas, 3);
  EXPECT_EQ(c.LogPath, "/var/log/l.log");
  EXPECT_EQ(c.SQLitePath, "/var/q.db");
  EXPECT_EQ(c.LogMaxMB, 2);
  EXPECT_EQ(c.LogRetencaoDias, 7);
  EXPECT_EQ(c.LogMaxBackups, 4);
  EXPECT_TRUE(c.LogIgnorados);
  EXPECT_TRUE(c.EnviarHomologacao);
  EXPECT_EQ(c.XMLMaxMB, 2);
  EXPECT_FALSE(c.VerificarLacunas);
  EXPECT_EQ(c.LacunasAtrasoDias, 3);
}

TEST_F(ConfigTest, FallbackKeys) {
  BinIni(
      "[empresa]\ncnpj=1\ntoken=t\nendpoint_api=http://e\n"
      "[banco]\ntipo=mysql\nhost=h\nporta=3306\nnome=n\nusuario=u\nsenha=s\nclient_path=/c\n"
      "[interno]\nlog_path=/l/x.log\nsqlite_path=/q/x.db\n");
  TSincConfig c = Load();
  EXPECT_EQ(c.CNPJ, "1");
  EXPECT_EQ(c.TokenEmpresa, "t");
  EXPECT_EQ(c.EndpointAPI, "http://e");
  EXPECT_EQ(c.DBType, "mysql");
  EXPECT_EQ(c.DBHost, "h");
  EXPECT_EQ(c.DBPort, 3306);
  EXPECT_EQ(c.DBName, "n");
  EXPECT_EQ(c.DBUser, "u");
  EXPECT_EQ(c.DBPass, "s");
  EXPECT_EQ(c.DBClientPath, "/c");
  EXPECT_EQ(c.LogPath, "/l/x.log");
  EXPECT_EQ(c.SQLitePath, "/q/x.db");
}

TEST_F(ConfigTest, EmptyPreferredKeyHidesFallbackButInvalidNumberDoesNot) {
  BinIni(
      "[API]\ncnpj=\n[empresa]\ncnpj=999\n"
      "[Database]\nPorta=abc\n[banco]\nporta=0x0BEA\n"
      "[LOG]\npath=\n[interno]\nlog_path=/l/x.log\n");
  TSincConfig c = Load();
  EXPECT_EQ(c.CNPJ, "");
  EXPECT_EQ(c.DBPort, 3050);
  EXPECT_EQ(c.LogPath, "");
}

TEST_F(ConfigTest, EmptyFileGivesPresentFileDefaults) {
  BinIni("");
  TSincConfig c = Load();
  EXPECT_EQ(c.EndpointAPI, "http://localhost:8000/api");
  EXPECT_EQ(c.DBType, "firebird");
  EXPECT_EQ(c.DBHost, "127.0.0.1");
  EXPECT_EQ(c.DBPort, 3050);
  EXPECT_EQ(c.ModoColeta, "banco");
  EXPECT_TRUE(c.XMLRecursive);
  EXPECT_FALSE(c.LogIgnorados);
  EXPECT_FALSE(c.EnviarHomologacao);
  EXPECT_EQ(c.IntervaloSegundos, 60);
  EXPECT_EQ(c.MaxTentativas, 5);
  EXPECT_EQ(c.LogMaxMB, 20);
  EXPECT_EQ(c.LogRetencaoDias, 30);
  EXPECT_EQ(c.LogMaxBackups, 10);
  EXPECT_EQ(c.XMLMaxMB, 64);
  EXPECT_TRUE(c.VerificarLacunas);
  EXPECT_EQ(c.LacunasAtrasoDias, 0);
  EXPECT_EQ(c.LogPath, dir_.Path("pd/Lumacor/logs/sinc.log"));
  EXPECT_EQ(c.SQLitePath, dir_.Path("pd/Lumacor/config/queue.db"));
}

TEST_F(ConfigTest, MissingFileGivesReducedDefaults) {
  TConfigManager m(&process_, FileSystem::Default());
  TSincConfig c = m.Config();
  EXPECT_EQ(m.IniPath(), dir_.Path("pd/Lumacor/Marlux.ini"));
  EXPECT_EQ(c.EndpointAPI, "");
  EXPECT_EQ(c.DBType, "");
  EXPECT_EQ(c.DBHost, "");
  EXPECT_EQ(c.DBPort, 0);
  EXPECT_EQ(c.ModoColeta, "");
  EXPECT_FALSE(c.XMLRecursive);
  EXPECT_EQ(c.IntervaloSegundos, 60);
  EXPECT_EQ(c.MaxTentativas, 5);
  EXPECT_EQ(c.LogMaxMB, 20);
  EXPECT_EQ(c.LogRetencaoDias, 30);
  EXPECT_EQ(c.LogMaxBackups, 10);
  EXPECT_EQ(c.LogPath, dir_.Path("pd/Lumacor/logs/sinc.log"));
  EXPECT_EQ(c.SQLitePath, dir_.Path("pd/Lumacor/config/queue.db"));
  EXPECT_FALSE(m.IsValid());
}

TEST_F(ConfigTest, FlagsAreIntegers) {
  struct Case {
    const char* value;
    bool want;
  } cases[] = {{"0", false}, {"1", true}, {"-5", true}, {"false", true}, {"yes", true}};
  for (const auto& c : cases) {
    BinIni(std::string("[XML]\nrecursive=") + c.value + "\n");
    EXPECT_EQ(Load().XMLRecursive, c.want) << c.value;
  }
}

// Existing installs have no such key: they keep taking SQL Server's
// certificate unchecked.
TEST_F(ConfigTest, ConfiarCertificadoIsOnUnlessTurnedOff) {
  EXPECT_TRUE(Load().DBConfiarCertificado);  // no file
  struct Case {
    const char* ini;
    bool want;
  } cases[] = {{"", true},
               {"[banco]\nconfiar_certificado=1\n", true},
               {"[banco]\nconfiar_certificado=0\n", false},
               {"[Database]\nconfiar_certificado=0\n", true}};
  for (const auto& c : cases) {
    BinIni(c.ini);
    EXPECT_EQ(Load().DBConfiarCertificado, c.want) << c.ini;
  }
}

TEST_F(ConfigTest, IniLocation) {
  // Only in the data folder: relative paths resolve there.
  DataIni("[LOG]\npath=logs\\agent.log\n");
  EXPECT_EQ(Load().LogPath, dir_.Path("pd/Lumacor/logs/agent.log"));
  // Beside the executable wins; defaults stay under the data folder.
  BinIni("[LOG]\npath=..\\up.log\n");
  TSincConfig c = Load();
  EXPECT_EQ(c.LogPath, dir_.Path("up.log"));
  EXPECT_EQ(c.SQLitePath, dir_.Path("pd/Lumacor/config/queue.db"));
  // Without ProgramData the data folder is the executable folder.
  process_.env.erase("ProgramData");
  BinIni("");
  EXPECT_EQ(Load().SQLitePath, dir_.Path("bin/config/queue.db"));
}

TEST_F(ConfigTest, ResolvePath) {
  struct Case {
    std::string value;
    std::string want;  // empty with `error` set means it raises
    const char* error;
  } cases[] = {
      {"sub/./a.log", dir_.Path("bin/sub/a.log"), nullptr},
      {"..\\x.db", dir_.Path("x.db"), nullptr},
      {"/abs/../kept.log", "/abs/../kept.log", nullptr},  // rooted: unchanged
      {"C:\\logs\\sinc.log", "C:\\logs\\sinc.log", nullptr},
      {"   ", "", nullptr},
      {"bad|name.log", "", "Invalid characters in path"},
      {"a\"b.log", "", "Invalid characters in path"},
  };
  for (const auto& c : cases) {
    BinIni("[FILA]\nsqlite_path=" + c.value + "\n");
    if (c.error) {
      try {
        Load();
        ADD_FAILURE() << "no error for " << c.value.substr(0, 40);
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    } else {
      EXPECT_EQ(Load().SQLitePath, c.want) << c.value;
    }
  }
}

TEST_F(ConfigTest, JoinedPathAtThePlatformLimitIsTooLong) {
  // A value is cut at 2047 characters, so only a deep configuration folder
  // can reach PATH_MAX here.
  std::string deep = "bin";
  for (int i = 0; i < 10; ++i) deep += "/" + std::string(220, 'd');
  process_.exe_path = dir_.Path(deep + "/lumacor-relay");
  dir_.Write(deep + "/Marlux.ini", "[FILA]\nsqlite_path=" + std::string(2047, 'q') + "\n");
  try {
    Load();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The specified path is too long");
  }
}

TEST(ConfigIsValidTest, BothModes) {
  TSincConfig base;
  base.CNPJ = "1";
  base.TokenEmpresa = "t";
  base.EndpointAPI = "http://x";
  struct Case {
    const char* name;
    void (*edit)(TSincConfig&);
    bool want;
  } cases[] = {
      {"folder mode with paths",
       [](TSincConfig& c) {
         c.ModoColeta = "PASTA";
         c.XMLPaths = "/x";
       },
       true},
      {"folder mode blank paths",
       [](TSincConfig& c) {
         c.ModoColeta = "pasta";
         c.XMLPaths = " \t";
       },
       false},
      {"padded mode is database",
       [](TSincConfig& c) {
         c.ModoColeta = "pasta ";
         c.XMLPaths = "/x";
       },
       false},
      {"database with sql",
       [](TSincConfig& c) {
         c.DBName = "erp";
         c.SQLColeta = "select 1";
       },
       true},
      {"database without name", [](TSincConfig& c) { c.SQLColeta = "select 1"; }, false},
      {"database without sql", [](TSincConfig& c) { c.DBName = "erp"; }, false},
      {"no cnpj",
       [](TSincConfig& c) {
         c.CNPJ.clear();
         c.ModoColeta = "pasta";
         c.XMLPaths = "/x";
       },
       false},
      {"no token",
       [](TSincConfig& c) {
         c.TokenEmpresa.clear();
         c.ModoColeta = "pasta";
         c.XMLPaths = "/x";
       },
       false},
      {"no endpoint",
       [](TSincConfig& c) {
         c.EndpointAPI.clear();
         c.ModoColeta = "pasta";
         c.XMLPaths = "/x";
       },
       false},
  };
  for (const auto& c : cases) {
    TSincConfig cfg = base;
    c.edit(cfg);
    TConfigManager m(cfg, "");
    EXPECT_EQ(m.IsValid(), c.want) << c.name;
  }
}

TEST(ConfigGetSQLTest, FileRules) {
  TempDir dir;
  LogCapture log;
  TSincConfig cfg;
  cfg.SQLColeta = "  select inline  ";
  auto sql_with_file = [&](const std::string* bytes) {
    cfg.SQLFile = " " + dir.Path("c.sql") + " ";
    if (bytes) dir.Write("c.sql", *bytes);
    TConfigManager m(cfg, "");
    return m.GetSQL();
  };
  std::string bom = "\xEF\xBB\xBF  select 'n\xC3\xA3o'\r\n";
  EXPECT_EQ(sql_with_file(&bom), "select 'n\xC3\xA3o'");
  std::string empty;
  EXPECT_EQ(sql_with_file(&empty), "");
  std::string latin1 = "select 'n\xE3o'";
  try {
    sql_with_file(&latin1);
    ADD_FAILURE() << "invalid UTF-8 accepted";
  } catch (const EncodingError& e) {
    EXPECT_STREQ(e.what(), kNoMappingMessage);
  }
  std::remove(dir.Path("c.sql").c_str());
  EXPECT_EQ(sql_with_file(nullptr), "  select inline  ");
  EXPECT_TRUE(
      log.Has("WARN ", "sql_file nao encontrado: " + dir.Path("c.sql") + ". Usando sql= inline."));
  cfg.SQLFile = "  ";
  EXPECT_EQ(TConfigManager(cfg, "").GetSQL(), "  select inline  ");
}

}  // namespace
}  // namespace lumacor
