// How a caller stops long work: a check the core calls every so many units of work.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace qel {

// Handed in by a caller to stop long work: it returns normally to go on, or throws to stop.
// An empty check never stops anything.
using InterruptCheck = std::function<void()>;

// Calls an interrupt check once per `interval` units of work, so that a loop can count its
// work unit by unit without paying for a call each time.
class InterruptPoll {
public:
    explicit InterruptPoll(InterruptCheck check, std::int64_t interval = 1 << 14)
        : check(std::move(check)), interval(interval), left(interval) {}

    // Counts `units` of work done, calling the check when an interval is used up.
    void tick(std::int64_t units = 1) {
        left -= units;
        if (left <= 0) {
            left = interval;
            if (check) {
                check();
            }
        }
    }

private:
    // What is called once per interval; empty for none.
    InterruptCheck check;
    // Units of work between two calls of the check.
    std::int64_t interval;
    // Units left before the next call.
    std::int64_t left;
};

}  // namespace qel
