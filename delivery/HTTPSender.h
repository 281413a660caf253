// Delivery of one queued document to the accountant portal's HTTP API.
#ifndef LUMACOR_DELIVERY_HTTPSENDER_H_
#define LUMACOR_DELIVERY_HTTPSENDER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/HttpClient.h"
#include "platform/Process.h"

namespace lumacor {

struct TEnvioResult {
  bool Sucesso = false;
  std::string Status;        // the portal's "status" on success; empty on failure
  std::string MensagemErro;  // what the queue stores as the last error; empty on success
  int32_t HTTPCode = 0;      // 0 when no answer was received
};

class THTTPSender {
 public:
  // Creates the client with the default settings. Raises HttpError when the
  // platform cannot supply one.
  THTTPSender();
  // Uses `AClient` (tests lower its time-outs or trust a test CA) and reads
  // COMPUTERNAME from `AProcess`.
  explicit THTTPSender(std::unique_ptr<HttpClient> AClient, Process* AProcess = Process::Default());
  ~THTTPSender();

  THTTPSender(const THTTPSender&) = delete;
  THTTPSender& operator=(const THTTPSender&) = delete;

  // POSTs the document to EndpointAPI + "/xml/receber", reading the
  // configuration from GConfigManager now. Never raises: every failure
  // comes back in the result.
  TEnvioResult Enviar(const std::string& ChaveUnica, const std::string& XML);

 private:
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
