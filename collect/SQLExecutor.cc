#include "collect/SQLExecutor.h"

#include <stdexcept>

#include "collect/NFeValidator.h"
#include "collect/XMLNormalizer.h"
#include "common/Text.h"
#include "config/Config.h"
#include "log/Logger.h"

namespace lumacor {

TXmlRowArray TSQLExecutor::Executar() {
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

  TXmlRowArray rows;
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
      rows.push_back(TXmlRow{chave, std::move(xml)});
      if (cancelamento) {
        LogInfo("Evento de cancelamento detectado no banco: " + chave);
      } else if (inutilizacao) {
        LogInfo("Inutilizacao detectada no banco: " + chave);
      }
    } else if (log_ignorados) {
      LogWarning("XML ignorado, nao e documento fiscal/evento.");
    }
  }
  return rows;
}

}  // namespace lumacor
