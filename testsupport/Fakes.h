// Stand-ins for platform facilities whose real answers tests must control.
#ifndef LUMACOR_TESTSUPPORT_FAKES_H_
#define LUMACOR_TESTSUPPORT_FAKES_H_

#include <map>
#include <string>

#include "platform/Clock.h"
#include "platform/Process.h"

namespace lumacor::testing {

class FakeProcess : public Process {
 public:
  std::string exe_path;
  std::map<std::string, std::string> env;

  std::string ExecutablePath() override { return exe_path; }
  std::string GetEnv(const std::string& name) override {
    auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
  }
};

// A clock that stands still until moved; local time is UTC so tests read
// the same everywhere.
class FakeClock : public Clock {
 public:
  explicit FakeClock(TimePoint start) : now_(start) {}
  // 2026-05-20 14:05:09 UTC
  FakeClock() : FakeClock(TimePoint(std::chrono::seconds(1779285909))) {}

  TimePoint Now() override { return now_; }
  LocalTime ToLocal(TimePoint t) override;
  std::string TimeSeparator() override { return separator; }

  void Advance(std::chrono::seconds d) { now_ += d; }
  void Set(TimePoint t) { now_ = t; }

  std::string separator = ":";

 private:
  TimePoint now_;
};

}  // namespace lumacor::testing

#endif  // LUMACOR_TESTSUPPORT_FAKES_H_
