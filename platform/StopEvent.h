// A manual-reset event with a timed wait: once signalled it stays
// signalled, so a stop request is never missed between two waits.
#ifndef LUMACOR_PLATFORM_STOPEVENT_H_
#define LUMACOR_PLATFORM_STOPEVENT_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
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

  // Has `fn` run on the signalling thread when the event is set, or at once
  // here when it already is, until Unsubscribe. `fn` must be quick and must
  // not call back into this event. Lets a stop cut short a blocking call.
  int Subscribe(std::function<void()> fn);
  // After it returns the listener neither runs nor will run.
  void Unsubscribe(int id);
  // Waits up to `timeout_ms` milliseconds; tells a time-out from a signal.
  WaitResult Wait(uint32_t timeout_ms);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool signaled_ = false;
  int next_id_ = 0;
  std::map<int, std::function<void()>> listeners_;
};

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_STOPEVENT_H_
