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
#include "platform/StopEvent.h"
#include "queue/LocalQueue.h"
#include "service/Reenvio.h"
#include "service/StatusReport.h"

namespace lumacor {

TSyncRunner::TSyncRunner(StopEvent* AStopEvent, FileSystem* fs, Clock* clock)
    : FStopEvent(AStopEvent) {
  TSincConfig cfg = GConfigManager->Config();
  if (!IsModoPasta(cfg.ModoColeta)) {
    FDBProvider = std::make_unique<TDBProvider>();
    FExecutor = std::make_unique<TSQLExecutor>(FDBProvider.get());
  }
  FFolderCollector = std::make_unique<TFolderXMLCollector>(fs, clock);
  FQueue = std::make_unique<TLocalQueue>(cfg.SQLitePath, fs);
  FFolderCollector->UsarMemoria(FQueue.get());
  if (FExecutor) FExecutor->UsarEstado(FQueue.get());
  FSender = std::make_unique<THTTPSender>();
  FRelatorio = std::make_unique<TRelatorioStatus>(cfg, GConfigManager->IniPath(), fs);
  FRelatorio->Iniciado(FQueue.get());
  if (FStopEvent != nullptr) {
    THTTPSender* sender = FSender.get();
    FStopSubscription = FStopEvent->Subscribe([sender] { sender->Interromper(); });
  }
}

TSyncRunner::~TSyncRunner() {
  // Before the sender goes, so the stop can no longer reach it.
  if (FStopEvent != nullptr) FStopEvent->Unsubscribe(FStopSubscription);
  try {
    FRelatorio->Parado(FQueue.get());
  } catch (...) {
    // Out of memory at most: a status left saying "aguardando" turns stale.
  }
}

bool TSyncRunner::ParadaSolicitada() const { return FStopEvent != nullptr && FStopEvent->IsSet(); }

void TSyncRunner::GravarMarcasAtrasadas() {
  while (!FEntreguesSemMarca.empty()) {
    const TQueueItem& item = FEntreguesSemMarca.front();
    // A text that changed since must go out again: only the delivered one
    // is marked.
    if (FQueue->MarcarEnviadoSeInalterado(item)) {
      LogInfo("Envio de " + item.ChaveUnica + " registrado na fila local.");
    }
    FEntreguesSemMarca.erase(FEntreguesSemMarca.begin());
  }
}

std::pair<int, int> TSyncRunner::EnviarPendentes(int EventosEmEspera) {
  GravarMarcasAtrasadas();
  std::vector<TQueueItem> pending = FQueue->ListarPendentes();
  LogInfo(Format("%d itens pendentes para envio.", static_cast<int>(pending.size())));
  int sent = 0, failed = 0;
  auto agora = std::chrono::steady_clock::now();
  if (!pending.empty() && agora < FEnvioRetomadoEm) {
    auto faltam = std::chrono::ceil<std::chrono::seconds>(FEnvioRetomadoEm - agora).count();
    LogWarning(
        Format("Envio suspenso a pedido do portal por mais %d segundos: %d documentos ficam "
               "para o proximo ciclo.",
               static_cast<int>(faltam), static_cast<int>(pending.size())));
    FRelatorio->Ciclo().Desfecho = kCicloPortalIndisponivel;
    return {sent, failed};
  }
  for (size_t i = 0; i < pending.size(); ++i) {
    const TQueueItem& item = pending[i];
    int restantes = static_cast<int>(pending.size() - i);
    if (ParadaSolicitada()) {
      LogInfo(Format("Parada solicitada: %d documentos ficam para o proximo ciclo.", restantes));
      break;
    }
    TEnvioResult result = FSender->Enviar(item.ChaveUnica, item.XML);
    if (result.Desfecho == TDesfechoEnvio::deInterrompido) {
      // Cut short by the stop: the item stays exactly as it was.
      LogInfo(Format("Parada solicitada: %d documentos ficam para o proximo ciclo.", restantes));
      break;
    }
    if (result.Sucesso) {
      try {
        FQueue->MarcarEnviado(item);
      } catch (...) {
        // Delivered all the same: remembered (without its text), so it is
        // not posted again.
        FEntreguesSemMarca.push_back(item);
        FEntreguesSemMarca.back().XML.clear();
        throw;
      }
      ++sent;
      LogInfo("Enviado OK: " + item.ChaveUnica);
      continue;
    }
    bool transitoria = result.Desfecho == TDesfechoEnvio::deTentarDepois;
    FQueue->MarcarErro(item, result.MensagemErro, transitoria);
    ++failed;
    LogWarning("Falha ao enviar " + item.ChaveUnica + ": " + result.MensagemErro);
    if (transitoria && result.PortalIndisponivel) {
      FRelatorio->Ciclo().Desfecho = kCicloPortalIndisponivel;
      if (result.AguardarSegundos > 0) {
        FEnvioRetomadoEm =
            std::chrono::steady_clock::now() + std::chrono::seconds(result.AguardarSegundos);
        LogWarning(Format("Portal pediu para aguardar %d segundos antes de novos envios.",
                          static_cast<int>(result.AguardarSegundos)));
      }
      // Every further send would wait out the same outage.
      if (restantes > 1) {
        LogWarning(Format("Portal indisponivel: %d documentos ficam para o proximo ciclo.",
                          restantes - 1));
      }
      break;
    }
  }
  if (sent == kMaxPendentesPorCiclo && failed == 0 && !ParadaSolicitada()) {
    try {
      FContinuarSemEspera = FQueue->TemPendentes();
    } catch (...) {
      // Only a faster start is lost: the interval applies.
    }
  } else if (sent > 0 && failed == 0 && EventosEmEspera > 0 && !ParadaSolicitada()) {
    // Everything pending went out, documents whose events wait for them
    // among it: the next cycle queues those events, and sends them.
    FContinuarSemEspera = true;
  }
  return {sent, failed};
}

void TSyncRunner::AplicarReenvios() {
  TSincConfig cfg = GConfigManager->Config();
  try {
    if (!FConfigVerificada) ReenfileirarSeConfigMudou(*FQueue, cfg);
    FConfigVerificada = true;
    AplicarPedidoReenvio(*FQueue, CaminhoPedidoReenvio(cfg));
  } catch (...) {
    LogError("Erro ao reenfileirar falhas definitivas: " + CurrentErrorMessage());
  }
}

void TSyncRunner::Executar() {
  FContinuarSemEspera = false;
  FRelatorio->CicloIniciado();
  try {
    AplicarReenvios();
    ExecutarCiclo();
  } catch (...) {
    FRelatorio->Ciclo().Desfecho = kCicloErro;
    FRelatorio->Ciclo().Mensagem = CurrentErrorMessage();
    FRelatorio->CicloTerminado(FQueue.get());
    throw;
  }
  FRelatorio->CicloTerminado(FQueue.get(), FContinuarSemEspera);
}

void TSyncRunner::ExecutarCiclo() {
  TResumoCiclo& resumo = FRelatorio->Ciclo();
  LogInfo("=== Inicio do ciclo de sincronizacao ===");
  if (!GConfigManager->IsValid()) {
    LogError("Configuracao invalida. Verifique Marlux.ini.");
    resumo.Desfecho = kCicloConfigInvalida;
    resumo.Mensagem =
        "Chaves ausentes ou em branco no Marlux.ini: " + GConfigManager->ChavesAusentes() + ".";
    LogError(resumo.Mensagem);
    return;
  }

  TXmlRowArray rows;
  int coletados = 0;  // the collectors may leave unchanged documents out
  const bool modo_pasta = IsModoPasta(GConfigManager->Config().ModoColeta);
  try {
    if (modo_pasta) {
      rows = FFolderCollector->Executar();
      coletados = FFolderCollector->Coletados();
      LogInfo(Format("Coletados %d XMLs das pastas.", coletados));
    } else {
      if (!FExecutor) {
        throw std::runtime_error("Executor SQL nao inicializado. Verifique o modo de coleta.");
      }
      rows = FExecutor->Executar();
      coletados = FExecutor->Coletados();
      LogInfo(Format("Coletados %d XMLs do banco.", coletados));
    }
  } catch (...) {
    LogError("Erro na coleta: " + CurrentErrorMessage());
    resumo.Desfecho = kCicloErroColeta;
    resumo.Mensagem = CurrentErrorMessage();
    return;
  }

  bool enfileirado = true;
  int eventos_em_espera = 0;
  if (!rows.empty()) {
    try {
      TFonteDeTextos* fonte = FFolderCollector.get();
      if (!modo_pasta) fonte = FExecutor.get();
      eventos_em_espera = FQueue->UpsertEmLote(rows, GConfigManager->Config().CNPJ, fonte);
    } catch (...) {
      enfileirado = false;
      LogError("Erro ao gravar fila local: " + CurrentErrorMessage());
    }
  }
  // Only once the rows are queued may the scan's findings be trusted to
  // spare the files a reading next time.
  if (modo_pasta && enfileirado) {
    try {
      FFolderCollector->ConfirmarVarredura();
    } catch (...) {
      LogError("Erro ao gravar fila local: " + CurrentErrorMessage());
    }
  }

  resumo.Coletados = coletados;
  auto [sent, failed] = EnviarPendentes(eventos_em_espera);
  resumo.Enviados = sent;
  resumo.Falhas = failed;
  LogInfo(Format("Ciclo concluido - coletados: %d | enviados: %d | erros: %d", coletados, sent,
                 failed));
  LogInfo("=== Fim do ciclo ===");
}

}  // namespace lumacor
