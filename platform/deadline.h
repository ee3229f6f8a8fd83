// One clock for every wait the program keeps: read and write time-outs,
// retry pauses, the relay's waits, periodic checks. A Deadline is a point on
// the monotonic clock; a Period is a deadline that moves on each time it is
// met. Header-only, so that the emulated libraries and the pair host can use
// it without the platform library.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace clst::platform {

class Deadline {
  public:
    using Clock = std::chrono::steady_clock;

    // A deadline that has passed already.
    Deadline() = default;
    explicit Deadline(Clock::time_point when) : when_(when) {}

    static Deadline In(Clock::duration span) { return Deadline(Clock::now() + span); }
    static Deadline InMs(uint32_t ms) { return In(std::chrono::milliseconds(ms)); }

    Clock::time_point when() const { return when_; }
    bool Passed(Clock::time_point now = Clock::now()) const { return now >= when_; }

    Clock::duration Remaining(Clock::time_point now = Clock::now()) const {
        return now >= when_ ? Clock::duration::zero() : when_ - now;
    }

    // Whole milliseconds left, rounded up: a wait of that many milliseconds
    // (poll, a library's time-out) never ends before the deadline, and a
    // deadline less than a millisecond away still waits. 0 once passed.
    int RemainingMs(Clock::time_point now = Clock::now()) const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(Remaining(now)).count();
        constexpr long long kMax = 0x7FFFFFFF;
        return static_cast<int>(left < kMax ? left : kMax);
    }

    // Sleeps until the deadline has passed.
    void SleepUntil() const { std::this_thread::sleep_until(when_); }

  private:
    Clock::time_point when_{};
};

// Something due every `span`: Due() is true once per period, and the next
// period starts from the moment it was found due, so a late check does not
// make a burst of catch-up turns.
class Period {
  public:
    using Clock = Deadline::Clock;

    // The first turn is due at once when `dueNow`, else one span from now.
    explicit Period(Clock::duration span, bool dueNow = false)
        : span_(span), next_(dueNow ? Deadline() : Deadline::In(span)) {}

    bool Due(Clock::time_point now = Clock::now()) {
        if (!next_.Passed(now)) {
            return false;
        }
        next_ = Deadline(now + span_);
        return true;
    }

    const Deadline& next() const { return next_; }

  private:
    Clock::duration span_;
    Deadline next_;
};

}  // namespace clst::platform
