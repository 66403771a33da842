// Letters to frequent patterns: level-wise mining, then the length and redundancy filter.
#pragma once

#include <array>
#include <cstddef>
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
    // The pattern length being mined.
    int cur_len = 2;
    // Patterns with their occurrences, ascending: their letters end to end, pattern i ending
    // at letter_ends[i], and their occurrences end to end, pattern i's ending at
    // occurrence_ends[i].
    struct Survivors {
        std::vector<char> letters;
        std::vector<std::size_t> letter_ends;
        Occurrences occurrences;
        std::vector<std::size_t> occurrence_ends;
    };
    // The patterns that survived the last mine; none after an interrupted one.
    Survivors survivors;
};

// Length of the longest common subsequence (gaps allowed) of two patterns.
double lcs(const Pattern& a, const Pattern& b);

// lcs against one fixed pattern a, prepared once for the many patterns it is compared with.
// Bit-parallel (Allison and Dix; Hyyro): a column of one bit per letter of a, updated per
// letter of the other pattern; its zero bits count the common subsequence so far.
class CommonSubsequence {
public:
    using Word = unsigned long long;

    explicit CommonSubsequence(const char* a, std::size_t size);
    explicit CommonSubsequence(const Pattern& a);
    // lcs(a, b).
    double length(const Pattern& b) const;

    // Words in one column.
    std::size_t column_words() const { return words; }
    // Whether a holds the letter; a letter it lacks leaves the column as it is.
    bool contains(char letter) const {
        return slot_of_letter[static_cast<unsigned char>(letter)] != 0;
    }
    // The column before any letter: lcs 0.
    void start(Word* column) const;
    // `next` = `column` after one more letter; the two may be the same array. Returns whether
    // the lcs grew by it (by one: it never grows more).
    bool step(const Word* column, Word* next, char letter) const {
        const int slot = slot_of_letter[static_cast<unsigned char>(letter)];
        if (words != 1 || slot == 0) {
            return step_words(column, next, slot);
        }
        // One word, the common case, inline: see step_words.
        const Word v = column[0];
        const Word mask = masks[static_cast<std::size_t>(slot) - 1];
        const Word zeros = ~v & first_live;
        next[0] = (v + (v & mask)) | (v & ~mask);
        return zeros == 0 || ((mask >> highest_bit(zeros)) >> 1) != 0;
    }

private:
    static constexpr std::size_t word_bits = 64;

    bool step_words(const Word* column, Word* next, int slot) const;
    // The bits of word w that stand for letters of a.
    Word live_bits(std::size_t w) const;
    static std::size_t highest_bit(Word word) {
#if defined(__GNUC__)
        return word_bits - 1 - static_cast<std::size_t>(__builtin_clzll(word));
#else
        std::size_t bit = 0;
        while (word >>= 1) {
            ++bit;
        }
        return bit;
#endif
    }

    // Words per bit row over the letters of a.
    std::size_t words;
    // Letters in a.
    std::size_t bits = 0;
    // live_bits(0).
    Word first_live = 0;
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
