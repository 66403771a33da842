// The values every unit of the core passes around: series of numbers, letters, patterns.
#pragma once

#include <vector>

namespace qel {

// One time series: one value per point, indexed by point.
using Series = std::vector<double>;
// A set of series, indexed by series position; series may differ in length.
using SeriesSet = std::vector<Series>;
// The discretised form of one series: one letter per segment of `seglen` points.
using Symbols = std::vector<char>;
// A non-empty run of letters, looked for as a contiguous run in symbol sequences.
using Pattern = Symbols;

// Where one occurrence of a pattern starts: a series and a segment position in it.
struct Occurrence {
    // Index of the series in its set.
    int series;
    // First segment of the occurrence, in segments.
    int position;
};
// Occurrences grouped by ascending series; within a series in recording order.
using Occurrences = std::vector<Occurrence>;

}  // namespace qel
