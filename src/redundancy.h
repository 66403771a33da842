// The redundancy filter: of patterns that overlap by more than max_overlap of their letters
// (their longest common subsequence), only the longest, first in pattern order, is kept.
// PatternMiner runs it on its prefix tree; keep_patterns on a frequent set gathered elsewhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "interrupt.h"
#include "types.h"

namespace qel {

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


// The frequent patterns as the filter walks them: their prefix tree, level by level. Every
// prefix of a frequent pattern is frequent, so each pattern of m + 1 letters extends one of m,
// and the extensions of one pattern stand together, in the order of their last letter.
struct PatternTree {
    struct Node {
        // Its extensions end at child_end in the level above (and begin where the previous
        // node's end); 0 in the top level.
        std::uint32_t child_end;
        // Its last letter.
        char letter;
    };
    // levels[m - 1]: the patterns of m letters, in pattern order.
    std::vector<std::vector<Node>> levels;
    // The letters of pattern `index` of `length` letters.
    std::function<Pattern(std::size_t length, std::size_t index)> letters_of;
};

// Drops every pattern of `tree` whose LCS with a kept pattern at least as long covers more
// than max_overlap (below 1) of its letters, and every pattern shorter than min_len. Patterns
// are taken longest first, equal lengths in pattern order; each one not dropped by then is
// kept and drops the later ones close to it. Returns the kept ones as (length, index), longest
// first.
std::vector<std::pair<std::size_t, std::size_t>> filter_redundant(PatternTree tree, int min_len, double max_overlap,
                                                                  InterruptPoll& poll);

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
