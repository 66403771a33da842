// Letters to frequent patterns: level-wise mining, then the length and redundancy filter
// (redundancy.h).
#pragma once

#include <cstddef>
#include <map>
#include <vector>

#include "interrupt.h"
#include "motif.h"
#include "types.h"

namespace qel {

class Workers;

// Lexicographic order over letters read as signed 8-bit values, whatever the signedness of
// char on the platform; a pattern sorts before every longer pattern that begins with it.
struct PatternOrder {
    bool operator()(const Pattern& a, const Pattern& b) const;
};

// Each frequent pattern with its motif, ascending by pattern.
using FrequentPatterns = std::map<Pattern, Motif, PatternOrder>;

// Patterns with their occurrences, ascending: their letters end to end, pattern i ending at
// letter_ends[i], and their occurrences end to end, pattern i's ending at occurrence_ends[i].
struct MinedPatterns {
    std::vector<char> letters;
    std::vector<std::size_t> letter_ends;
    Occurrences occurrences;
    std::vector<std::size_t> occurrence_ends;
};

// Finds every contiguous pattern that occurs in at least max(1, minsup x number of sequences)
// sequences, with all its occurrences, and keeps the long, non-redundant ones.
class PatternMiner {
public:
    PatternMiner(double minsup, int min_len, int max_len, double max_overlap);

    // Mines `sequences` from a fresh state; the result is left for get_frequent.
    void mine(const std::vector<Symbols>& sequences);
    // The same on `workers`' threads (set_threads is not looked at).
    void mine(const std::vector<Symbols>& sequences, Workers& workers);

    // Called throughout `mine`; when it throws, mining stops and the exception propagates.
    void set_interrupt_check(InterruptCheck check);

    // The threads `mine` may use: 0 (the default) for available_threads() (parallel.h). The
    // result is the same whatever the number.
    void set_threads(int threads);

    // The patterns that survived mining and filtering, each with a motif of its occurrences.
    FrequentPatterns get_frequent() const;
    // The same motifs, ascending by pattern.
    std::vector<Motif> get_motifs() const;

    // The level that mining would have taken up next: one more than the last length mined.
    int get_cur_len() const;

private:
    // Minimum support as a fraction of the number of sequences (1.0: every sequence).
    double minsup;
    // Shortest pattern, in letters, that the filter keeps.
    int min_len;
    // Longest pattern, in letters, that is mined; 0 sets no limit.
    int max_len;
    // A pattern whose LCS with a longer kept one covers more than this fraction is dropped.
    double max_overlap;
    // See set_interrupt_check.
    InterruptCheck interrupt_check;
    // See set_threads.
    int threads = 0;
    // The pattern length being mined.
    int cur_len = 2;
    // The patterns that survived the last mine; none after an interrupted one.
    MinedPatterns survivors;
};

}  // namespace qel
