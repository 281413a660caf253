// Gathers fiscal documents from the configured folders of "*.xml" files.
#ifndef LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_
#define LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "collect/XmlRow.h"
#include "platform/FileSystem.h"

namespace lumacor {

class TFolderXMLCollector {
 public:
  // `fs` is not owned and must outlive the collector.
  explicit TFolderXMLCollector(FileSystem* fs = FileSystem::Default());

  TFolderXMLCollector(const TFolderXMLCollector&) = delete;
  TFolderXMLCollector& operator=(const TFolderXMLCollector&) = delete;

  // Reads every "*.xml" file of the folders in XMLPaths (and their
  // subfolders with XMLRecursive), keeps the recognised fiscal documents
  // that carry an identifier, and logs a summary. Problems with single
  // files are logged and counted; an error while listing a folder ends the
  // run and is raised. REQUIRES: GConfigManager is set.
  TXmlRowArray Executar();

 private:
  // Folders already entered in one walk, by device and inode.
  using Visited = std::set<std::pair<uint64_t, uint64_t>>;

  std::string Join(const std::string& folder, const std::string& name) const;
  // Appends the matching files of `folder` (and, when `recursive`, of its
  // subfolders, depth first) to `files`, in the order the OS lists them.
  void ListarPasta(const std::string& folder, bool recursive, Visited* visited,
                   std::vector<std::string>* files);
  // Strict UTF-8 (byte-order mark skipped), else the ANSI code page.
  // Raises, without reading, for a file larger than `max_bytes`.
  std::string LerTexto(const std::string& path, int64_t max_bytes);

  FileSystem* fs_;
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_FOLDERXMLCOLLECTOR_H_
