#include "service/WinService.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace lumacor {
namespace {

TEST(WinServiceTest, IntervalInMilliseconds) {
  struct Case {
    int32_t seconds;
    uint32_t ms;
  } cases[] = {
      {0, 0},  // cycles back to back
      {60, 60000},
      {-1, 60000},  // negative: the default minute
      {INT32_MIN, 60000},
      {4294967, 4294967000u},  // still fits a 32-bit wait
      {4294968, 0xFFFFFFFEu},  // clamped short of "forever"
      {INT32_MAX, 0xFFFFFFFEu},
  };
  for (const auto& c : cases) EXPECT_EQ(IntervaloMs(c.seconds), c.ms) << c.seconds;
}

TEST(WinServiceTest, StopEventStaysSignalled) {
  StopEvent ev;
  EXPECT_EQ(ev.Wait(0), WaitResult::kTimeout);
  EXPECT_EQ(ev.Wait(20), WaitResult::kTimeout);
  ev.Set();
  EXPECT_EQ(ev.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(ev.Wait(1000000), WaitResult::kSignaled);  // manual reset
}

TEST(WinServiceTest, StopEventListenersRunOnceFromTheSetterUntilUnsubscribed) {
  StopEvent ev;
  int early = 0, removed = 0;
  int a = ev.Subscribe([&] { ++early; });
  int b = ev.Subscribe([&] { ++removed; });
  ev.Unsubscribe(b);
  ev.Set();
  ev.Set();  // already set: nobody is called again
  EXPECT_EQ(early, 1);
  EXPECT_EQ(removed, 0);
  int late = 0;
  int c = ev.Subscribe([&] { ++late; });  // a stop that came first is not missed
  EXPECT_EQ(late, 1);
  ev.Unsubscribe(a);
  ev.Unsubscribe(c);
}

}  // namespace
}  // namespace lumacor
