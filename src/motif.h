// One frequent pattern's record: where it occurs, and its measures on the numeric series.
#pragma once

#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "sax.h"

namespace qel {

// A non-empty run of letters, looked for as a contiguous run in symbol sequences.
using Pattern = Symbols;

// Where one occurrence of a pattern starts: a series and a segment position in it.
struct Occurrence {
    int series;
    int position;
};
// Occurrences grouped by ascending series; within a series in recording order.
using Occurrences = std::vector<Occurrence>;

// Series position -> segment positions at which an occurrence starts, in recording order.
using OccurrenceIndex = std::map<int, std::vector<int>>;
// Series position -> one value per point of an occurrence.
using AverageOccurrences = std::unordered_map<int, std::vector<double>>;
// Series position -> first point of the occurrence closest to the representative.
using BestMatches = std::unordered_map<int, int>;

// A value: copies are independent. The measures are immutable once computed, so copies share
// them until one of the copies is mapped again.
class Motif {
public:
    explicit Motif(Pattern pattern);
    // A motif with these occurrences, which must be grouped by ascending series.
    Motif(Pattern pattern, Occurrences occurrences);

    // Notes one occurrence: `position` (a segment index) in series `series`. Measures from an
    // earlier `map` are dropped.
    void record_index(int series, int position);

    // Measures the occurrences on `ts`, the series the pattern was mined from, recomputing
    // every measure; segment positions become points through `seglen`.
    void map(const SeriesSet& ts, int seglen);
    // The same, counting the points it reads on `poll`.
    void map(const SeriesSet& ts, int seglen, InterruptPoll& poll);

    // What `map` with this seglen allocates, in bytes: the measures it keeps, and what it
    // holds only while it runs. Both 0 where `map` refuses the seglen before allocating.
    struct MappingBytes {
        double kept = 0.0;
        double temporary = 0.0;
    };
    MappingBytes mapping_bytes(int seglen) const;

    // Support: the number of series with at least one recorded occurrence.
    int get_support() const;

    int get_length() const;
    double get_naed() const;
    std::vector<double> get_representative() const;
    const Occurrences& get_occurrences() const;
    OccurrenceIndex get_indexes() const;
    AverageOccurrences get_average_occurrences() const;
    BestMatches get_best_matches() const;

    // The pattern's letters; set at construction and never changed.
    Pattern pattern;

private:
    struct Measures;

    // Where the pattern occurs, in segments.
    Occurrences occurrences;
    // Distinct series in `occurrences`.
    int support = 0;
    // What the last `map` computed; null until mapped.
    std::shared_ptr<const Measures> measures;
};

}  // namespace qel
