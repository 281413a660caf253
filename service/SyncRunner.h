// One synchronisation cycle: collect, queue, send, mark.
#ifndef LUMACOR_SERVICE_SYNCRUNNER_H_
#define LUMACOR_SERVICE_SYNCRUNNER_H_

#include <memory>

#include "platform/FileSystem.h"

namespace lumacor {

class TDBProvider;
class TSQLExecutor;
class TFolderXMLCollector;
class TLocalQueue;
class THTTPSender;

class TSyncRunner {
 public:
  // Creates the components of the configured collection mode. Raises the
  // error of the first component that fails; those made before are
  // released. The folder collector and the queue reach files through `fs`
  // (not owned; tests wrap it to inject faults).
  explicit TSyncRunner(FileSystem* fs = FileSystem::Default());
  ~TSyncRunner();

  TSyncRunner(const TSyncRunner&) = delete;
  TSyncRunner& operator=(const TSyncRunner&) = delete;

  // Runs one cycle. Collection and upsert errors are logged here; a failing
  // queue statement while sending leaves it.
  void Executar();

 private:
  // Declared in creation order, so they are released in reverse: the
  // executor before the connection it uses.
  std::unique_ptr<TDBProvider> FDBProvider;
  std::unique_ptr<TSQLExecutor> FExecutor;
  std::unique_ptr<TFolderXMLCollector> FFolderCollector;
  std::unique_ptr<TLocalQueue> FQueue;
  std::unique_ptr<THTTPSender> FSender;
};

}  // namespace lumacor

#endif  // LUMACOR_SERVICE_SYNCRUNNER_H_
