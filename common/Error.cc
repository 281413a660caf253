#include "common/Error.h"

#include <exception>

namespace lumacor {

std::string CurrentErrorMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "erro desconhecido";
  }
}

}  // namespace lumacor
