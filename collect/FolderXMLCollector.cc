#include "collect/FolderXMLCollector.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

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

uint64_t HashDaChave(std::string_view chave) { return std::hash<std::string_view>{}(chave); }
uint64_t HashDoCaminho(std::string_view caminho) { return std::hash<std::string_view>{}(caminho); }

bool EDocumento(const TArquivoConhecido& a) {
  return a.Resultado == TArquivoConhecido::arDocumento;
}

bool PorCaminho(const auto& x, const auto& y) { return x.caminho < y.caminho; }

}  // namespace

TFolderXMLCollector::TFolderXMLCollector(FileSystem* fs, Clock* clock) : fs_(fs), clock_(clock) {}

TFolderXMLCollector::Registro TFolderXMLCollector::RegistroDe(const TArquivoConhecido& a,
                                                              int64_t id, uint32_t visto_em) {
  Registro r;
  r.caminho = HashDoCaminho(a.Caminho);
  r.id = id;
  r.tamanho = a.Tamanho;
  r.mtime_s = a.MtimeSegundos;
  r.ctime_s = a.CtimeSegundos;
  r.dispositivo = a.Dispositivo;
  r.inode = a.Inode;
  r.mtime_ns = static_cast<int32_t>(a.MtimeNanos);
  r.ctime_ns = static_cast<int32_t>(a.CtimeNanos);
  r.chave = EDocumento(a) ? HashDaChave(a.Chave) : 0;
  r.impressao = HashDaChave(a.Hash);
  r.visto_em = visto_em;
  r.resultado = static_cast<uint8_t>(a.Resultado);
  r.tipo = static_cast<uint8_t>(a.Tipo);
  r.homologacao = a.Homologacao;
  return r;
}

bool TFolderXMLCollector::MesmosMetadados(const Registro& r, const TArquivoConhecido& a) {
  return r.tamanho == a.Tamanho && r.mtime_s == a.MtimeSegundos && r.mtime_ns == a.MtimeNanos &&
         r.ctime_s == a.CtimeSegundos && r.ctime_ns == a.CtimeNanos &&
         r.dispositivo == a.Dispositivo && r.inode == a.Inode;
}

TFolderXMLCollector::Registro* TFolderXMLCollector::Buscar(std::string_view caminho) {
  Registro chave;
  chave.caminho = HashDoCaminho(caminho);
  auto it =
      std::lower_bound(registros_.begin(), registros_.end(), chave, PorCaminho<Registro, Registro>);
  return it != registros_.end() && it->caminho == chave.caminho ? &*it : nullptr;
}

bool TFolderXMLCollector::Unico(uint64_t chave) const {
  auto [de, ate] = std::equal_range(chaves_.begin(), chaves_.end(), chave);
  return ate - de == 1;
}

void TFolderXMLCollector::RecontarChaves() {
  chaves_.clear();
  for (const Registro& r : registros_) {
    if (r.resultado == TArquivoConhecido::arDocumento) chaves_.push_back(r.chave);
  }
  std::sort(chaves_.begin(), chaves_.end());
}

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
  guardados_.clear();
  descartados_.clear();
  novo_por_caminho_.clear();
  coletados_ = 0;
  ++varredura_;
  // Left by a run whose rows could not be queued.
  if (memoria_ != nullptr) memoria_->DescartarLidos();
  if (memoria_ != nullptr && !carregado_) {
    registros_.clear();
    memoria_->ParaCadaArquivo([this](int64_t id, const TArquivoConhecido& a) {
      registros_.push_back(RegistroDe(a, id, 0));
    });
    std::sort(registros_.begin(), registros_.end(), PorCaminho<Registro, Registro>);
    RecontarChaves();
    dono_ = memoria_->LerDono();
    carregado_ = true;
  }
  cnpj_ = config.CNPJ;
  // Rows queued under another CNPJ say nothing of this one's.
  const bool pode_omitir = memoria_ != nullptr && dono_ == cnpj_;

  // Each accepted document's place in the listing: the rows keep that
  // order whether built at once or only at the end (omitted ones that turn
  // out to be needed).
  size_t ordem = 0;
  std::vector<size_t> posicoes;
  // Omitted documents: their place and their record (an index of
  // registros_, which the run does not reorder).
  std::vector<std::pair<size_t, uint32_t>> omitidos;
  // Identifiers something happened to in this run: a file of theirs was
  // read, changed what it gives, or went.
  std::unordered_set<uint64_t> tocadas;

  // What a document counts and logs, whether read now or known. `a` holds
  // at least its result, type and environment; its identifier and
  // fingerprint too when a row is made of it (not `omitir`) or it is
  // `novo`.
  auto aceitar = [&](const TArquivoConhecido& a, const std::string& arquivo, bool ignorar,
                     std::string xml, bool novo, const Registro* omitir) {
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
    if (omitir != nullptr) {
      omitidos.emplace_back(ordem++, static_cast<uint32_t>(omitir - registros_.data()));
    } else {
      result.push_back(LinhaDe(a, arquivo, std::move(xml)));
      posicoes.push_back(ordem++);
    }
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

  auto cada = [&](const std::string& arquivo, bool tem_info, const FileInfo& antes) {
    if (tem_info && recente(antes)) return;
    n.encontrados++;
    try {
      if (tem_info && antes.size > max_bytes) {
        throw std::runtime_error(
            Format("arquivo de %lld bytes, acima do limite de %lld bytes "
                   "(tamanho_maximo_mb)",
                   static_cast<long long>(antes.size), static_cast<long long>(max_bytes)));
      }
      Registro* antigo = memoria_ != nullptr ? Buscar(arquivo) : nullptr;
      TArquivoConhecido agora = Metadados(antes);
      if (tem_info && antigo != nullptr && MesmosMetadados(*antigo, agora)) {
        antigo->visto_em = varredura_;
        TArquivoConhecido visto;
        visto.Resultado = antigo->resultado;
        visto.Tipo = antigo->tipo;
        visto.Homologacao = antigo->homologacao;
        const bool ignorar = !config.EnviarHomologacao && antigo->homologacao;
        if (!EDocumento(visto) || ignorar) {
          aceitar(visto, arquivo, ignorar, {}, false, nullptr);
          return;
        }
        // The only file of its identifier, unchanged: its row is as this
        // file left it, and handing it over again changes nothing, unless
        // something else touches the identifier. Not so for a
        // test-environment document, which may have been left out under
        // another setting of enviar_homologacao.
        if (pode_omitir && !antigo->homologacao && Unico(antigo->chave)) {
          aceitar(visto, arquivo, false, {}, false, antigo);
          return;
        }
        if (std::optional<TArquivoConhecido> inteiro = memoria_->LerArquivo(antigo->id)) {
          aceitar(*inteiro, arquivo, false, {}, false, nullptr);
          return;
        }
        // Its record went from the memory behind our back: read the file.
      }
      if (antigo != nullptr && antigo->resultado == TArquivoConhecido::arDocumento) {
        tocadas.insert(antigo->chave);
      }

      std::string xml = LerTexto(arquivo, max_bytes, tem_info);
      if (tem_info) {
        // Written to while being looked at: what was read may be only
        // part of it, and its metadata no longer describe it.
        FileInfo depois;
        if (!fs_->Stat(arquivo, &depois) || !Metadados(depois).MesmosMetadados(agora) ||
            recente(depois)) {
          n.encontrados--;
          return;
        }
      }
      const TClassificacao c = TNFeValidator::Classificar(xml);
      if (!c.DocumentoFiscalOuEvento) {
        agora.Resultado = TArquivoConhecido::arNaoFiscal;
      } else {
        agora.Chave = c.ChaveAcesso;
        agora.Resultado =
            agora.Chave.empty() ? TArquivoConhecido::arSemChave : TArquivoConhecido::arDocumento;
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
      if (EDocumento(agora)) tocadas.insert(HashDaChave(agora.Chave));
      bool novo = antigo == nullptr || antigo->resultado != agora.Resultado ||
                  antigo->impressao != HashDaChave(agora.Hash);
      if (memoria_ != nullptr && tem_info) {
        agora.Caminho = arquivo;
        guardados_.push_back(memoria_->GuardarLido(agora));
        novos_.push_back(RegistroDe(agora, 0, varredura_));
        if (antigo != nullptr) antigo->visto_em = varredura_;
      }
      // With a memory the text is read again for the write, if one is
      // needed: nothing of the folder stays in memory.
      if (memoria_ != nullptr) std::string().swap(xml);
      aceitar(agora, arquivo, !config.EnviarHomologacao && agora.Homologacao, std::move(xml), novo,
              nullptr);
    } catch (...) {
      n.erros++;
      LogError("Erro lendo XML " + arquivo + ": " + CurrentErrorMessage());
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
        Visited visited;
        ListarPasta(pasta, config.XMLRecursive, &visited, cada);
      }
    }
    if (sep == std::string_view::npos) break;
    rest.remove_prefix(sep + 1);
  }

  // An identifier that had several files before this run is never
  // omitted, so one whose file went or changed identifier is handed over
  // whole; a new file for an identifier omitted so far brings it back.
  if (!omitidos.empty()) {
    TXmlRowArray todas;
    size_t i = 0;
    for (const auto& [pos, indice] : omitidos) {
      const Registro& r = registros_[indice];
      if (!tocadas.contains(r.chave)) continue;
      std::optional<TArquivoConhecido> inteiro = memoria_->LerArquivo(r.id);
      if (!inteiro) {
        // Changed behind our back: the next run starts again from the
        // memory as it stands.
        carregado_ = false;
        throw std::runtime_error("registro de arquivo ausente da fila local");
      }
      if (todas.empty()) todas.reserve(result.size() + 1);
      for (; i < result.size() && posicoes[i] < pos; ++i) todas.push_back(std::move(result[i]));
      std::string caminho = inteiro->Caminho;
      todas.push_back(LinhaDe(*inteiro, caminho, {}));
    }
    if (!todas.empty()) {
      for (; i < result.size(); ++i) todas.push_back(std::move(result[i]));
      result = std::move(todas);
    }
  }
  if (memoria_ != nullptr) {
    descartados_.assign(novos_.size(), false);
    novo_por_caminho_.reserve(novos_.size());
    for (size_t k = 0; k < novos_.size(); ++k) {
      novo_por_caminho_.emplace_back(novos_[k].caminho, k);
    }
    std::sort(novo_por_caminho_.begin(), novo_por_caminho_.end());
  }
  coletados_ = n.aceitos;

  LogInfo(
      Format("Varredura XML: encontrados=%d | aceitos=%d | cancelamentos=%d | "
             "inutilizacoes=%d | ignorados=%d | erros=%d",
             n.encontrados, n.aceitos, n.cancelamentos, n.inutilizacoes, n.ignorados, n.erros));
  return result;
}

size_t TFolderXMLCollector::NovoDe(const std::string& caminho) const {
  // By the hash alone: a file of another path that shares it has another
  // identity, so the check of its metadata sends TextoDe the long way.
  const uint64_t h = HashDoCaminho(caminho);
  auto it = std::lower_bound(novo_por_caminho_.begin(), novo_por_caminho_.end(),
                             std::pair<uint64_t, size_t>{h, 0});
  return it != novo_por_caminho_.end() && it->first == h ? it->second : novos_.size();
}

std::optional<std::string> TFolderXMLCollector::TextoDe(const TXmlRow& row) {
  size_t registro = NovoDe(row.Arquivo);
  if (registro < novos_.size() && descartados_[registro]) registro = novos_.size();
  try {
    if (registro < novos_.size()) {
      // Read by this run, and not touched since (the same metadata before
      // and after this reading, a file too old to be mid-write): the same
      // bytes, so the same text, without fingerprinting it again.
      const Registro& lido = novos_[registro];
      FileInfo antes, depois;
      if (fs_->Stat(row.Arquivo, &antes) && MesmosMetadados(lido, Metadados(antes))) {
        std::string xml = LerTexto(row.Arquivo, max_bytes_, true);
        if (fs_->Stat(row.Arquivo, &depois) && MesmosMetadados(lido, Metadados(depois))) {
          return xml;
        }
      }
    }
    std::string xml = LerTexto(row.Arquivo, max_bytes_);
    if (THashService::SHA256(xml) == row.Hash) return xml;
    throw std::runtime_error("arquivo alterado desde a varredura");
  } catch (...) {
    LogError("Erro lendo XML " + row.Arquivo + ": " + CurrentErrorMessage());
  }
  // Read anew, and judged anew, at the next run.
  if (Registro* r = Buscar(row.Arquivo)) r->visto_em = 0;
  const uint64_t h = HashDoCaminho(row.Arquivo);
  for (size_t k = 0; k < novos_.size(); ++k) {
    if (novos_[k].caminho == h) descartados_[k] = true;
  }
  return std::nullopt;
}

void TFolderXMLCollector::ConfirmarVarredura() {
  if (memoria_ == nullptr) return;
  std::vector<int64_t> esquecer;
  for (const Registro& r : registros_) {
    if (r.visto_em != varredura_) esquecer.push_back(r.id);
  }
  // Without the discarded ones, in place: a first run records every file
  // of the archive.
  std::vector<Registro> lidos = std::move(novos_);
  std::vector<int64_t> guardados = std::move(guardados_);
  novos_.clear();
  guardados_.clear();
  size_t mantidos = 0;
  for (size_t k = 0; k < lidos.size(); ++k) {
    if (k < descartados_.size() && descartados_[k]) continue;
    guardados[mantidos] = guardados[k];
    lidos[mantidos++] = lidos[k];
  }
  lidos.resize(mantidos);
  guardados.resize(mantidos);
  descartados_.clear();
  novo_por_caminho_.clear();
  std::vector<int64_t> ids;
  try {
    ids = memoria_->GravarArquivos(guardados, esquecer, cnpj_);
  } catch (...) {
    carregado_ = false;
    registros_.clear();
    chaves_.clear();
    throw;
  }
  dono_ = cnpj_;
  if (lidos.empty() && esquecer.empty()) return;
  for (size_t k = 0; k < lidos.size(); ++k) lidos[k].id = ids[k];
  std::erase_if(registros_, [this](const Registro& r) { return r.visto_em != varredura_; });
  const size_t conhecidos = registros_.size();
  if (conhecidos == 0) {
    registros_ = std::move(lidos);
  } else {
    for (const Registro& novo : lidos) {
      auto fim = registros_.begin() + static_cast<std::ptrdiff_t>(conhecidos);
      auto it = std::lower_bound(registros_.begin(), fim, novo, PorCaminho<Registro, Registro>);
      if (it != fim && it->caminho == novo.caminho) {
        *it = novo;
      } else {
        registros_.push_back(novo);
      }
    }
  }
  if (registros_.size() > conhecidos) {
    auto meio = registros_.begin() + static_cast<std::ptrdiff_t>(conhecidos);
    std::sort(meio, registros_.end(), PorCaminho<Registro, Registro>);
    std::inplace_merge(registros_.begin(), meio, registros_.end(), PorCaminho<Registro, Registro>);
    // A folder configured twice lists its files twice: one record each.
    auto repetidos =
        std::unique(registros_.begin(), registros_.end(),
                    [](const Registro& x, const Registro& y) { return x.caminho == y.caminho; });
    registros_.erase(repetidos, registros_.end());
  }
  RecontarChaves();
}

TXmlRow TFolderXMLCollector::LinhaDe(const TArquivoConhecido& a, const std::string& arquivo,
                                     std::string xml) {
  TXmlRow row;
  row.ChaveUnica = a.Chave;
  row.XML = std::move(xml);
  row.Hash = a.Hash;
  row.Prioridade = a.Prioridade;
  row.Forca = a.Forca;
  row.Arquivo = arquivo;
  return row;
}

std::string TFolderXMLCollector::Join(const std::string& folder, const std::string& name) const {
  const char sep = fs_->Separator();
  if (!folder.empty() && folder.back() == sep) return folder + name;
  return folder + sep + name;
}

void TFolderXMLCollector::ListarPasta(const std::string& folder, bool recursive, Visited* visited,
                                      const CadaArquivo& cada) {
  // Links can lead back to a folder already walked (even to an ancestor);
  // entering it again would repeat its files or never end. An inode of 0
  // means the platform could not identify the folder: no check then.
  FileInfo info;
  if (fs_->Stat(folder, &info) && info.inode != 0 &&
      !visited->insert({info.device, info.inode}).second) {
    return;
  }

  std::vector<DirEntryInfo> entries;
  try {
    entries = fs_->ListDirectoryWithInfo(folder);
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

  for (DirEntryInfo& e : entries) {
    std::string path = Join(folder, e.entry.name);
    if (e.entry.is_directory) {
      if (recursive) ListarPasta(path, recursive, visited, cada);
    } else if (EndsWithIgnoreAsciiCase(e.entry.name, ".xml")) {
      cada(path, e.found, e.info);
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
