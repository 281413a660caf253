// Input no ERP writes but a disk can hold: huge and sparse files named
// .xml, binary garbage, tens of thousands of files, deep trees. Each must
// end in a bounded run with a clear line, and a too large file must not be
// read at all. (Link loops and paths beyond the system's limit are covered
// beside the collector.)
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "collect/FolderXMLCollector.h"
#include "common/Text.h"
#include "testsupport/Fakes.h"
#include "testsupport/FaultyFileSystem.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

namespace fs = std::filesystem;
using testing::ConfigScope;
using testing::FaultyFileSystem;
using testing::LogCapture;
using testing::SetWrittenLongAgo;
using testing::TempDir;

const std::string kKey = "35260512345678000190550010000000011000000011";

std::string NFe(const std::string& padding = "") {
  return "<NFe><infNFe Id=\"NFe" + kKey + "\"><ide><mod>55</mod></ide>" + padding +
         "</infNFe></NFe>";
}

// An NF-e of exactly `size` bytes, padded with a comment.
std::string NFeOfSize(size_t size) {
  std::string base = NFe("<!---->");
  return NFe("<!--" + std::string(size - base.size(), 'x') + "-->");
}

TSincConfig Pasta(const std::string& path, int32_t max_mb = 0) {
  TSincConfig config;
  config.ModoColeta = "pasta";
  config.XMLPaths = path;
  config.XMLRecursive = true;
  config.LogIgnorados = true;
  config.XMLMaxMB = max_mb;
  return config;
}

std::string Resumo(int encontrados, int aceitos, int ignorados, int erros) {
  return Format(
      "Varredura XML: encontrados=%d | aceitos=%d | cancelamentos=0 | "
      "inutilizacoes=0 | ignorados=%d | erros=%d",
      encontrados, aceitos, ignorados, erros);
}

TEST(BadInputTest, FileOverTheLimitIsLoggedWithItsSizeAndNeverRead) {
  TempDir dir;
  dir.Write("ok/nota.xml", NFe());
  {
    // 100 MiB of real content: a document that only its size gives away.
    std::ofstream out(dir.Path("grande.xml"), std::ios::binary);
    out << NFeOfSize(100 << 20);
  }
  {
    std::ofstream(dir.Path("esparso.xml"), std::ios::binary);
    fs::resize_file(dir.Path("esparso.xml"), int64_t{2} << 30);
  }
  SetWrittenLongAgo(dir.Path("grande.xml"));
  SetWrittenLongAgo(dir.Path("esparso.xml"));
  FaultyFileSystem files;
  LogCapture log;
  ConfigScope scope(Pasta(dir.path()));
  TXmlRowArray rows = TFolderXMLCollector(&files).Executar();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].XML, NFe());
  EXPECT_EQ(files.reads(), 1);
  const std::string limite = " bytes, acima do limite de 67108864 bytes (tamanho_maximo_mb)";
  EXPECT_TRUE(log.Has("ERROR", "Erro lendo XML " + dir.Path("grande.xml") + ": arquivo de " +
                                   std::to_string(NFeOfSize(100 << 20).size()) + limite));
  EXPECT_TRUE(log.Has(
      "ERROR", "Erro lendo XML " + dir.Path("esparso.xml") + ": arquivo de 2147483648" + limite));
  EXPECT_TRUE(log.Has("INFO ", Resumo(3, 1, 0, 2)));
}

TEST(BadInputTest, LimitIsInclusiveAndConfigurable) {
  struct Case {
    int32_t max_mb;
    size_t size;
    bool read;
  } cases[] = {
      {1, 1 << 20, true},
      {1, (1 << 20) + 1, false},
      {0, 2 << 20, true},  // 0: the default of 64 MiB
      {-5, 2 << 20, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.max_mb) + " MiB, " + std::to_string(c.size) + " bytes");
    TempDir dir;
    dir.Write("nota.xml", NFeOfSize(c.size));
    LogCapture log;
    ConfigScope scope(Pasta(dir.path(), c.max_mb));
    EXPECT_EQ(TFolderXMLCollector().Executar().size(), c.read ? 1u : 0u);
    EXPECT_TRUE(log.Has("INFO ", Resumo(1, c.read, 0, !c.read)));
  }
}

TEST(BadInputTest, BinaryGarbageNamedXmlIsIgnored) {
  TempDir dir;
  std::mt19937 rng(15);
  std::string garbage(1 << 20, '\0');
  for (char& ch : garbage) ch = static_cast<char>(rng());
  dir.Write("lixo.xml", garbage);
  dir.Write("nota.xml", NFe());
  LogCapture log;
  ConfigScope scope(Pasta(dir.path()));
  EXPECT_EQ(TFolderXMLCollector().Executar().size(), 1u);
  EXPECT_TRUE(log.Has(
      "WARN ", "XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + dir.Path("lixo.xml")));
  EXPECT_TRUE(log.Has("INFO ", Resumo(2, 1, 1, 0)));
}

TEST(BadInputTest, FiftyThousandTinyFiles) {
  TempDir dir;
  fs::create_directories(dir.Path("muitos"));
  for (int n = 0; n < 50000; ++n) {
    std::ofstream(dir.Path("muitos/" + std::to_string(n) + ".xml"), std::ios::binary) << "<a/>";
  }
  dir.Write("nota.xml", NFe());
  TSincConfig config = Pasta(dir.path());
  config.LogIgnorados = false;  // 50,000 warnings would be the log's problem
  LogCapture log;
  ConfigScope scope(config);
  // Scanned a minute on: every file has settled.
  testing::FakeClock later(std::chrono::system_clock::now() + std::chrono::minutes(1));
  EXPECT_EQ(TFolderXMLCollector(FileSystem::Default(), &later).Executar().size(), 1u);
  EXPECT_TRUE(log.Has("INFO ", Resumo(50001, 1, 50000, 0)));
}

TEST(BadInputTest, DeepTree) {
  TempDir dir;
  std::string deep = "fundo";
  for (int level = 0; level < 100; ++level) deep += "/d";
  dir.Write(deep + "/nota.xml", NFe());
  LogCapture log;
  ConfigScope scope(Pasta(dir.path()));
  TXmlRowArray rows = TFolderXMLCollector().Executar();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].ChaveUnica, kKey);
  EXPECT_TRUE(log.Has("INFO ", Resumo(1, 1, 0, 0)));
}

}  // namespace
}  // namespace lumacor
