#include "collect/FolderXMLCollector.h"

#include <chrono>
#include <stdexcept>
#include <string_view>

#include "collect/NFeValidator.h"
#include "common/Error.h"
#include "common/Text.h"
#include "config/Config.h"
#include "log/Logger.h"
#include "platform/Locale.h"
#include "queue/HashService.h"

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

// The metadata of `info`, as a record to compare (without its path).
TArquivoConhecido Metadados(const FileInfo& info) {
  TArquivoConhecido a;
  a.Tamanho = info.size;
  a.MtimeSegundos = info.mtime_seconds;
  a.MtimeNanos = info.mtime_nanos;
  a.CtimeSegundos = info.ctime_seconds;
  a.CtimeNanos = info.ctime_nanos;
  a.Dispositivo = info.device;
  a.Inode = info.inode;
  return a;
}

int64_t NanosDesdeEpoca(Clock::TimePoint t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

TFolderXMLCollector::TFolderXMLCollector(FileSystem* fs, Clock* clock) : fs_(fs), clock_(clock) {}

TXmlRowArray TFolderXMLCollector::Executar() {
  const TSincConfig config = GConfigManager != nullptr ? GConfigManager->Config() : TSincConfig{};
  TXmlRowArray result;
  Contadores n;
  max_bytes_ = int64_t{config.XMLMaxMB > 0 ? config.XMLMaxMB : kXMLMaxMBPadrao} * 1024 * 1024;
  const int64_t max_bytes = max_bytes_;
  // Files last written after this may still be growing (an ERP writing in
  // chunks); those written before it cannot change unseen once recorded.
  const int64_t limite = NanosDesdeEpoca(clock_->Now()) - kMargemEscritaNanos;
  auto recente = [limite](const FileInfo& info) {
    return info.mtime_seconds > limite / 1'000'000'000 ||
           (info.mtime_seconds == limite / 1'000'000'000 &&
            info.mtime_nanos > limite % 1'000'000'000);
  };

  novos_.clear();
  ++varredura_;
  if (memoria_ != nullptr && !carregado_) {
    conhecidos_.clear();
    for (TArquivoConhecido& a : memoria_->LerArquivos()) {
      // The path is the key; held once.
      std::string caminho = std::move(a.Caminho);
      conhecidos_.emplace(std::move(caminho), Conhecido{std::move(a), 0});
    }
    carregado_ = true;
  }

  // What a document counts and logs, whether read now or known.
  auto aceitar = [&](const TArquivoConhecido& a, const std::string& arquivo, bool ignorar,
                     std::string xml, bool novo) {
    if (a.Resultado == TArquivoConhecido::arNaoFiscal) {
      n.ignorados++;
      if (config.LogIgnorados) {
        LogWarning("XML ignorado, nao e NFe/NFCe/cancelamento/inutilizacao: " + arquivo);
      }
      return;
    }
    if (a.Resultado == TArquivoConhecido::arSemChave) {
      n.ignorados++;
      if (config.LogIgnorados) {
        LogWarning("XML fiscal sem chave/identificador encontrado: " + arquivo);
      }
      return;
    }
    // Test-environment documents have no fiscal value: the accountant
    // must not book them.
    if (ignorar) {
      n.ignorados++;
      if (config.LogIgnorados) LogWarning("XML de homologacao ignorado: " + arquivo);
      return;
    }
    TXmlRow row;
    row.ChaveUnica = a.Chave;
    row.XML = std::move(xml);
    row.Hash = a.Hash;
    row.Prioridade = a.Prioridade;
    row.Forca = a.Forca;
    row.Arquivo = arquivo;
    result.push_back(std::move(row));
    n.aceitos++;
    // Said once per new or changed file, not at every run: repeated, they
    // would push the lines that matter out of the rotated log.
    if (a.Tipo == TArquivoConhecido::atCancelamento) {
      n.cancelamentos++;
      if (novo) LogInfo("Evento de cancelamento detectado: " + a.Chave + " | " + arquivo);
    } else if (a.Tipo == TArquivoConhecido::atInutilizacao) {
      n.inutilizacoes++;
      if (novo) LogInfo("Inutilizacao detectada: " + a.Chave + " | " + arquivo);
    }
  };

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

        for (const std::string& arquivo : arquivos) {
          FileInfo antes;
          bool tem_info = fs_->Stat(arquivo, &antes);
          if (tem_info && recente(antes)) continue;
          n.encontrados++;
          try {
            if (tem_info && antes.size > max_bytes) {
              throw std::runtime_error(
                  Format("arquivo de %lld bytes, acima do limite de %lld bytes "
                         "(tamanho_maximo_mb)",
                         static_cast<long long>(antes.size), static_cast<long long>(max_bytes)));
            }
            Conhecido* conhecido = nullptr;
            if (memoria_ != nullptr) {
              auto it = conhecidos_.find(arquivo);
              if (it != conhecidos_.end()) conhecido = &it->second;
            }
            const TArquivoConhecido* antigo = conhecido ? &conhecido->arquivo : nullptr;
            TArquivoConhecido agora = Metadados(antes);
            if (tem_info && antigo != nullptr && antigo->MesmosMetadados(agora)) {
              conhecido->visto_em = varredura_;
              aceitar(*antigo, arquivo, !config.EnviarHomologacao && antigo->Homologacao, {},
                      false);
              continue;
            }

            std::string xml = LerTexto(arquivo, max_bytes, tem_info);
            if (tem_info) {
              // Written to while being looked at: what was read may be only
              // part of it, and its metadata no longer describe it.
              FileInfo depois;
              if (!fs_->Stat(arquivo, &depois) || !Metadados(depois).MesmosMetadados(agora) ||
                  recente(depois)) {
                n.encontrados--;
                continue;
              }
            }
            const TClassificacao c = TNFeValidator::Classificar(xml);
            if (!c.DocumentoFiscalOuEvento) {
              agora.Resultado = TArquivoConhecido::arNaoFiscal;
            } else {
              agora.Chave = c.ChaveAcesso;
              agora.Resultado = agora.Chave.empty() ? TArquivoConhecido::arSemChave
                                                    : TArquivoConhecido::arDocumento;
            }
            if (agora.Resultado == TArquivoConhecido::arDocumento) {
              agora.Homologacao = c.Homologacao;
              agora.Hash = THashService::SHA256(xml);
              agora.Forca = c.ForcaCopia;
              agora.Tipo = c.EventoCancelamento ? TArquivoConhecido::atCancelamento
                           : c.Inutilizacao     ? TArquivoConhecido::atInutilizacao
                                                : TArquivoConhecido::atDocumento;
              agora.Prioridade = c.PrioridadeFila;
            } else {
              agora.Chave.clear();
            }
            bool novo = antigo == nullptr || antigo->Resultado != agora.Resultado ||
                        antigo->Hash != agora.Hash;
            if (memoria_ != nullptr && tem_info) {
              if (conhecido != nullptr) conhecido->visto_em = varredura_;
              novos_.push_back(agora);
              novos_.back().Caminho = arquivo;
            }
            // With a memory the text is read again for the write, if one is
            // needed: nothing of the folder stays in memory.
            if (memoria_ != nullptr) std::string().swap(xml);
            aceitar(agora, arquivo, !config.EnviarHomologacao && agora.Homologacao, std::move(xml),
                    novo);
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

std::optional<std::string> TFolderXMLCollector::TextoDe(const TXmlRow& row) {
  try {
    std::string xml = LerTexto(row.Arquivo, max_bytes_);
    if (THashService::SHA256(xml) == row.Hash) return xml;
    throw std::runtime_error("arquivo alterado desde a varredura");
  } catch (...) {
    LogError("Erro lendo XML " + row.Arquivo + ": " + CurrentErrorMessage());
  }
  // Read anew, and judged anew, at the next run.
  auto it = conhecidos_.find(row.Arquivo);
  if (it != conhecidos_.end()) it->second.visto_em = 0;
  std::erase_if(novos_, [&](const TArquivoConhecido& a) { return a.Caminho == row.Arquivo; });
  return std::nullopt;
}

void TFolderXMLCollector::ConfirmarVarredura() {
  if (memoria_ == nullptr) return;
  std::vector<std::string> esquecer;
  for (const auto& [caminho, c] : conhecidos_) {
    if (c.visto_em != varredura_) esquecer.push_back(caminho);
  }
  try {
    memoria_->GravarArquivos(novos_, esquecer);
  } catch (...) {
    carregado_ = false;
    conhecidos_.clear();
    novos_.clear();
    throw;
  }
  for (const std::string& caminho : esquecer) conhecidos_.erase(caminho);
  for (TArquivoConhecido& a : novos_) {
    std::string caminho = std::move(a.Caminho);
    conhecidos_.insert_or_assign(std::move(caminho), Conhecido{std::move(a), varredura_});
  }
  novos_.clear();
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

std::string TFolderXMLCollector::LerTexto(const std::string& path, int64_t max_bytes,
                                          bool tamanho_visto) {
  // Judged by its size before reading: a huge (or sparse) file named .xml
  // must cost neither the memory nor the time of reading it.
  FileInfo info;
  if (!tamanho_visto && fs_->Stat(path, &info) && info.size > max_bytes) {
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
