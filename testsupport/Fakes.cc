#include "testsupport/Fakes.h"

#include <time.h>

namespace lumacor::testing {

LocalTime FakeClock::ToLocal(TimePoint t) {
  time_t secs = std::chrono::system_clock::to_time_t(t);
  struct tm tm;
  gmtime_r(&secs, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace lumacor::testing
