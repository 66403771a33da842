// Mining a series set held in parts, in two phases: what one part computes alone, in forms
// that add up across parts to what the miner computes on the whole set. The measures are
// motif.h's, run on one part; qel/distributed.py adds the parts up.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "types.h"

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

// Per pattern, where it occurs in `sequences`: grouped by ascending sequence, each sequence's
// segment positions ascending (the order in which the miner records them).
std::vector<Occurrences> find_occurrences(const std::vector<Symbols>& sequences,
                                          const std::vector<Pattern>& patterns);

// Each pattern's occurrence length in points (motif.h's occurrence_length), in order; its errors
// for the first pattern that has none.
std::vector<int> occurrence_lengths(int seglen, const std::vector<Pattern>& patterns);

// The settings a driver of the steps must refuse as the miner refuses them, checked by the
// miner's own code on an empty set (so its messages exist once): the support rule of the
// pattern miner (std::invalid_argument), and a negative count of motifs to select
// (std::length_error).
void check_support_rule(double minsup, int max_len);
void check_selection(int k);

// Bytes that measuring patterns whose occurrences are `lengths` points long holds at most: what
// it returns per pattern (per-point sums and counts, or with `per_series` one average per
// series holding the pattern) and the working space of one series' average. Checked against
// the memory there is before the first of it is allocated.
double measuring_bytes(const std::vector<int>& lengths, const std::vector<const Occurrences*>& occurrences,
                       bool per_series);

// Where some patterns occur in one part's letters, by pattern.
struct FoundPatterns {
    std::map<Pattern, Occurrences> occurrences;
};

// The patterns a part was last searched for and where they occur. The two passes and the
// details of a mining run measure the same patterns (the details a few of them), so the part
// is searched once, not three times. Only ever a copy of what searching again would find.
// Held from the first pass to the details, which let it go: the occurrences of the kept
// patterns, at most one per letter and pattern length, are each 8 bytes.
class RecentSearch {
public:
    // What was found last, if it holds every one of `patterns`; null otherwise.
    std::shared_ptr<const FoundPatterns> holding(const std::vector<Pattern>& patterns) const;
    void remember(std::shared_ptr<const FoundPatterns> found);
    void forget();

private:
    mutable std::mutex guard;
    std::shared_ptr<const FoundPatterns> last;
};

// One part of a series set made ready for mining: its series z-normalised and discretised
// exactly as the miner does it to the whole set (each series depends only on itself).
struct PreparedPart {
    // Points per letter the letters were made with.
    int seglen = 0;
    // The part's series, z-normalised, in part order.
    SeriesSet series;
    // Each series' letters, in the same order.
    std::vector<Symbols> letters;
    // Shared by copies of the part, which hold the same letters.
    std::shared_ptr<RecentSearch> recent = std::make_shared<RecentSearch>();
};

// Z-normalises `series` (in place, then kept) and discretises it; the errors are sax's.
PreparedPart prepare_part(SeriesSet series, int seglen, int alphabet);

// What a part contributes to one pattern's representative: the point-by-point sums and counts
// of the average occurrences of its series (qel.distributed adds them over parts).
struct AverageSums {
    std::vector<double> sums;
    std::vector<std::int64_t> counts;
};

// Per pattern, the part's share of its representative. The patterns must be distinct and
// non-empty.
std::vector<AverageSums> average_sums(const PreparedPart& part, const std::vector<Pattern>& patterns);

// Per pattern, the summed distance of the best match of every series of the part holding it to
// the pattern's `representatives` (the part's share of naed before dividing).
std::vector<double> distance_sums(const PreparedPart& part, const std::vector<Pattern>& patterns,
                                  const std::vector<std::vector<double>>& representatives);

// One pattern's measures on the series of a part that hold it, in flat arrays (a large part
// holds hundreds of thousands of such series: they travel as a few arrays, not as many lists).
struct PartDetails {
    // Each series holding the pattern, by its index in the part, ascending.
    std::vector<int> series;
    // Per series, how many occurrences it holds.
    std::vector<int> counts;
    // The occurrences' segment positions, series after series, each series' ascending.
    std::vector<int> positions;
    // Each series' average occurrence, `length` points, series after series.
    std::vector<double> averages;
    // Per series, the first point of its best match, in points.
    std::vector<int> best_starts;
};

// Per pattern, its measures on every series of the part that holds it, given the pattern's
// representative.
std::vector<PartDetails> part_details(const PreparedPart& part, const std::vector<Pattern>& patterns,
                                      const std::vector<std::vector<double>>& representatives);

}  // namespace qel
