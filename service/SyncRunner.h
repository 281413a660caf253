// One synchronisation cycle: collect, queue, send, mark.
#ifndef LUMACOR_SERVICE_SYNCRUNNER_H_
#define LUMACOR_SERVICE_SYNCRUNNER_H_

#include <chrono>
#include <memory>
#include <vector>

#include "queue/LocalQueue.h"

#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace lumacor {

class TDBProvider;
class TSQLExecutor;
class TFolderXMLCollector;
class THTTPSender;
class StopEvent;
class TRelatorioStatus;

class TSyncRunner {
 public:
  // Creates the components of the configured collection mode. Raises the
  // error of the first component that fails; those made before are
  // released. Once `AStopEvent` (may be null) is set, the running cycle
  // sends nothing more and a send in flight is cut short. The folder
  // collector and the queue reach files through `fs` (not owned; tests wrap
  // it to inject faults); `clock` (not owned) dates the folder scans.
  explicit TSyncRunner(StopEvent* AStopEvent = nullptr, FileSystem* fs = FileSystem::Default(),
                       Clock* clock = Clock::Default());
  ~TSyncRunner();

  TSyncRunner(const TSyncRunner&) = delete;
  TSyncRunner& operator=(const TSyncRunner&) = delete;

  // Runs one cycle. Collection and upsert errors are logged here; a failing
  // queue statement while sending leaves it. The status files are written
  // at its start and end, either way; re-queue requests are applied first.
  void Executar();

  // True when the last cycle sent a full batch without a failure and more
  // documents wait, or sent without a failure documents whose events wait
  // for them: the next cycle should start without the interval's wait, so
  // that a backlog drains at once.
  bool ContinuarSemEspera() const { return FContinuarSemEspera; }

 private:
  // The cycle proper.
  void ExecutarCiclo();
  // The configuration-change re-queue (first cycle only) and a /reenviar
  // request left for this agent; failures are logged, the cycle goes on.
  void AplicarReenvios();
  // Sends the pending items; returns the sent and failed counts.
  // `EventosEmEspera`: identifiers this cycle's batch left waiting for the
  // delivery of the text it queued.
  std::pair<int, int> EnviarPendentes(int EventosEmEspera);
  // Writes the marks of documents delivered in an earlier cycle whose mark
  // failed; raises when one fails again.
  void GravarMarcasAtrasadas();
  bool ParadaSolicitada() const;

  // Declared in creation order, so they are released in reverse: the
  // executor before the connection it uses.
  std::unique_ptr<TDBProvider> FDBProvider;
  std::unique_ptr<TSQLExecutor> FExecutor;
  std::unique_ptr<TFolderXMLCollector> FFolderCollector;
  std::unique_ptr<TLocalQueue> FQueue;
  std::unique_ptr<THTTPSender> FSender;
  std::unique_ptr<TRelatorioStatus> FRelatorio;

  StopEvent* FStopEvent;
  int FStopSubscription = 0;
  // Delivered, but the queue could not record it: never sent again while
  // the process lives, and marked at the next cycle.
  std::vector<TQueueItem> FEntreguesSemMarca;
  // The portal asked (Retry-After) not to be sent to before then.
  std::chrono::steady_clock::time_point FEnvioRetomadoEm{};
  bool FConfigVerificada = false;
  bool FContinuarSemEspera = false;
};

}  // namespace lumacor

#endif  // LUMACOR_SERVICE_SYNCRUNNER_H_
