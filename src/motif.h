// One frequent pattern's record, and its measures on the numeric series: the averages of its
// occurrences, the representative, the distances and the best matches. This is the only place
// they are computed; the partitioned steps (partitioned.h) call the same functions on a part.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "interrupt.h"
#include "types.h"

namespace qel {

class Workers;

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

// Maps every motif on `ts` (see Motif::map), on up to `threads` threads when the motifs' points
// are many enough to repay starting one. Each motif's measures are what mapping it alone
// gives; an error is the one mapping them in order meets first.
void map_motifs(std::vector<Motif>& motifs, const SeriesSet& ts, int seglen, int threads, InterruptPoll& poll);
// The same on up to `threads` of `workers`' threads, however few the points (the caller has
// weighed them, with mapping_threads).
void map_motifs(std::vector<Motif>& motifs, const SeriesSet& ts, int seglen, int threads, Workers& workers,
                InterruptPoll& poll);

// The threads map_motifs uses for these motifs when it may use `threads`.
int mapping_threads(const std::vector<Motif>& motifs, int seglen, int threads);

// ---- The measures, step by step ---------------------------------------------------------------
// Motif::map runs them on a whole series set; the partitioned steps run them on one part at a
// time and add up what they return across parts.

// Points in an occurrence of `letters` letters: seglen x letters. std::length_error when that is
// negative (the error a reservation of a negative count gives), std::overflow_error beyond int.
int occurrence_length(int seglen, std::size_t letters);

// Calls visit(series, first, last) for each run [first, last) of `occurrences` in one series.
template <typename Visit>
void for_each_series(const Occurrences& occurrences, Visit visit) {
    for (std::size_t first = 0; first < occurrences.size();) {
        std::size_t last = first + 1;
        while (last < occurrences.size() && occurrences[last].series == occurrences[first].series) {
            ++last;
        }
        visit(occurrences[first].series, first, last);
        first = last;
    }
}

// Point-by-point sums and counts of the values added, NaN skipped: a NaN-skipping mean in a
// form that adds up, so that the sums of parts add to the sums of the whole.
struct PointSums {
    explicit PointSums(std::size_t points) : sums(points, 0.0), counts(points, 0.0) {}

    // Adds `values[k]` to point k for k < n (n at most the points), skipping NaN.
    void add(const double* values, std::size_t n);
    // Back to no value added.
    void clear();
    // sum / count at point k; NaN where no value was added.
    double mean(std::size_t k) const;

    // Per point, the sum of the real values added; never -0.0.
    std::vector<double> sums;
    // Per point, how many real values were added (whole numbers, held as doubles).
    std::vector<double> counts;
};

// Writes to average[0, length) the average occurrence of one series: per point, the mean of the
// real values of its occurrences [first, last), NaN where none has one. Points past the
// series' end count as NaN. `scratch` is working space of `length` points.
void average_occurrence(const Series& series, const Occurrence* first, const Occurrence* last, int seglen,
                        int length, PointSums& scratch, double* average, InterruptPoll& poll);

// Every series' average occurrence, `length` points each, end to end in the order of the
// series of `occurrences` (which must be grouped by ascending series).
std::vector<double> average_occurrences(const SeriesSet& ts, const Occurrences& occurrences, int seglen,
                                        int length, InterruptPoll& poll);

// The representative of `series` average occurrences held end to end in `averages`: per point
// the NaN-skipping mean over series, each weighing the same however many occurrences it has.
// `length` zeros when there is no series.
std::vector<double> representative_of(const std::vector<double>& averages, int series, int length);

// Each occurrence's Euclidean distance to `representative`, over the points where the
// occurrence is real (not NaN, not past its series' end).
std::vector<double> distances(const SeriesSet& ts, const Occurrences& occurrences, int seglen,
                              const std::vector<double>& representative, InterruptPoll& poll);

// A series' occurrence closest to the representative.
struct BestMatch {
    // Segment position of the occurrence; 0 when none comes closer than the start distance.
    int position = 0;
    // Its distance; 1e6, the start of the search, when none comes closer (all NaN, say).
    double distance = 1000000.0;
};

// Per series of `occurrences`, ascending, its best match given each occurrence's distance: a
// strictly smaller distance wins, so ties keep the earlier position and NaN never wins.
std::vector<BestMatch> best_matches(const Occurrences& occurrences, const std::vector<double>& distances);

// The summed distance of the best matches over (series x length): the motif's quality, lower
// being better; NaN without series.
double naed_of(const std::vector<BestMatch>& best, int length);

}  // namespace qel
