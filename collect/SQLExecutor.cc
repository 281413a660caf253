#include "collect/SQLExecutor.h"

#include <cstdint>
#include <deque>
#include <stdexcept>
#include <unordered_set>

#include "collect/NFeValidator.h"
#include "collect/XMLNormalizer.h"
#include "common/Text.h"
#include "config/Config.h"
#include "log/Logger.h"
#include "queue/HashService.h"

namespace lumacor {
namespace {

// The rows of one run in the query's order. A row whose fingerprint
// equals the stored row's can never be the text the queue writes (it
// leaves such a row alone, and of the texts of one identifier it never
// picks the stored one), so only what places it among the texts of its
// identifier is kept: identifier and classification, in a few bytes
// beside the identifier. Over an archive where nothing changed that is
// all a run holds.
class TLinhasColetadas {
 public:
  void ComTexto(TXmlRow row) {
    FOrdem.push_back({static_cast<uint32_t>(FComTexto.size()), kComTexto, 0, 0});
    FComTexto.push_back(std::move(row));
  }

  void SemTexto(std::string_view chave, int prioridade, int forca) {
    if (chave.size() > kBloco / 16) {
      // Rare and long: kept whole rather than packed.
      FOrdem.push_back({static_cast<uint32_t>(FChavesLongas.size()), kChaveLonga,
                        static_cast<int16_t>(prioridade), static_cast<int16_t>(forca)});
      FChavesLongas.emplace_back(chave);
      return;
    }
    if (FChaves.empty() || FChaves.back().size() + chave.size() > kBloco) {
      FChaves.emplace_back();
      FChaves.back().reserve(kBloco);
    }
    std::string& bloco = FChaves.back();
    const auto inicio = static_cast<uint32_t>((FChaves.size() - 1) * kBloco + bloco.size());
    bloco.append(chave);
    FOrdem.push_back({inicio, static_cast<uint32_t>(chave.size()), static_cast<int16_t>(prioridade),
                      static_cast<int16_t>(forca)});
  }

  // The rows for the queue: every row with its text, and each row without
  // text whose identifier (exactly) has a row with text beside it; alone,
  // it would change nothing. Those get the stored fingerprint, which is
  // theirs.
  // REQUIRES: `estado` set when SemTexto was called.
  TXmlRowArray Resultado(TEstadoGravado* estado, const std::string& cnpj) {
    std::unordered_set<std::string_view> com_texto;
    for (const TXmlRow& row : FComTexto) com_texto.insert(row.ChaveUnica);
    TXmlRowArray rows;
    rows.reserve(FComTexto.size());
    auto guardado = [&](std::string_view chave) {
      std::optional<std::string> hash = estado->HashGravado(cnpj, chave);
      // Nothing writes the queue during a run.
      if (!hash)
        throw std::logic_error("linha da fila sumiu durante a coleta: " + std::string(chave));
      return *hash;
    };
    for (const TEntrada& e : FOrdem) {
      if (e.Tamanho == kComTexto) {
        rows.push_back(std::move(FComTexto[e.Posicao]));
        continue;
      }
      const std::string_view chave =
          e.Tamanho == kChaveLonga
              ? std::string_view(FChavesLongas[e.Posicao])
              : std::string_view(FChaves[e.Posicao / kBloco].data() + e.Posicao % kBloco,
                                 e.Tamanho);
      if (!com_texto.contains(chave)) continue;
      TXmlRow row;
      row.ChaveUnica = std::string(chave);
      row.Prioridade = e.Prioridade;
      row.Forca = e.Forca;
      row.Hash = guardado(chave);
      rows.push_back(std::move(row));
    }
    return rows;
  }

 private:
  static constexpr size_t kBloco = 64 * 1024;
  static constexpr uint32_t kComTexto = UINT32_MAX;
  static constexpr uint32_t kChaveLonga = UINT32_MAX - 1;

  struct TEntrada {
    uint32_t Posicao;  // in FComTexto, FChavesLongas, or of the identifier in FChaves
    uint32_t Tamanho;  // of the identifier in FChaves, or kComTexto, kChaveLonga
    int16_t Prioridade;
    int16_t Forca;
  };

  // Blocks, not one vector: growing never copies what is held.
  std::deque<TEntrada> FOrdem;
  std::deque<std::string> FChaves;
  std::deque<std::string> FChavesLongas;
  std::deque<TXmlRow> FComTexto;
};

}  // namespace

TXmlRowArray TSQLExecutor::Executar() {
  FColetados = 0;
  const std::string sql = GConfigManager->GetSQL();
  if (TrimControl(sql).empty()) {
    throw std::runtime_error(
        "SQL de coleta nao configurado. Defina sql_file= ou sql= no Marlux.ini.");
  }
  TDBConnection* connection = FDBProvider->GetConnection();
  const std::unique_ptr<TDBCursor> query = connection->Query(sql);

  const int chave_col = query->FindColumn("CHAVE_UNICA");
  if (chave_col < 0) throw std::runtime_error("SQL nao retornou coluna CHAVE_UNICA.");
  const int xml_col = query->FindColumn("XML");
  if (xml_col < 0) {
    throw std::runtime_error("SQL nao retornou coluna XML. Use alias: XML_COLUNA AS XML.");
  }
  const TSincConfig config = GConfigManager->Config();
  const bool log_ignorados = config.LogIgnorados;

  TLinhasColetadas linhas;
  int coletados = 0;
  size_t em_memoria = 0;
  if (FEstado != nullptr) FEstado->DescartarTextos();
  while (query->Next()) {
    std::string chave = TrimControlCopy(TXMLNormalizer::ColumnText(*query, chave_col));
    std::string xml = TXMLNormalizer::Normalize(*query, xml_col);

    const TClassificacao c = TNFeValidator::Classificar(xml);
    if (!c.ChaveAcesso.empty()) chave = c.ChaveAcesso;
    if (chave.empty()) continue;

    if (c.DocumentoFiscalOuEvento) {
      // Test-environment documents have no fiscal value.
      if (!config.EnviarHomologacao && c.Homologacao) {
        if (log_ignorados) LogWarning("XML de homologacao ignorado: " + chave);
        continue;
      }
      const bool cancelamento = c.EventoCancelamento;
      const bool inutilizacao = !cancelamento && c.Inutilizacao;
      ++coletados;
      std::string hash = THashService::SHA256(xml);
      std::optional<std::string> gravado;
      if (FEstado != nullptr) gravado = FEstado->HashGravado(config.CNPJ, chave);
      if (gravado && *gravado == hash) {
        linhas.SemTexto(chave, c.PrioridadeFila, c.ForcaCopia);
      } else {
        if (FEstado != nullptr && em_memoria + xml.size() > FLimiteEmMemoria) {
          FEstado->GuardarTexto(hash, xml);
          std::string().swap(xml);
        } else {
          em_memoria += xml.size();
        }
        TXmlRow row(chave, std::move(xml));
        row.Hash = std::move(hash);
        row.Prioridade = c.PrioridadeFila;
        row.Forca = c.ForcaCopia;
        linhas.ComTexto(std::move(row));
      }
      if (cancelamento) {
        LogInfo("Evento de cancelamento detectado no banco: " + chave);
      } else if (inutilizacao) {
        LogInfo("Inutilizacao detectada no banco: " + chave);
      }
    } else if (log_ignorados) {
      LogWarning("XML ignorado, nao e documento fiscal/evento.");
    }
  }
  TXmlRowArray rows = linhas.Resultado(FEstado, config.CNPJ);
  FColetados = coletados;
  return rows;
}

std::optional<std::string> TSQLExecutor::TextoDe(const TXmlRow& row) {
  std::optional<std::string> xml;
  if (FEstado != nullptr) xml = FEstado->TextoGuardado(row.Hash);
  if (!xml) throw std::runtime_error("texto coletado de " + row.ChaveUnica + " nao encontrado");
  return xml;
}

}  // namespace lumacor
