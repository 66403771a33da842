// Numbers to letters: z-normalisation, segment averages and the Gaussian breakpoints.
#pragma once

#include <vector>

namespace qel {

// One time series: one value per point, indexed by point.
using Series = std::vector<double>;
// A set of series, indexed by series position; series may differ in length.
using SeriesSet = std::vector<Series>;
// The discretised form of one series: one letter per segment of `seglen` points.
using Symbols = std::vector<char>;

// Largest alphabet size the breakpoint table holds ('a' to 'j').
constexpr int max_alphabet = 10;

// Rewrites every series in place as (value - mean) / population deviation.
void znorm(SeriesSet& ts);
// The same for one series. Values so large or small that the sums overflow or underflow are
// first scaled by a power of two, which leaves the result what exact arithmetic would give.
void znorm_series(Series& series);

// Discretises one series: averages each segment of `seglen` points and maps it to a letter.
Symbols get_row(const Series& series, int seglen, int alphabet);

// The letter of one value: 'a' plus the number of breakpoints strictly below it.
char get_discrete_value(int alphabet, double value);

// Discretises every series of `ts`; one symbol sequence per series, in series order.
std::vector<Symbols> sax(const SeriesSet& ts, int seglen, int alphabet);

}  // namespace qel
