#include <time.h>

#include "platform/Clock.h"

namespace lumacor {

namespace {

class PosixClock : public Clock {
 public:
  TimePoint Now() override { return std::chrono::system_clock::now(); }

  LocalTime ToLocal(TimePoint t) override {
    time_t secs = std::chrono::system_clock::to_time_t(t);
    struct tm tm;
    localtime_r(&secs, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
  }

  // POSIX locales have no separate time separator setting; the colon is
  // what the usual Windows settings give.
  std::string TimeSeparator() override { return ":"; }
};

}  // namespace

Clock* Clock::Default() {
  static PosixClock* clock = new PosixClock;
  return clock;
}

}  // namespace lumacor
