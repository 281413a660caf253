#include "service/SyncRunner.h"

#include <exception>
#include <stdexcept>

#include "collect/DBProvider.h"
#include "collect/FolderXMLCollector.h"
#include "collect/SQLExecutor.h"
#include "common/Error.h"
#include "common/Text.h"
#include "config/Config.h"
#include "delivery/HTTPSender.h"
#include "log/Logger.h"
#include "queue/LocalQueue.h"

namespace lumacor {

TSyncRunner::TSyncRunner(FileSystem* fs) {
  TSincConfig cfg = GConfigManager->Config();
  if (!IsModoPasta(cfg.ModoColeta)) {
    FDBProvider = std::make_unique<TDBProvider>();
    FExecutor = std::make_unique<TSQLExecutor>(FDBProvider.get());
  }
  FFolderCollector = std::make_unique<TFolderXMLCollector>(fs);
  FQueue = std::make_unique<TLocalQueue>(cfg.SQLitePath, fs);
  FSender = std::make_unique<THTTPSender>();
}

TSyncRunner::~TSyncRunner() = default;

void TSyncRunner::Executar() {
  LogInfo("=== Inicio do ciclo de sincronizacao ===");
  if (!GConfigManager->IsValid()) {
    LogError("Configuracao invalida. Verifique Marlux.ini.");
    return;
  }

  TXmlRowArray rows;
  try {
    if (IsModoPasta(GConfigManager->Config().ModoColeta)) {
      rows = FFolderCollector->Executar();
      LogInfo(Format("Coletados %d XMLs das pastas.", static_cast<int>(rows.size())));
    } else {
      if (!FExecutor) {
        throw std::runtime_error("Executor SQL nao inicializado. Verifique o modo de coleta.");
      }
      rows = FExecutor->Executar();
      LogInfo(Format("Coletados %d XMLs do banco.", static_cast<int>(rows.size())));
    }
  } catch (...) {
    LogError("Erro na coleta: " + CurrentErrorMessage());
    return;
  }

  if (!rows.empty()) {
    try {
      FQueue->UpsertEmLote(rows, GConfigManager->Config().CNPJ);
    } catch (...) {
      LogError("Erro ao gravar fila local: " + CurrentErrorMessage());
    }
  }

  std::vector<TQueueItem> pending = FQueue->ListarPendentes();
  LogInfo(Format("%d itens pendentes para envio.", static_cast<int>(pending.size())));
  int sent = 0, failed = 0;
  for (const TQueueItem& item : pending) {
    TEnvioResult result = FSender->Enviar(item.ChaveUnica, item.XML);
    if (result.Sucesso) {
      FQueue->MarcarEnviado(item);
      ++sent;
      LogInfo("Enviado OK: " + item.ChaveUnica);
    } else {
      // An outage or a refused token is not the document's fault: such a
      // failure must not end its retries.
      FQueue->MarcarErro(item, result.MensagemErro, IsFalhaTransitoria(result.HTTPCode));
      ++failed;
      LogWarning("Falha ao enviar " + item.ChaveUnica + ": " + result.MensagemErro);
    }
  }
  LogInfo(Format("Ciclo concluido - coletados: %d | enviados: %d | erros: %d",
                 static_cast<int>(rows.size()), sent, failed));
  LogInfo("=== Fim do ciclo ===");
}

}  // namespace lumacor
