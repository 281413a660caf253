// The portal's answer: LerStatus takes any text, and either names a status
// or raises its one documented error, never anything else.
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

#include "delivery/HTTPSender.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    lumacor::LerStatus(text);
  } catch (const std::runtime_error&) {
    // A JSON answer of the wrong shape: the send fails with its message.
  }
  return 0;
}
