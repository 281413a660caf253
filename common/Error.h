#ifndef LUMACOR_COMMON_ERROR_H_
#define LUMACOR_COMMON_ERROR_H_

#include <string>

namespace lumacor {

// Message of the exception being handled; call only inside a catch block.
std::string CurrentErrorMessage();

}  // namespace lumacor

#endif  // LUMACOR_COMMON_ERROR_H_
