#include "collect/FolderXMLCollector.h"

#include <stdexcept>
#include <string_view>

#include "collect/NFeValidator.h"
#include "common/Error.h"
#include "common/Text.h"
#include "config/Config.h"
#include "log/Logger.h"
#include "platform/Locale.h"

namespace lumacor {

namespace {

struct Contadores {
  int encontrados = 0;
  int aceitos = 0;
  int cancelamentos = 0;
  int inutilizacoes = 0;
  int ignorados = 0;
  int erros = 0;
};

}  // namespace

TFolderXMLCollector::TFolderXMLCollector(FileSystem* fs) : fs_(fs) {}

TXmlRowArray TFolderXMLCollector::Executar() {
  const TSincConfig config = GConfigManager != nullptr ? GConfigManager->Config() : TSincConfig{};
  TXmlRowArray result;
  Contadores n;
  const int64_t max_bytes =
      int64_t{config.XMLMaxMB > 0 ? config.XMLMaxMB : kXMLMaxMBPadrao} * 1024 * 1024;

  std::string_view rest = config.XMLPaths;
  for (;;) {
    size_t sep = rest.find(';');
    std::string pasta = TrimControlCopy(rest.substr(0, sep));
    if (!pasta.empty()) {
      if (!fs_->DirectoryExists(pasta)) {
        LogWarning("Pasta XML nao encontrada: " + pasta);
      } else {
        std::vector<std::string> arquivos;
        Visited visited;
        ListarPasta(pasta, config.XMLRecursive, &visited, &arquivos);
        n.encontrados += static_cast<int>(arquivos.size());

        for (const std::string& arquivo : arquivos) {
          try {
            std::string xml = LerTexto(arquivo, max_bytes);
            const TClassificacao c = TNFeValidator::Classificar(xml);
            if (!c.DocumentoFiscalOuEvento) {
              n.ignorados++;
              if (config.LogIgnorados) {
                LogWarning("XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + arquivo);
              }
              continue;
            }
            std::string chave = c.ChaveAcesso;
            if (chave.empty()) {
              n.ignorados++;
              if (config.LogIgnorados) {
                LogWarning("XML fiscal sem chave/identificador encontrado: " + arquivo);
              }
              continue;
            }
            // Test-environment documents have no fiscal value: the
            // accountant must not book them.
            if (!config.EnviarHomologacao && c.Homologacao) {
              n.ignorados++;
              if (config.LogIgnorados) LogWarning("XML de homologacao ignorado: " + arquivo);
              continue;
            }
            result.push_back({chave, xml});
            n.aceitos++;
            if (c.EventoCancelamento) {
              n.cancelamentos++;
              LogInfo("Evento de cancelamento detectado: " + chave + " | " + arquivo);
            } else if (c.Inutilizacao) {
              n.inutilizacoes++;
              LogInfo("Inutilizacao detectada: " + chave + " | " + arquivo);
            }
          } catch (...) {
            n.erros++;
            LogError("Erro lendo XML " + arquivo + ": " + CurrentErrorMessage());
          }
        }
      }
    }
    if (sep == std::string_view::npos) break;
    rest.remove_prefix(sep + 1);
  }

  LogInfo(
      Format("Varredura XML: encontrados=%d | aceitos=%d | cancelamentos=%d | "
             "inutilizacoes=%d | ignorados=%d | erros=%d",
             n.encontrados, n.aceitos, n.cancelamentos, n.inutilizacoes, n.ignorados, n.erros));
  return result;
}

std::string TFolderXMLCollector::Join(const std::string& folder, const std::string& name) const {
  const char sep = fs_->Separator();
  if (!folder.empty() && folder.back() == sep) return folder + name;
  return folder + sep + name;
}

void TFolderXMLCollector::ListarPasta(const std::string& folder, bool recursive, Visited* visited,
                                      std::vector<std::string>* files) {
  // Links can lead back to a folder already walked (even to an ancestor);
  // entering it again would repeat its files or never end. An inode of 0
  // means the platform could not identify the folder: no check then.
  FileInfo info;
  if (fs_->Stat(folder, &info) && info.inode != 0 &&
      !visited->insert({info.device, info.inode}).second) {
    return;
  }

  std::vector<DirEntry> entries;
  try {
    entries = fs_->ListDirectory(folder);
  } catch (const PlatformError&) {
    // A folder we may not read (no rights, removed meanwhile, out of
    // descriptors) just adds nothing this run. A path the system refuses
    // outright is a fault of the configuration or of the tree that would
    // repeat at every run: end the run and say so. POSIX takes any bytes
    // in a name, so there that is only a path of MaxPath or more
    // (ENAMETOOLONG), as a deep tree of subfolders can reach.
    if (folder.size() >= fs_->MaxPath()) throw;
    return;
  }

  for (const DirEntry& entry : entries) {
    std::string path = Join(folder, entry.name);
    if (entry.is_directory) {
      if (recursive) ListarPasta(path, recursive, visited, files);
    } else if (EndsWithIgnoreAsciiCase(entry.name, ".xml")) {
      files->push_back(std::move(path));
    }
  }
}

std::string TFolderXMLCollector::LerTexto(const std::string& path, int64_t max_bytes) {
  // Judged by its size before reading: a huge (or sparse) file named .xml
  // must cost neither the memory nor the time of reading it.
  FileInfo info;
  if (fs_->Stat(path, &info) && info.size > max_bytes) {
    throw std::runtime_error(
        Format("arquivo de %lld bytes, acima do limite de %lld bytes "
               "(tamanho_maximo_mb)",
               static_cast<long long>(info.size), static_cast<long long>(max_bytes)));
  }
  // A failed read goes straight to the caller, without the second attempt:
  // on POSIX it mostly means the file changed while being read, and a
  // re-read a moment later could catch it whole but decode its UTF-8 as
  // ANSI. Left alone, it is read again at the next run.
  std::string bytes = fs_->ReadFile(path);
  std::string_view text = bytes;
  // Windows tools ("Unicode" in Notepad, PowerShell's Out-File) write
  // UTF-16 with its mark; read as ANSI it would be classified as noise.
  if (text.substr(0, 2) == "\xFF\xFE") return Utf16BytesToUtf8(text.substr(2), false);
  if (text.substr(0, 2) == "\xFE\xFF") return Utf16BytesToUtf8(text.substr(2), true);
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  if (IsValidUtf8(text)) return std::string(text);
  // Legacy single-byte files: every byte decodes, the first ones included.
  return AnsiToUtf8(fs_->ReadFile(path));
}

}  // namespace lumacor
