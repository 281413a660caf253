#include "platform/StopEvent.h"

#include <chrono>

namespace lumacor {

void StopEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    signaled_ = true;
  }
  cv_.notify_all();
}

bool StopEvent::IsSet() {
  std::lock_guard<std::mutex> lock(mu_);
  return signaled_;
}

WaitResult StopEvent::Wait(uint32_t timeout_ms) {
  try {
    std::unique_lock<std::mutex> lock(mu_);
    bool signaled = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [this] { return signaled_; });
    return signaled ? WaitResult::kSignaled : WaitResult::kTimeout;
  } catch (...) {
    return WaitResult::kFailed;
  }
}

}  // namespace lumacor
