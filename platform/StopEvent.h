// A manual-reset event with a timed wait: once signalled it stays
// signalled, so a stop request is never missed between two waits.
#ifndef LUMACOR_PLATFORM_STOPEVENT_H_
#define LUMACOR_PLATFORM_STOPEVENT_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace lumacor {

enum class WaitResult { kSignaled, kTimeout, kFailed };

class StopEvent {
 public:
  StopEvent() = default;
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;

  void Set();
  bool IsSet();
  // Waits up to `timeout_ms` milliseconds; tells a time-out from a signal.
  WaitResult Wait(uint32_t timeout_ms);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool signaled_ = false;
};

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_STOPEVENT_H_
