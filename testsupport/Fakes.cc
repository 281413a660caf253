#include "testsupport/Fakes.h"

namespace lumacor::testing {

LocalTime FakeClock::ToLocal(TimePoint t) {
  // Calendar arithmetic in the standard library: no gmtime_r on Windows.
  using namespace std::chrono;
  auto day = floor<days>(t);
  year_month_day ymd{day};
  hh_mm_ss hms{floor<seconds>(t - day)};
  return LocalTime{static_cast<int>(ymd.year()),
                   static_cast<int>(unsigned(ymd.month())),
                   static_cast<int>(unsigned(ymd.day())),
                   static_cast<int>(hms.hours().count()),
                   static_cast<int>(hms.minutes().count()),
                   static_cast<int>(hms.seconds().count())};
}

}  // namespace lumacor::testing
