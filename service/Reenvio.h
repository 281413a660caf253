// Putting definitive failures back in line: on request of the operator
// (/reenviar), and once when the delivery settings changed since the last
// run, so that a mended endpoint or token reaches the documents that were
// rejected meanwhile.
#ifndef LUMACOR_SERVICE_REENVIO_H_
#define LUMACOR_SERVICE_REENVIO_H_

#include <string>
#include <vector>

#include "config/Config.h"
#include "platform/FileSystem.h"
#include "queue/LocalQueue.h"

namespace lumacor {

// A fingerprint of the endpoint, the CNPJ and the token; the token cannot
// be read back from it.
std::string ImpressaoConfigEnvio(const TSincConfig& cfg);

// Compares the fingerprint of `cfg` with the one the queue recorded, and
// when they differ re-queues every definitive failure and logs one line
// (none when there was nothing to re-queue). The first run only records
// it; an incomplete configuration is skipped. Returns the rows re-queued.
int ReenfileirarSeConfigMudou(TLocalQueue& Queue, const TSincConfig& cfg);

// The request file a /reenviar leaves for the running agent, beside the
// queue file.
std::string CaminhoPedidoReenvio(const TSincConfig& cfg);

// Adds `Chaves` (all failures when empty) to the request file.
void GravarPedidoReenvio(const std::string& Caminho, const std::vector<std::string>& Chaves,
                         FileSystem* fs = FileSystem::Default());

// Applies and removes a request file, if there is one, logging one line.
// Returns the rows re-queued, -1 when there was no request.
int AplicarPedidoReenvio(TLocalQueue& Queue, const std::string& Caminho,
                         FileSystem* fs = FileSystem::Default());

// The /reenviar command: re-queues at once when no agent holds the queue,
// else leaves the request file. Writes what it did through `saida` and to
// the agent's log (GLogger must exist). Returns the exit code.
int ComandoReenviar(const std::vector<std::string>& Chaves, void (*saida)(const std::string&),
                    FileSystem* fs = FileSystem::Default());

}  // namespace lumacor

#endif  // LUMACOR_SERVICE_REENVIO_H_
