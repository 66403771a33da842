// Numbers to letters: z-normalisation, segment averages and the Gaussian breakpoints.
#pragma once

#include <vector>

#include "interrupt.h"
#include "types.h"

namespace qel {

class Workers;

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

// znorm_row on every series of `ts`, one symbol sequence per series in series order: the same
// values and letters, with the sums of four series at a time taken side by side, and series
// shared among up to `threads` threads when they hold points enough. Counts the points it
// reads on `poll`. An alphabet outside the table is std::invalid_argument; seglen must give
// every series a usable segment count (std::length_error otherwise).
std::vector<Symbols> znorm_rows(SeriesSet& ts, int seglen, int alphabet, InterruptPoll& poll, int threads = 1);
// The same on `workers`' threads.
std::vector<Symbols> znorm_rows(SeriesSet& ts, int seglen, int alphabet, InterruptPoll& poll, Workers& workers);

// Discretises one series: averages each segment of `seglen` points and maps it to a letter.
Symbols get_row(const Series& series, int seglen, int alphabet);

// The letter of one value: 'a' plus the number of breakpoints strictly below it.
char get_discrete_value(int alphabet, double value);

// Discretises every series of `ts`; one symbol sequence per series, in series order.
std::vector<Symbols> sax(const SeriesSet& ts, int seglen, int alphabet);

}  // namespace qel
