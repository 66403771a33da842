// Numbers to letters: z-normalisation, segment averages and the Gaussian breakpoints.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace qel {

// One time series: one value per point, indexed by point.
using Series = std::vector<double>;
// A set of series, indexed by series position; series may differ in length.
using SeriesSet = std::vector<Series>;
// The discretised form of one series: one letter per segment of `seglen` points.
using Symbols = std::vector<char>;

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
    InterruptCheck check;
    std::int64_t interval;
    std::int64_t left;
};

// Largest alphabet size the breakpoint table holds ('a' to 'j').
constexpr int max_alphabet = 10;

// Rewrites every series in place as (value - mean) / population deviation.
void znorm(SeriesSet& ts);
// The same for one series. A series whose points all compare equal becomes NaN values, however
// its mean rounds. A series whose values are so large or small that the sums overflow or
// underflow is first scaled by a power of two, to which normalising is blind.
void znorm_series(Series& series);

// znorm_series, then get_row on the result, in one pass over the values fewer. The segment
// count is checked before the series changes, the alphabet when there is a segment.
Symbols znorm_row(Series& series, int seglen, int alphabet);

// Discretises one series: averages each segment of `seglen` points and maps it to a letter.
Symbols get_row(const Series& series, int seglen, int alphabet);

// The letter of one value: 'a' plus the number of breakpoints strictly below it.
char get_discrete_value(int alphabet, double value);

// Discretises every series of `ts`; one symbol sequence per series, in series order.
std::vector<Symbols> sax(const SeriesSet& ts, int seglen, int alphabet);

}  // namespace qel
