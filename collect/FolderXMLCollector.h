// Gathers fiscal documents from the configured folders of "*.xml" files.
#ifndef LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_
#define LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
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

  static TXmlRow LinhaDe(const TArquivoConhecido& a, const std::string& arquivo, std::string xml);
  std::string Join(const std::string& folder, const std::string& name) const;
  // A file found by a listing, with its metadata as the listing saw them.
  struct Listado {
    std::string caminho;
    bool tem_info = false;
    FileInfo info;
  };
  // Appends the matching files of `folder` (and, when `recursive`, of its
  // subfolders, depth first) to `files`, in the order the OS lists them.
  void ListarPasta(const std::string& folder, bool recursive, Visited* visited,
                   std::vector<Listado>* files);
  // Strict UTF-8 (byte-order mark skipped), else the ANSI code page.
  // Raises, without reading, for a file larger than `max_bytes`, unless
  // the caller has just checked that (`tamanho_visto`).
  std::string LerTexto(const std::string& path, int64_t max_bytes, bool tamanho_visto = false);

  FileSystem* fs_;
  Clock* clock_;
  TMemoriaDeArquivos* memoria_ = nullptr;
  // What the memory holds, once read from it.
  bool carregado_ = false;
  struct Conhecido {
    TArquivoConhecido arquivo;
    uint64_t visto_em = 0;  // the last run that went through it
  };
  std::unordered_map<std::string, Conhecido> conhecidos_;
  // Known documents per identifier (by the identifier's hash): an
  // identifier with one file can be left out of the batch while nothing
  // touches it; one with several (a document and its event) is always
  // handed over, since its row may still be on the way to its last text.
  std::unordered_map<uint64_t, uint32_t> por_chave_;
  // The CNPJ the memory's rows were queued under: under another one every
  // document must be queued again.
  std::string dono_;
  std::string cnpj_;
  int coletados_ = 0;
  // What the last run learned, not yet confirmed: records to store; a known
  // path that run did not go through is forgotten.
  std::vector<TArquivoConhecido> novos_;
  // Records of novos_ whose file TextoDe found changed: not stored.
  std::vector<bool> descartados_;
  // novos_ by path, for TextoDe.
  std::unordered_map<std::string_view, size_t> novo_por_caminho_;
  uint64_t varredura_ = 0;
  int64_t max_bytes_ = 0;
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_
