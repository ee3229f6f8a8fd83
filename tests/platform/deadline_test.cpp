#include "platform/deadline.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using clst::platform::Deadline;
using clst::platform::Period;
using namespace std::chrono_literals;

// Milliseconds left are rounded up, so that a wait of that many milliseconds
// never ends before the deadline; a passed deadline leaves nothing.
TEST(DeadlineTest, RemainingMillisecondsRoundUp) {
    const auto now = Deadline::Clock::now();
    const struct {
        Deadline::Clock::duration ahead;
        int ms;
    } rows[] = {{-5ms, 0}, {0ms, 0}, {1us, 1}, {1ms, 1}, {1ms + 1us, 2}, {100ms, 100}};
    for (const auto& row : rows) {
        const Deadline deadline(now + row.ahead);
        EXPECT_EQ(deadline.RemainingMs(now), row.ms) << row.ahead.count();
        EXPECT_EQ(deadline.Passed(now), row.ahead <= 0ms) << row.ahead.count();
    }
    EXPECT_TRUE(Deadline().Passed());
}

// A period is due once per span, counted from the check that found it due.
TEST(DeadlineTest, PeriodIsDueOncePerSpanFromTheCheck) {
    Period period(1s, /*dueNow=*/true);
    const auto start = Deadline::Clock::now();
    EXPECT_TRUE(period.Due(start));
    EXPECT_FALSE(period.Due(start + 999ms));
    EXPECT_TRUE(period.Due(start + 3s));  // late: one turn, not three
    EXPECT_FALSE(period.Due(start + 3s + 999ms));
    EXPECT_TRUE(period.Due(start + 4s));
    EXPECT_FALSE(Period(1s).Due());
}

}  // namespace
