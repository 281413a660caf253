// The document fingerprint stored in the queue's xml_hash column.
#ifndef LUMACOR_QUEUE_HASHSERVICE_H_
#define LUMACOR_QUEUE_HASHSERVICE_H_

#include <string>
#include <string_view>

namespace lumacor {

class THashService {
 public:
  THashService() = delete;

  // SHA-256 of the UTF-8 bytes `utf8`, exactly as given (no BOM added or
  // removed, no line-end or space normalisation), as 64 lower-case hex
  // digits. Text that came from UTF-16 must already have had its unpaired
  // surrogates replaced (Utf16ToUtf8 does that). The stored fingerprints
  // are compared case-sensitively, so the case of the digits matters.
  static std::string SHA256(std::string_view utf8);
};

}  // namespace lumacor

#endif  // LUMACOR_QUEUE_HASHSERVICE_H_
