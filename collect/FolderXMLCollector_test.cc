#include "collect/FolderXMLCollector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "collect/NFeValidator.h"
#include "common/Text.h"
#include "queue/HashService.h"
#include "testsupport/FiscalFixtures.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

namespace stdfs = std::filesystem;
using testing::ConfigScope;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LogCapture;
using testing::TempDir;
using ::testing::UnorderedElementsAre;

// A distinct made-up 44-digit key per `n`.
std::string Key(int n) { return Format("352401112223330001815500100000%04d1%09d", n, n); }

std::string Doc(int n, const std::string& extra = "") {
  return "<NFe><infNFe Id=\"NFe" + Key(n) + "\"><ide><mod>55</mod></ide>" + extra +
         "</infNFe></NFe>";
}

std::string Fixture(const std::string& name) {
  return testing::ReadFileBytes(std::string(LUMACOR_SOURCE_DIR) + "/collect/testdata/" + name);
}

std::string Resumo(int encontrados, int aceitos, int cancelamentos, int inutilizacoes,
                   int ignorados, int erros) {
  return Format(
      "Varredura XML: encontrados=%d | aceitos=%d | cancelamentos=%d | "
      "inutilizacoes=%d | ignorados=%d | erros=%d",
      encontrados, aceitos, cancelamentos, inutilizacoes, ignorados, erros);
}

TSincConfig Pastas(const std::string& paths, bool recursive = false, bool log_ignorados = true) {
  TSincConfig config;
  config.ModoColeta = "pasta";
  config.XMLPaths = paths;
  config.XMLRecursive = recursive;
  config.LogIgnorados = log_ignorados;
  return config;
}

TXmlRowArray Coletar(const TSincConfig& config, FileSystem* fs = FileSystem::Default()) {
  ConfigScope scope(config);
  TFolderXMLCollector collector(fs);
  return collector.Executar();
}

// `rel` with each "/" as the platform's separator, as the collector writes
// the paths it names.
std::string Native(std::string rel) {
  std::replace(rel.begin(), rel.end(), '/', FileSystem::Default()->Separator());
  return rel;
}

// Creates a symbolic link; false where the system does not let this
// process make one (Windows without the privilege, Wine).
bool TryLink(const std::string& target, const std::string& link, bool directory) {
  std::error_code ec;
  if (directory) {
    stdfs::create_directory_symlink(target, link, ec);
  } else {
    stdfs::create_symlink(target, link, ec);
  }
  return !ec;
}

std::vector<std::string> Keys(const TXmlRowArray& rows) {
  std::vector<std::string> out;
  for (const auto& row : rows) out.push_back(row.ChaveUnica);
  return out;
}

// Passes every call to the real file system; tests replace single calls.
class WrappedFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& p) override { return real_->FileExists(p); }
  bool DirectoryExists(const std::string& p) override { return real_->DirectoryExists(p); }
  bool Stat(const std::string& p, FileInfo* info) override { return real_->Stat(p, info); }
  void CreateDirectories(const std::string& p) override { real_->CreateDirectories(p); }
  std::vector<DirEntry> ListDirectory(const std::string& p) override {
    auto entries = real_->ListDirectory(p);
    if (list_hook) list_hook(p, &entries);
    return entries;
  }
  std::string ReadFile(const std::string& p) override {
    reads[p]++;
    if (read_hook) read_hook(p, reads[p]);
    return real_->ReadFile(p);
  }
  std::unique_ptr<AppendFile> OpenAppend(const std::string& p) override {
    return real_->OpenAppend(p);
  }
  void CreatePrivateFile(const std::string& p) override { real_->CreatePrivateFile(p); }
  void WriteFileReplace(const std::string& p, const std::string& bytes) override {
    real_->WriteFileReplace(p, bytes);
  }
  void RenameNoReplace(const std::string& f, const std::string& t) override {
    real_->RenameNoReplace(f, t);
  }
  void DeleteFile(const std::string& p) override { real_->DeleteFile(p); }
  std::string FullPath(const std::string& p) override { return real_->FullPath(p); }
  size_t MaxPath() const override { return real_->MaxPath(); }
  char Separator() const override { return real_->Separator(); }

  // May reorder the entries or raise.
  std::function<void(const std::string&, std::vector<DirEntry>*)> list_hook;
  // Called before each read with the count of reads of that path so far.
  std::function<void(const std::string&, int)> read_hook;
  std::map<std::string, int> reads;

 private:
  FileSystem* real_ = FileSystem::Default();
};

TEST(FolderXMLCollectorTest, ListsXmlFilesByNameAtTheConfiguredDepth) {
  TempDir dir;
  dir.Write("a.xml", Doc(1));
  dir.Write("B.XML", Doc(2));
  dir.Write("c.XmL", Doc(3));
  dir.Write(".oculto.xml", Doc(4));
  dir.Write(".xml", Doc(5));
  dir.Write("d.xml.bak", Doc(90));
  dir.Write("e.xmlx", Doc(91));
  dir.Write("f.txt", Doc(92));
  dir.Write("xml", Doc(93));
  dir.Write("pasta.xml/g.xml", Doc(6));
  dir.Write("sub/h.xml", Doc(7));
  dir.Write("sub/mais/fundo/i.XML", Doc(8));
  stdfs::create_directory(dir.Path("vazia.xml"));

  {
    LogCapture log;
    EXPECT_THAT(Keys(Coletar(Pastas(dir.path(), false))),
                UnorderedElementsAre(Key(1), Key(2), Key(3), Key(4), Key(5)));
    EXPECT_THAT(log.Messages(), ElementsAre("INFO |" + Resumo(5, 5, 0, 0, 0, 0)));
  }
  {
    LogCapture log;
    EXPECT_THAT(
        Keys(Coletar(Pastas(dir.path(), true))),
        UnorderedElementsAre(Key(1), Key(2), Key(3), Key(4), Key(5), Key(6), Key(7), Key(8)));
    EXPECT_THAT(log.Messages(), ElementsAre("INFO |" + Resumo(8, 8, 0, 0, 0, 0)));
  }
}

TEST(FolderXMLCollectorTest, FollowsTheListingOrderDepthFirst) {
  TempDir dir;
  dir.Write("a.xml", Doc(1));
  dir.Write("m/b.xml", Doc(2));
  dir.Write("m/n/c.xml", Doc(3));
  dir.Write("m/d.xml", Doc(4));
  dir.Write("z.xml", Doc(5));

  WrappedFileSystem fs;
  auto by_name = [](bool ascending) {
    return [ascending](const std::string&, std::vector<DirEntry>* entries) {
      std::sort(entries->begin(), entries->end(), [&](const DirEntry& x, const DirEntry& y) {
        return ascending ? x.name < y.name : x.name > y.name;
      });
    };
  };
  LogCapture log;
  fs.list_hook = by_name(true);
  EXPECT_THAT(Keys(Coletar(Pastas(dir.path(), true), &fs)),
              ElementsAre(Key(1), Key(2), Key(4), Key(3), Key(5)));
  fs.list_hook = by_name(false);
  EXPECT_THAT(Keys(Coletar(Pastas(dir.path(), true), &fs)),
              ElementsAre(Key(5), Key(3), Key(4), Key(2), Key(1)));
}

// Restores the working folder on exit.
class CwdScope {
 public:
  explicit CwdScope(const std::string& path) : saved_(stdfs::current_path()) {
    stdfs::current_path(path);
  }
  ~CwdScope() { stdfs::current_path(saved_); }

 private:
  stdfs::path saved_;
};

TEST(FolderXMLCollectorTest, NamesFilesFromTheTrimmedFolderAsGiven) {
  TempDir dir;
  dir.Write("docs/x.xml", "<outro/>");
  dir.Write("docs/sub/y.xml", "<outro/>");

  const char sep = FileSystem::Default()->Separator();
  for (const std::string& folder : {dir.Path("docs"), dir.Path("docs") + sep}) {
    SCOPED_TRACE(folder);
    LogCapture log;
    Coletar(Pastas(" \t" + folder + "\r\n ", true));
    const std::string base = dir.Path("docs") + sep;
    EXPECT_THAT(
        log.Messages(),
        UnorderedElementsAre(
            "WARN |XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + base + "x.xml",
            "WARN |XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + base +
                Native("sub/y.xml"),
            "INFO |" + Resumo(2, 0, 0, 0, 2, 0)));
  }

  // A relative folder stays relative in the messages.
  LogCapture log;
  CwdScope cwd(dir.path());
  Coletar(Pastas("docs;ausente"));
  EXPECT_THAT(
      log.Messages(),
      ElementsAre(
          "WARN |XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + Native("docs/x.xml"),
          "WARN |Pasta XML nao encontrada: ausente", "INFO |" + Resumo(1, 0, 0, 0, 1, 0)));
}

TEST(FolderXMLCollectorTest, SplitsPathsAndWarnsOfMissingFolders) {
  TempDir dir;
  dir.Write("um/a.xml", Doc(1));
  dir.Write("dois/b.xml", Doc(2));
  const std::string arquivo = dir.Write("arquivo", "");

  LogCapture log;
  TXmlRowArray rows =
      Coletar(Pastas(" ;\t;" + dir.Path("um") + " ; " + dir.Path("nao existe") + "  ;;" + arquivo +
                     ";" + dir.Path("dois") + ";" + dir.Path("um")));
  // The same folder named twice is scanned twice.
  EXPECT_THAT(Keys(rows), ElementsAre(Key(1), Key(2), Key(1)));
  EXPECT_THAT(log.Messages(),
              ElementsAre("WARN |Pasta XML nao encontrada: " + dir.Path("nao existe"),
                          "WARN |Pasta XML nao encontrada: " + arquivo,
                          "INFO |" + Resumo(3, 3, 0, 0, 0, 0)));

  for (const std::string& vazio : {std::string(), std::string(" ; ;\t\r\n;")}) {
    LogCapture log2;
    EXPECT_THAT(Coletar(Pastas(vazio)), IsEmpty());
    EXPECT_THAT(log2.Messages(), ElementsAre("INFO |" + Resumo(0, 0, 0, 0, 0, 0)));
  }
}

// `utf8` as UTF-16 bytes behind their byte-order mark.
std::string Utf16WithMark(const std::string& utf8, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : Utf8ToUtf16(utf8)) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += big_endian ? hi : lo;
    out += big_endian ? lo : hi;
  }
  return out;
}

TEST(FolderXMLCollectorTest, DecodesUtf8WithOrWithoutBomElseAnsi) {
  const std::string bom(kUtf8Bom);
  const std::string utf8 = Doc(1, "<xNome>S\xC3\xA3o Jo\xC3\xA3o</xNome>");
  struct Case {
    const char* name;
    std::string bytes;
    std::string text;
  } cases[] = {
      {"utf8", utf8, utf8},
      {"utf8_com_bom", bom + utf8, utf8},
      {"cp1252", Doc(1, "<xNome>S\xE3o Jo\xE3o</xNome>"), utf8},
      // Only a valid whole is UTF-8: the mark then decodes as three letters.
      {"bom_e_byte_invalido", bom + Doc(1, "<x>\xE7</x>"),
       "\xC3\xAF\xC2\xBB\xC2\xBF" + Doc(1, "<x>\xC3\xA7</x>")},
      {"cp1252_indefinido", Doc(1, "<x>\x81\x80</x>"), Doc(1, "<x>\xC2\x81\xE2\x82\xAC</x>")},
      {"fixture_bom", Fixture("nfe_bom.xml"), Fixture("nfe_bom.xml").substr(3)},
      // A UTF-16 mark chooses UTF-16; the mark is not part of the text.
      {"utf16le", Utf16WithMark(utf8, false), utf8},
      {"utf16be", Utf16WithMark(utf8, true), utf8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.Write("doc.xml", c.bytes);
    LogCapture log;
    TXmlRowArray rows = Coletar(Pastas(dir.path()));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].XML, c.text);
  }

  TempDir dir;
  dir.Write("doc.xml", Fixture("nfe_cp1252.xml"));
  TXmlRowArray rows = Coletar(Pastas(dir.path()));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_THAT(rows[0].XML, ::testing::HasSubstr("A\xC3\x87OUGUE CORA\xC3\x87\xC3\x83O LTDA"));
  EXPECT_EQ(rows[0].ChaveUnica, "35240111222333000181550010000002011200000014");
}

TEST(FolderXMLCollectorTest, CountsAndLogsEveryOutcome) {
  TempDir dir;
  const std::string nfe = dir.Write("1-nfe.xml", Fixture("nfe_proc.xml"));
  const std::string canc = dir.Write("2-canc.xml", Fixture("cancelamento.xml"));
  const std::string inut = dir.Write("3-inut.xml", Fixture("inutilizacao_proc.xml"));
  const std::string outro = dir.Write("4-outro.xml", Fixture("nao_fiscal.xml"));
  const std::string sem_chave = dir.Write("5-sem-chave.xml", "<NFe><mod>65</mod></NFe>");
  const std::string vazio = dir.Write("6-vazio.xml", "");
  const std::string quebrado = dir.Path("7-quebrado.xml");
  WrappedFileSystem fs;
  if (!TryLink(dir.Path("nada"), quebrado, false)) {
    // No links here: a file whose read fails stands in for the dangling one.
    dir.Write("7-quebrado.xml", Doc(1));
    fs.read_hook = [&](const std::string& p, int) {
      if (p == quebrado) throw PlatformError("open '" + p + "': sem permissao");
    };
  }
  const std::string chave = "35240111222333000181550010000001231123456789";
  const std::string inut_id = "INUT-35241122233300018155001000000100000000110";

  for (bool log_ignorados : {true, false}) {
    SCOPED_TRACE(log_ignorados);
    LogCapture log;
    TXmlRowArray rows = Coletar(Pastas(dir.path(), false, log_ignorados), &fs);
    std::vector<std::string> keys = Keys(rows);
    std::sort(keys.begin(), keys.end());
    EXPECT_THAT(keys, ElementsAre(chave, chave, inut_id));
    for (const auto& row : rows) {
      if (row.ChaveUnica == inut_id) {
        EXPECT_EQ(row.XML, Fixture("inutilizacao_proc.xml"));
      }
    }

    std::vector<std::string> expected = {
        "INFO |Evento de cancelamento detectado: " + chave + " | " + canc,
        "INFO |Inutilizacao detectada: " + inut_id + " | " + inut,
        "INFO |" + Resumo(7, 3, 1, 1, 3, 1),
    };
    if (log_ignorados) {
      expected.push_back("WARN |XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + outro);
      expected.push_back("WARN |XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + vazio);
      expected.push_back("WARN |XML fiscal sem chave/identificador encontrado: " + sem_chave);
    }
    std::vector<std::string> messages = log.Messages();
    // The unreadable file's line carries the system's reason after the path.
    const std::string erro = "ERROR|Erro lendo XML " + quebrado + ": ";
    auto it = std::find_if(messages.begin(), messages.end(), [&](const std::string& m) {
      return m.rfind(erro, 0) == 0 && m.size() > erro.size();
    });
    ASSERT_NE(it, messages.end());
    messages.erase(it);
    EXPECT_THAT(messages, ::testing::UnorderedElementsAreArray(expected));
    // The summary closes the run.
    EXPECT_EQ(log.Messages().back(), "INFO |" + Resumo(7, 3, 1, 1, 3, 1));
  }
}

TEST(FolderXMLCollectorTest, AlphanumericDocumentsAndTestEnvironment) {
  using testing::FiscalFixture;
  TempDir dir;
  std::map<std::string, const FiscalFixture*> por_caminho;
  for (const FiscalFixture& f : testing::FiscalFixtures()) {
    por_caminho[dir.Write(f.arquivo, Fixture(f.arquivo))] = &f;
  }
  for (bool enviar_homologacao : {false, true}) {
    for (bool log_ignorados : {true, false}) {
      SCOPED_TRACE(std::string(enviar_homologacao ? "enviar" : "ignorar") + " homologacao, " +
                   (log_ignorados ? "com" : "sem") + " log de ignorados");
      TSincConfig config = Pastas(dir.path(), false, log_ignorados);
      config.EnviarHomologacao = enviar_homologacao;
      LogCapture log;
      TXmlRowArray rows = Coletar(config);

      std::vector<std::string> got, want, lines;
      for (const auto& row : rows) {
        got.push_back(row.ChaveUnica + "|" + row.XML);
        // What the queue takes from the row instead of classifying again.
        EXPECT_EQ(row.Hash, THashService::SHA256(row.XML)) << row.Arquivo;
        EXPECT_EQ(row.Prioridade, TNFeValidator::GetPrioridadeFila(row.XML)) << row.Arquivo;
        EXPECT_EQ(row.Forca, TNFeValidator::GetForcaCopia(row.XML)) << row.Arquivo;
        EXPECT_EQ(por_caminho.count(row.Arquivo), 1u) << row.Arquivo;
      }
      int cancelamentos = 0, inutilizacoes = 0, ignorados = 0;
      for (const auto& [caminho, f] : por_caminho) {
        if (f->homologacao && !enviar_homologacao) {
          ignorados++;
          if (log_ignorados) lines.push_back("WARN |XML de homologacao ignorado: " + caminho);
          continue;
        }
        want.push_back(f->chave + "|" + Fixture(f->arquivo));
        if (f->tipo == FiscalFixture::kCancelamento) {
          cancelamentos++;
          lines.push_back("INFO |Evento de cancelamento detectado: " + f->chave + " | " + caminho);
        } else if (f->tipo == FiscalFixture::kInutilizacao) {
          inutilizacoes++;
          lines.push_back("INFO |Inutilizacao detectada: " + f->chave + " | " + caminho);
        }
      }
      const int n = static_cast<int>(por_caminho.size());
      lines.push_back("INFO |" +
                      Resumo(n, n - ignorados, cancelamentos, inutilizacoes, ignorados, 0));
      EXPECT_THAT(got, ::testing::UnorderedElementsAreArray(want));
      EXPECT_THAT(log.Messages(), ::testing::UnorderedElementsAreArray(lines));
    }
  }
}

TEST(FolderXMLCollectorTest, FileChangingWhileReadIsAnErrorUntilItSettles) {
  TempDir dir;
  const std::string utf8 = Doc(1, "<xNome>S\xC3\xA3o</xNome>");
  const std::string path = dir.Write("a.xml", utf8);

  // The first read sees the file change under it; a second read would find
  // it whole, but must not be decoded as anything but UTF-8.
  WrappedFileSystem fs;
  fs.read_hook = [&](const std::string& p, int count) {
    if (p == path && count == 1) {
      throw PlatformError("arquivo em gravacao por outro programa: '" + p + "'");
    }
  };
  {
    LogCapture log;
    EXPECT_THAT(Coletar(Pastas(dir.path()), &fs), IsEmpty());
    EXPECT_THAT(log.Messages(),
                ElementsAre("ERROR|Erro lendo XML " + path +
                                ": arquivo em gravacao por outro programa: '" + path + "'",
                            "INFO |" + Resumo(1, 0, 0, 0, 0, 1)));
  }
  // Next run: the file has settled and is read normally.
  LogCapture log;
  TXmlRowArray rows = Coletar(Pastas(dir.path()), &fs);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].XML, utf8);
  EXPECT_THAT(log.Messages(), ElementsAre("INFO |" + Resumo(1, 1, 0, 0, 0, 0)));
}

TEST(FolderXMLCollectorTest, AnsiFallbackReadsTheFileAgain) {
  TempDir dir;
  const std::string path = dir.Write("a.xml", Doc(1, "<x>\xE7</x>"));
  WrappedFileSystem fs;
  // The second read fails: that error is the file's.
  fs.read_hook = [&](const std::string& p, int count) {
    if (count == 2) throw PlatformError("open '" + p + "': Permission denied");
  };
  LogCapture log;
  EXPECT_THAT(Coletar(Pastas(dir.path()), &fs), IsEmpty());
  EXPECT_EQ(fs.reads[path], 2);
  EXPECT_TRUE(
      log.Has("ERROR", "Erro lendo XML " + path + ": open '" + path + "': Permission denied"));
}

TEST(FolderXMLCollectorTest, EntersAFolderReachedTwiceThroughLinksOnce) {
  TempDir dir;
  dir.Write("raiz/a.xml", Doc(1));
  dir.Write("raiz/sub/b.xml", Doc(2));
  dir.Write("fora/c.xml", Doc(3));
  if (!TryLink(dir.Path("raiz"), dir.Path("raiz/sub/volta"), true)) {
    GTEST_SKIP() << "este sistema nao deixa criar links simbolicos";
  }
  ASSERT_TRUE(TryLink(dir.Path("raiz/sub"), dir.Path("raiz/atalho"), true));
  ASSERT_TRUE(TryLink(dir.Path("fora"), dir.Path("raiz/link.xml"), true));

  LogCapture log;
  // A link to a folder is a folder: entered, never read as a file.
  EXPECT_THAT(Keys(Coletar(Pastas(dir.Path("raiz"), true))),
              UnorderedElementsAre(Key(1), Key(2), Key(3)));
  EXPECT_THAT(log.Messages(), ElementsAre("INFO |" + Resumo(3, 3, 0, 0, 0, 0)));

  // Each named folder is walked on its own, so naming one twice still
  // counts twice.
  LogCapture log2;
  EXPECT_EQ(Coletar(Pastas(dir.Path("raiz") + ";" + dir.Path("raiz"), true)).size(), 6u);
}

TEST(FolderXMLCollectorTest, FolderThatCannotBeListedAddsNothingSilently) {
  TempDir dir;
  dir.Write("a.xml", Doc(1));
  dir.Write("fechada/b.xml", Doc(2));
  dir.Write("z/c.xml", Doc(3));
  WrappedFileSystem fs;
  fs.list_hook = [&](const std::string& p, std::vector<DirEntry>*) {
    if (p == dir.Path("fechada")) throw PlatformError("opendir '" + p + "': Permission denied");
  };
  LogCapture log;
  EXPECT_THAT(Keys(Coletar(Pastas(dir.path(), true), &fs)), UnorderedElementsAre(Key(1), Key(3)));
  EXPECT_THAT(log.Messages(), ElementsAre("INFO |" + Resumo(2, 2, 0, 0, 0, 0)));
}

TEST(FolderXMLCollectorTest, PathTooLongToListEndsTheRun) {
  TempDir dir;
  dir.Write("a.xml", Doc(1));
  dir.Write("um/b.xml", Doc(2));
  // Nest folders until their full path is beyond what the system accepts;
  // built relative to each level, as no absolute path can reach them.
  const std::string nome(200, 'p');
  std::string deep = dir.path();
  {
    CwdScope cwd(dir.path());
    while (deep.size() < FileSystem::Default()->MaxPath() + 300) {
      stdfs::create_directory(nome);
      stdfs::current_path(nome);
      deep += FileSystem::Default()->Separator() + nome;
    }
  }
  // Wine lists paths of any length, unlike Windows itself.
  bool refused = false;
  try {
    FileSystem::Default()->ListDirectory(deep);
  } catch (const PlatformError&) {
    refused = true;
  }

  if (refused) {
    LogCapture log;
    dir.Write("z.xml", "<outro/>");
    EXPECT_THROW(Coletar(Pastas(dir.Path("um") + ";" + dir.path(), true)), PlatformError);
    // Nothing after the failing listing: no file of that folder, no summary.
    EXPECT_THAT(log.Messages(), IsEmpty());

    // Without recursion the deep tree is never reached.
    LogCapture log2;
    EXPECT_EQ(Coletar(Pastas(dir.path(), false)).size(), 1u);
  }

  // Leave nothing the folder's own cleanup could not reach.
  CwdScope cwd(dir.path());
  stdfs::rename(nome, "raso");
  while (stdfs::exists("raso/" + nome)) {
    stdfs::rename("raso/" + nome, "tmp");
    stdfs::remove("raso");
    stdfs::rename("tmp", "raso");
  }
  stdfs::remove("raso");
  if (!refused) GTEST_SKIP() << "este sistema aceita caminhos alem de MaxPath";
}

}  // namespace
}  // namespace lumacor
