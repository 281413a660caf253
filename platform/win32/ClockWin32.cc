#include "platform/Clock.h"
#include "platform/win32/WinApi.h"

namespace lumacor {

namespace {

// 100-ns ticks between 1601-01-01 (FILETIME) and 1970-01-01 (Unix).
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

class WinClock : public Clock {
 public:
  TimePoint Now() override { return std::chrono::system_clock::now(); }

  LocalTime ToLocal(TimePoint t) override {
    int64_t ticks =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() / 100 +
        kUnixEpochTicks;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    SYSTEMTIME utc, local;
    if (!::FileTimeToSystemTime(&ft, &utc)) return LocalTime{};
    // The rules of the year in question, daylight saving included, as
    // GetLocalTime would give for that moment.
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
    return LocalTime{local.wYear, local.wMonth,  local.wDay,
                     local.wHour, local.wMinute, local.wSecond};
  }

  std::string TimeSeparator() override {
    wchar_t buf[8];
    int n = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STIME, buf, 8);
    if (n <= 1) return ":";
    return win32::Narrow(std::wstring_view(buf, static_cast<size_t>(n - 1)));
  }
};

}  // namespace

Clock* Clock::Default() {
  static WinClock* clock = new WinClock;
  return clock;
}

}  // namespace lumacor
