// Gathers fiscal documents from the configured folders of "*.xml" files.
#ifndef LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_
#define LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collect/ArquivoConhecido.h"
#include "collect/XmlRow.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace lumacor {

// A file written less than this before a scan began may still be growing:
// it is left for a later scan. The same margin makes a recorded file's
// metadata trustworthy (a rewrite within the timestamps' resolution of the
// recording cannot go unseen).
inline constexpr int64_t kMargemEscritaNanos = 2'000'000'000;

class TFolderXMLCollector : public TFonteDeTextos {
 public:
  // `fs` and `clock` are not owned and must outlive the collector.
  explicit TFolderXMLCollector(FileSystem* fs = FileSystem::Default(),
                               Clock* clock = Clock::Default());

  TFolderXMLCollector(const TFolderXMLCollector&) = delete;
  TFolderXMLCollector& operator=(const TFolderXMLCollector&) = delete;

  // Where what the scans learned is kept between cycles (not owned). Without
  // one, every file is read at every run and the rows carry their texts.
  void UsarMemoria(TMemoriaDeArquivos* memoria) { memoria_ = memoria; }

  // Goes through every "*.xml" file of the folders in XMLPaths (and their
  // subfolders with XMLRecursive), keeps the recognised fiscal documents
  // that carry an identifier, and logs a summary. Files written too recently
  // are left for a later run, unnamed and uncounted. With a memory, a file
  // whose metadata did not change since it was read is not read again (its
  // known result counts), and the rows come without their texts (TextoDe
  // reads them again). Problems with single files are logged and counted;
  // an error while listing a folder ends the run and is raised. REQUIRES:
  // GConfigManager is set.
  TXmlRowArray Executar();

  // The text of a row of the last run, read again from its file: nothing
  // (and an "Erro lendo XML" line) when it cannot be read or no longer has
  // the fingerprint it was collected with. Such a file is read anew at the
  // next run.
  std::optional<std::string> TextoDe(const TXmlRow& row) override;

  // Stores what the last run learned in the memory; call once its rows are
  // safely queued. Raises the memory's error, and then the next run starts
  // again from the memory.
  void ConfirmarVarredura();

  // Documents the last run collected, counted as every run counts them.
  // With a memory the rows leave out unchanged files whose identifier
  // nothing else touched (their rows stand as the queue holds them), so
  // this may be more than the rows returned.
  int Coletados() const { return coletados_; }

 private:
  // Folders already entered in one walk, by device and inode.
  using Visited = std::set<std::pair<uint64_t, uint64_t>>;
  // A file found by a listing: its path, and its metadata as the listing
  // saw them when `tem_info`.
  using CadaArquivo =
      std::function<void(const std::string& caminho, bool tem_info, const FileInfo& info)>;

  // What the memory holds of one file, kept small: an archive of hundreds
  // of thousands of files must cost neither a copy of every path nor one
  // of every fingerprint. The whole record is read by its id when needed.
  struct Registro {
    uint64_t caminho = 0;  // HashDoCaminho of its path
    int64_t id = 0;        // the record in the memory
    int64_t tamanho = 0;
    int64_t mtime_s = 0;
    int64_t ctime_s = 0;
    uint64_t dispositivo = 0;
    uint64_t inode = 0;
    int32_t mtime_ns = 0;
    int32_t ctime_ns = 0;
    uint64_t chave = 0;      // hash of the identifier, for a document
    uint64_t impressao = 0;  // hash of the fingerprint, to tell a new text
    uint32_t visto_em = 0;   // the last run that went through it
    uint8_t resultado = 0;
    uint8_t tipo = 0;
    bool homologacao = false;
  };
  static Registro RegistroDe(const TArquivoConhecido& a, int64_t id, uint32_t visto_em);
  static bool MesmosMetadados(const Registro& r, const TArquivoConhecido& a);
  // The record of `caminho`, or null. Paths are told apart by a 64-bit
  // hash: two paths that share one only cost each other a reading, since
  // the metadata of two live files never match.
  Registro* Buscar(std::string_view caminho);
  // Whether `chave` is the identifier of one known document only.
  bool Unico(uint64_t chave) const;
  void RecontarChaves();

  static TXmlRow LinhaDe(const TArquivoConhecido& a, const std::string& arquivo, std::string xml);
  std::string Join(const std::string& folder, const std::string& name) const;
  // Hands the matching files of `folder` (and, when `recursive`, of its
  // subfolders, depth first) to `cada`, in the order the OS lists them,
  // one folder's listing at a time.
  void ListarPasta(const std::string& folder, bool recursive, Visited* visited,
                   const CadaArquivo& cada);
  // Strict UTF-8 (byte-order mark skipped), else the ANSI code page.
  // Raises, without reading, for a file larger than `max_bytes`, unless
  // the caller has just checked that (`tamanho_visto`).
  std::string LerTexto(const std::string& path, int64_t max_bytes, bool tamanho_visto = false);

  FileSystem* fs_;
  Clock* clock_;
  TMemoriaDeArquivos* memoria_ = nullptr;
  // What the memory holds, once read from it, by path hash; and the
  // identifiers of its documents, sorted (one may have several files, a
  // document and its event: such an identifier is always handed over, since
  // its row may still be on the way to its last text).
  bool carregado_ = false;
  std::vector<Registro> registros_;
  std::vector<uint64_t> chaves_;
  // The CNPJ the memory's rows were queued under: under another one every
  // document must be queued again.
  std::string dono_;
  std::string cnpj_;
  int coletados_ = 0;
  // What the last run learned, not yet confirmed: the records of the files
  // it read as they will stand here, and the same records whole, kept
  // aside in the memory (GuardarLido's ids); a known path that run did not
  // go through is forgotten.
  std::vector<Registro> novos_;
  std::vector<int64_t> guardados_;
  // Records of novos_ whose file TextoDe found changed: not stored.
  std::vector<bool> descartados_;
  // novos_ by path hash, sorted, for TextoDe.
  std::vector<std::pair<uint64_t, size_t>> novo_por_caminho_;
  // The record of novos_ read from `caminho`, or none (novos_.size()).
  size_t NovoDe(const std::string& caminho) const;
  uint32_t varredura_ = 0;
  int64_t max_bytes_ = 0;
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_
