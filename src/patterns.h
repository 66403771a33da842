// Letters to frequent patterns: level-wise mining, then the length and redundancy filter.
#pragma once

#include <array>
#include <map>
#include <vector>

#include "motif.h"
#include "sax.h"

namespace qel {

// Lexicographic order over letters read as signed 8-bit values, whatever the signedness of
// char on the platform; a pattern sorts before every longer pattern that begins with it.
struct PatternOrder {
    bool operator()(const Pattern& a, const Pattern& b) const;
};

// Each frequent pattern with its motif, ascending by pattern.
using FrequentPatterns = std::map<Pattern, Motif, PatternOrder>;

// Finds every contiguous pattern that occurs in at least max(1, minsup x number of sequences)
// sequences, with all its occurrences, and keeps the long, non-redundant ones.
class PatternMiner {
public:
    PatternMiner(double minsup, int min_len, int max_len, double max_overlap);

    // Mines `sequences` from a fresh state; the result is left for get_frequent.
    void mine(const std::vector<Symbols>& sequences);

    // Called throughout `mine`; when it throws, mining stops and the exception propagates.
    void set_interrupt_check(InterruptCheck check);

    // A copy of the patterns that survived mining and filtering.
    FrequentPatterns get_frequent() const;

    // The level that mining would have taken up next: one more than the last length mined.
    int get_cur_len() const;

private:
    void mine_1_patterns(const std::vector<Symbols>& sequences);
    std::vector<Pattern> get_candidates() const;
    void find_candidate(FrequentPatterns::iterator entry, const std::vector<Symbols>& sequences,
                        InterruptPoll& poll);
    void prune_infrequent(FrequentPatterns::iterator entry);
    std::vector<Pattern> remove_short();
    void remove_redundant(InterruptPoll& poll);

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
    // Patterns held frequent so far, each with its occurrences.
    FrequentPatterns frequent;
    // Minimum support in sequences: number of sequences x minsup, at least 1.
    double abs_minsup = 0.0;
    // The pattern length being mined.
    int cur_len = 2;
    // Entry k: the patterns of length k that passed the support test, ascending.
    std::vector<std::vector<Pattern>> frequent_by_len = std::vector<std::vector<Pattern>>(2);
};

// Length of the longest common subsequence (gaps allowed) of two patterns.
double lcs(const Pattern& a, const Pattern& b);

// lcs against one fixed pattern, prepared once for the many patterns it is compared with.
class CommonSubsequence {
public:
    explicit CommonSubsequence(const Pattern& a);
    // lcs(a, b).
    double length(const Pattern& b) const;

private:
    using Word = unsigned long long;
    static constexpr std::size_t word_bits = 64;

    // Words per bit row over the letters of a.
    std::size_t words;
    // Letters in a.
    std::size_t bits = 0;
    // Byte -> 1 + index of its mask in `masks`, 0 for a letter not in a.
    std::array<int, 256> slot_of_letter;
    // Per distinct letter of a, `words` words with bit i set where a[i] is that letter.
    std::vector<Word> masks;
};


// ---- The filter on its own, for a frequent set gathered elsewhere ---------------------------

// Of `longest_first` (patterns by descending length, ascending within a length), flags those
// that an unflagged pattern at least as long overlaps by more than `max_overlap` of their
// letters; PatternMiner's redundancy filter.
std::vector<bool> redundant_patterns(const std::vector<Pattern>& longest_first, double max_overlap,
                                     InterruptPoll& poll);

// What PatternMiner's length and redundancy filter keeps of the frequent set `frequent`
// (any order), ascending.
std::vector<Pattern> keep_patterns(std::vector<Pattern> frequent, int min_len, double max_overlap,
                                   InterruptPoll& poll);

}  // namespace qel
