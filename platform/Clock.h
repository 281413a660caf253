// Clock and regional time settings. Tests substitute a fake clock for
// rotation and daily cleanup instead of sleeping.
#ifndef LUMACOR_PLATFORM_CLOCK_H_
#define LUMACOR_PLATFORM_CLOCK_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace lumacor {

struct LocalTime {
  int year = 0, month = 0, day = 0;  // month and day from 1
  int hour = 0, minute = 0, second = 0;
};

class Clock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  virtual ~Clock() = default;
  static Clock* Default();

  virtual TimePoint Now() = 0;
  // Local calendar time of `t` in the process's time zone.
  virtual LocalTime ToLocal(TimePoint t) = 0;
  // Separator between hours, minutes and seconds in the regional settings.
  virtual std::string TimeSeparator() = 0;

  LocalTime NowLocal() { return ToLocal(Now()); }
};

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_CLOCK_H_
