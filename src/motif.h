// One frequent pattern's record: where it occurs, and its measures on the numeric series.
#pragma once

#include <unordered_map>
#include <vector>

#include "sax.h"

namespace qel {

// A non-empty run of letters, looked for as a contiguous run in symbol sequences.
using Pattern = Symbols;
// Series position -> segment positions at which an occurrence starts, in recording order.
using OccurrenceIndex = std::unordered_map<int, std::vector<int>>;
// Series position -> one value per point of an occurrence.
using AverageOccurrences = std::unordered_map<int, std::vector<double>>;
// Series position -> first point of the occurrence closest to the representative.
using BestMatches = std::unordered_map<int, int>;

// A plain value: copies are deep, and every getter hands out a copy.
class Motif {
public:
    explicit Motif(Pattern pattern);

    // Notes one occurrence: `position` (a segment index) in series `series`.
    void record_index(int series, int position);

    // Measures the occurrences on `ts`, the series the pattern was mined from, recomputing
    // every measure; segment positions become points through `seglen`.
    void map(const SeriesSet& ts, int seglen);
    // The same, counting its work (points read) on `poll`.
    void map(const SeriesSet& ts, int seglen, InterruptPoll& poll);
    // The `length` points of `series` from segment `position` on, NaN past its end.
    std::vector<double> get_occurrence(const Series& series, int position) const;
    void set_average_occurrences(const SeriesSet& ts, InterruptPoll& poll);
    void set_representative();
    void set_best_matches_and_naed(const SeriesSet& ts, InterruptPoll& poll);

    // Support: the number of series with at least one recorded occurrence.
    int get_support() const;

    int get_length() const;
    double get_naed() const;
    std::vector<double> get_representative() const;
    // A view, not a copy: the miner reads every prefix's occurrences while joining.
    const OccurrenceIndex& get_indexes() const;
    AverageOccurrences get_average_occurrences() const;
    BestMatches get_best_matches() const;

    // The pattern's letters; set at construction and never changed.
    Pattern pattern;

private:
    // Segment length, in points, of the last mapping; 0 until mapped.
    int seglen = 0;
    // Points in one occurrence: seglen times the letters of the pattern; 0 until mapped.
    int length = 0;
    // Where the pattern occurs, in segments; every entry holds at least one position.
    OccurrenceIndex indexes;
    // Per series, the point-by-point NaN-skipping average of its occurrences.
    AverageOccurrences average_occurrences;
    // The average over series of the average occurrences, `length` points.
    std::vector<double> representative;
    // Per series, the first point of its occurrence closest to the representative.
    BestMatches best_matches;
    // Summed best-match distance divided by (series x length); 0.0 until mapped.
    double naed = 0.0;
};

}  // namespace qel
