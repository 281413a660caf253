// Delivery of one queued document to the accountant portal's HTTP API.
#ifndef LUMACOR_DELIVERY_HTTPSENDER_H_
#define LUMACOR_DELIVERY_HTTPSENDER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/HttpClient.h"
#include "platform/Process.h"

namespace lumacor {

struct TSincConfig;

// What a send means for the document.
enum class TDesfechoEnvio {
  deEntregue,      // the portal took it
  deTentarDepois,  // not the document's fault: retried later, not counted
  deRecusado,      // the portal refused it: counted against MaxTentativas
  deInterrompido,  // a stop cut the send short: nothing happened to it
};

struct TEnvioResult {
  bool Sucesso = false;
  std::string Status;        // the portal's "status" on success; empty on failure
  std::string MensagemErro;  // what the queue stores as the last error; empty on success
  int32_t HTTPCode = 0;      // 0 when no answer was received
  TDesfechoEnvio Desfecho = TDesfechoEnvio::deRecusado;
  // The portal itself is unavailable (no answer, refused credentials,
  // throttling, gateway down): the next documents would fail alike.
  bool PortalIndisponivel = false;
  // The portal's Retry-After on 429 or 503, in seconds (at most one hour);
  // 0 when it gave none.
  int32_t AguardarSegundos = 0;
};

// True when a failed answer says nothing against the document itself, so
// it must not use up the document's attempts: no answer (0), credentials
// refused (401, 403), request time-out (408), throttling (429), and
// server errors (5xx).
bool IsFalhaTransitoria(int32_t HTTPCode);

// True when an answer says the portal as a whole cannot take documents now.
bool IsPortalIndisponivel(int32_t HTTPCode);

// Seconds to wait from a Retry-After value (delay seconds, or an HTTP date
// compared with `agora`), bounded to [0, 3600]; 0 when it cannot be read.
int32_t LerRetryAfter(const std::string& valor, std::chrono::system_clock::time_point agora);

// `texto` with every occurrence of `token`, as written and as escaped in
// the JSON body, replaced by "***". An empty token changes nothing.
std::string OcultarToken(std::string texto, const std::string& token);

class THTTPSender {
 public:
  // Creates the client with the default settings. Raises HttpError when the
  // platform cannot supply one.
  THTTPSender();
  // Uses `AClient` (tests lower its time-outs or trust a test CA) and asks
  // `AProcess` for the computer name.
  explicit THTTPSender(std::unique_ptr<HttpClient> AClient, Process* AProcess = Process::Default());
  ~THTTPSender();

  THTTPSender(const THTTPSender&) = delete;
  THTTPSender& operator=(const THTTPSender&) = delete;

  // POSTs the document to EndpointAPI + "/xml/receber", reading the
  // configuration from GConfigManager now. Never raises: every failure
  // comes back in the result.
  TEnvioResult Enviar(const std::string& ChaveUnica, const std::string& XML);

  // Callable from any thread: cuts the send in flight short and refuses
  // every later one (deInterrompido). For a stop request.
  void Interromper();

 private:
  // The send itself; `sem_resposta` tells a failure before any answer.
  TEnvioResult EnviarCom(const TSincConfig& cfg, const std::string& ChaveUnica,
                         const std::string& XML, bool& sem_resposta);

  std::unique_ptr<HttpClient> FClient;
  Process* process_;
};

// The portal URL of an endpoint: every trailing "/" removed, then
// "/xml/receber" appended.
std::string MontarURL(std::string_view EndpointAPI);

// A JSON string literal of UTF-8 text, escaped one UTF-16 code unit at a
// time so the result is pure ASCII ("/" as "\/", non-ASCII as upper-case
// \uXXXX, surrogate pairs for characters beyond the BMP). Invalid UTF-8
// bytes are written as U+FFFD.
std::string JsonString(std::string_view utf8);

struct TCorpoEnvio {
  std::string CNPJ;
  std::string Token;
  std::string ChaveUnica;
  std::string XML;
  std::string DBType;
  std::string Hostname;
};

// The compact JSON body of one send, members in the portal's order.
std::string MontarCorpo(const TCorpoEnvio& c);

// The "status" of a 200/201 answer's decoded text: "recebido" when the text
// is not one complete JSON value or the object lacks a usable "status".
// Raises when the value is JSON but not an object, or "status" is an
// object or an array.
std::string LerStatus(const std::string& text);

}  // namespace lumacor

#endif  // LUMACOR_DELIVERY_HTTPSENDER_H_
