#include "platform/HttpClient.h"

namespace lumacor {

bool IsFollowedRedirect(int32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

void CheckRedirect(const UrlOrigin& endpoint, const UrlOrigin& from, const UrlOrigin& to,
                   const std::string& location) {
  if (to.scheme != "http" && to.scheme != "https") {
    throw HttpError("EHTTPRedirectError", "Redirecionamento recusado para " + location);
  }
  if (from.scheme == "https" && to.scheme == "http") {
    throw HttpError("EHTTPRedirectError",
                    "Redirecionamento de https para http recusado: " + location);
  }
  if (to.host != endpoint.host) {
    throw HttpError("EHTTPRedirectError", "Redirecionamento para outro servidor recusado: " +
                                              location + " (atualize endpoint_contador)");
  }
}

}  // namespace lumacor
