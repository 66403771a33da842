// Mining a series set held in parts: what one part computes alone, in forms that add up
// across parts to what the miner computes on the whole set.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "motif.h"
#include "sax.h"

namespace qel {

// Every occurrence of a fixed list of distinct, non-empty patterns, found in one walk per
// start position: the walk follows the sequence down a letter tree of the patterns.
class PatternTrie {
public:
    explicit PatternTrie(const std::vector<Pattern>& patterns);

    // Calls found(pattern index, position) for every occurrence in `sequence`, by ascending
    // position (so each pattern's positions come out ascending).
    template <typename Found>
    void scan(const Symbols& sequence, Found&& found) const {
        for (std::size_t start = 0; start < sequence.size(); ++start) {
            int node = 0;
            for (std::size_t at = start; at < sequence.size(); ++at) {
                const int code = code_of_letter[static_cast<unsigned char>(sequence[at])];
                if (code < 0) {
                    break;
                }
                node = children[static_cast<std::size_t>(node) * letters + static_cast<std::size_t>(code)];
                if (node < 0) {
                    break;
                }
                const int pattern = pattern_at[static_cast<std::size_t>(node)];
                if (pattern >= 0) {
                    found(pattern, static_cast<int>(start));
                }
            }
        }
    }

private:
    // Byte -> dense letter code, -1 for a letter no pattern holds.
    std::array<int, 256> code_of_letter;
    // Distinct letters over all patterns: the fan-out of a node.
    std::size_t letters = 0;
    // Node n's child for letter code c at n x letters + c, -1 where none; node 0 is the root.
    std::vector<int> children;
    // Per node, the index of the pattern ending there, -1 for none.
    std::vector<int> pattern_at;
};

// Per pattern, the number of sequences holding it at least once (its support in them).
std::vector<std::int64_t> count_support(const std::vector<Symbols>& sequences,
                                        const std::vector<Pattern>& patterns);

// One pattern's occurrences in a part: (sequence, segment positions ascending) for each
// sequence holding it, by ascending sequence.
using PartOccurrences = std::vector<std::pair<int, std::vector<int>>>;

// Per pattern, where it occurs in `sequences`.
std::vector<PartOccurrences> find_occurrences(const std::vector<Symbols>& sequences,
                                              const std::vector<Pattern>& patterns);

// Points in an occurrence of `letters` letters: seglen x letters, refused as Motif's mapping
// refuses it (negative, or beyond int).
int occurrence_points(int seglen, std::size_t letters);

// The `length` points of `series` from segment `position` on, NaN past its end (as
// Motif::get_occurrence cuts them).
std::vector<double> cut_occurrence(const Series& series, int position, int seglen, int length);

// Point-by-point sums and counts of the values added, NaN skipped: a part's share of a mean.
struct PointSums {
    explicit PointSums(std::size_t points) : sums(points, 0.0), counts(points, 0) {}
    void add(const std::vector<double>& values);
    // sum / count per point, NaN where nothing was added (the miner's NaN-skipping mean).
    std::vector<double> means() const;

    std::vector<double> sums;
    std::vector<std::int64_t> counts;
};

// One series' average occurrence, `length` points: the NaN-skipping mean of its occurrences
// at `positions` (as Motif::set_average_occurrences averages each series).
std::vector<double> average_occurrence(const Series& series, const std::vector<int>& positions, int seglen,
                                       int length);

// A series' occurrence closest to a representative.
struct BestMatch {
    // Segment position of the occurrence; 0 when none comes closer than the start distance.
    int position = 0;
    // Euclidean distance over the occurrence's real points; 1e6 when none comes closer.
    double distance = 1000000.0;
};

// The best match among the occurrences at `positions` (ascending): a strictly smaller
// distance wins, so ties keep the earlier position and NaN never wins (as
// Motif::set_best_matches_and_naed chooses).
BestMatch best_match(const Series& series, const std::vector<int>& positions, int seglen,
                     const std::vector<double>& representative);

// Bytes that measuring patterns whose occurrences are `lengths` points long holds at most: what
// it returns per pattern (per-point sums and counts, or with `per_series` one average per
// series holding the pattern) and the working space of one series' average. Checked against
// the memory there is before the first of it is allocated.
double measuring_bytes(const std::vector<int>& lengths, const std::vector<PartOccurrences>& occurrences,
                       bool per_series);

// One part of a series set made ready for mining: its series z-normalised and discretised
// exactly as the miner does it to the whole set (each series depends only on itself).
struct PreparedPart {
    // Points per letter the letters were made with.
    int seglen = 0;
    // The part's series, z-normalised, in part order.
    SeriesSet series;
    // Each series' letters, in the same order.
    std::vector<Symbols> letters;
};

// Z-normalises `series` (in place, then kept) and discretises it; the errors are sax's.
PreparedPart prepare_part(SeriesSet series, int seglen, int alphabet);

}  // namespace qel
