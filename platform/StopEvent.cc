#include "platform/StopEvent.h"

#include <chrono>

namespace lumacor {

void StopEvent::Set() {
  {
    // Listeners run under the lock, so Unsubscribe can wait for them.
    std::lock_guard<std::mutex> lock(mu_);
    bool first = !signaled_;
    signaled_ = true;
    if (first) {
      for (auto& [id, fn] : listeners_) fn();
    }
  }
  cv_.notify_all();
}

int StopEvent::Subscribe(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mu_);
  if (signaled_) fn();
  int id = ++next_id_;
  listeners_.emplace(id, std::move(fn));
  return id;
}

void StopEvent::Unsubscribe(int id) {
  std::lock_guard<std::mutex> lock(mu_);
  listeners_.erase(id);
}

bool StopEvent::IsSet() {
  std::lock_guard<std::mutex> lock(mu_);
  return signaled_;
}

WaitResult StopEvent::Wait(uint32_t timeout_ms) {
  try {
    std::unique_lock<std::mutex> lock(mu_);
    bool signaled =
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return signaled_; });
    return signaled ? WaitResult::kSignaled : WaitResult::kTimeout;
  } catch (...) {
    return WaitResult::kFailed;
  }
}

}  // namespace lumacor
