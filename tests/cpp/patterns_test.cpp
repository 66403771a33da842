#include "patterns.h"
#include "redundancy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace qel {
namespace {

Pattern p(const std::string& letters) { return Pattern(letters.begin(), letters.end()); }

std::vector<Symbols> sequences(const std::vector<std::string>& rows) {
    std::vector<Symbols> result;
    for (const std::string& row : rows) result.push_back(p(row));
    return result;
}

std::vector<std::string> keys(const FrequentPatterns& frequent) {
    std::vector<std::string> result;
    for (const auto& entry : frequent) result.emplace_back(entry.first.begin(), entry.first.end());
    return result;
}

using Strings = std::vector<std::string>;

TEST(PatternMiner, WorkedExample) {
    PatternMiner miner(1.0, 2, 0, 0.9);
    miner.mine(sequences({"abab", "abba"}));
    const FrequentPatterns frequent = miner.get_frequent();
    EXPECT_EQ(keys(frequent), (Strings{"ab", "ba"}));
    EXPECT_EQ(frequent.at(p("ab")).get_indexes(), (OccurrenceIndex{{0, {0, 2}}, {1, {0}}}));
    EXPECT_EQ(frequent.at(p("ba")).get_indexes(), (OccurrenceIndex{{0, {1}}, {1, {2}}}));
    EXPECT_EQ(miner.get_cur_len(), 4);
}

TEST(PatternMiner, WorkedExampleKeepsLettersWhenShortPatternsAreAllowed) {
    PatternMiner miner(1.0, 1, 0, 1.0);
    miner.mine(sequences({"abab", "abba"}));
    const FrequentPatterns frequent = miner.get_frequent();
    EXPECT_EQ(keys(frequent), (Strings{"a", "ab", "b", "ba"}));
    EXPECT_EQ(frequent.at(p("a")).get_indexes(), (OccurrenceIndex{{0, {0, 2}}, {1, {0, 3}}}));
    EXPECT_EQ(frequent.at(p("b")).get_indexes(), (OccurrenceIndex{{0, {1, 3}}, {1, {1, 2}}}));
}

TEST(PatternMiner, NothingToMine) {
    for (const auto& input : {sequences({}), sequences({"", ""})}) {
        PatternMiner miner(0.5, 1, 0, 0.9);
        miner.mine(input);
        EXPECT_TRUE(miner.get_frequent().empty());
        EXPECT_EQ(miner.get_cur_len(), 2);
    }
}

TEST(PatternMiner, SupportAboveEverySeriesFindsNothing) {
    PatternMiner miner(1.5, 1, 0, 0.9);
    miner.mine(sequences({"abc", "abc"}));
    EXPECT_TRUE(miner.get_frequent().empty());
}

TEST(PatternMiner, OverlappingOccurrencesAreAllRecorded) {
    PatternMiner miner(1.0, 1, 0, 1.0);
    miner.mine(sequences({"aaaa"}));
    const FrequentPatterns frequent = miner.get_frequent();
    EXPECT_EQ(frequent.at(p("aa")).get_indexes(), (OccurrenceIndex{{0, {0, 1, 2}}}));
    EXPECT_EQ(frequent.at(p("aaa")).get_indexes(), (OccurrenceIndex{{0, {0, 1}}}));
    EXPECT_EQ(frequent.at(p("aaaa")).get_indexes(), (OccurrenceIndex{{0, {0}}}));
    EXPECT_EQ(miner.get_cur_len(), 6);
}

TEST(PatternMiner, SupportCountsSeriesNotOccurrences) {
    PatternMiner miner(0.6, 1, 0, 0.9);  // 1.2 series needed
    miner.mine(sequences({"aa", "bb"}));
    EXPECT_TRUE(miner.get_frequent().empty());
}

TEST(PatternMiner, SupportAtThresholdIsFrequent) {
    PatternMiner miner(0.5, 1, 0, 1.0);
    miner.mine(sequences({"xy", "xz", "qq", "rr"}));
    const Strings found = keys(miner.get_frequent());
    EXPECT_EQ(found, (Strings{"x"}));  // x in 2 of 4 series; y, z, q, r in 1
}

TEST(PatternMiner, MaxLenIsInclusive) {
    PatternMiner miner(1.0, 1, 2, 1.0);
    miner.mine(sequences({"abcd", "abcd"}));
    EXPECT_EQ(miner.get_cur_len(), 3);
    EXPECT_EQ(keys(miner.get_frequent()), (Strings{"a", "ab", "b", "bc", "c", "cd", "d"}));
}

// Stopping at max_len filters the last mined length like any other.
TEST(PatternMiner, MaxLenStopStillFiltersTheLongestLength) {
    {
        PatternMiner miner(1.0, 3, 1, 0.9);
        miner.mine(sequences({"ab", "ab"}));
        EXPECT_TRUE(miner.get_frequent().empty());
        EXPECT_EQ(miner.get_cur_len(), 2);
    }
    {
        PatternMiner miner(1.0, 1, 1, 0.9);
        miner.mine(sequences({"ab", "ab"}));
        EXPECT_EQ(keys(miner.get_frequent()), (Strings{"a", "b"}));
    }
    {
        PatternMiner miner(1.0, 1, -4, 0.9);
        miner.mine(sequences({"aab", "aab"}));
        EXPECT_EQ(keys(miner.get_frequent()), (Strings{"a", "b"}));
    }
    {
        PatternMiner miner(1.0, 3, 2, 0.9);  // length 2 is below min_len
        miner.mine(sequences({"abcd", "abcd"}));
        EXPECT_TRUE(miner.get_frequent().empty());
    }
    {
        PatternMiner miner(1.0, 2, 2, 0.9);  // bc holds ab's b but only half of it: all stay
        miner.mine(sequences({"abcab", "abcab"}));
        EXPECT_EQ(keys(miner.get_frequent()), (Strings{"ab", "bc", "ca"}));
    }
}

TEST(PatternMiner, NonPositiveSupportNeedsALengthLimit) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double minsup : {0.0, -1.0, nan}) {
        PatternMiner miner(minsup, 1, 0, 0.9);
        try {
            miner.mine(sequences({"ab"}));
            FAIL() << "minsup " << minsup << " accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "minsup must be positive when max_len is 0");
        }
    }
}

// Without a positive support a pattern still has to occur somewhere: the substrings of the
// sequences up to max_len, and nothing else.
TEST(PatternMiner, NonPositiveSupportKeepsOnlyPatternsThatOccur) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double minsup : {0.0, -1.0, nan, 1e-9}) {
        PatternMiner miner(minsup, 1, 3, 1.0);
        miner.mine(sequences({"ab", "", "bbc"}));
        const FrequentPatterns frequent = miner.get_frequent();
        EXPECT_EQ(keys(frequent), (Strings{"a", "ab", "b", "bb", "bbc", "bc", "c"})) << minsup;
        EXPECT_EQ(frequent.at(p("b")).get_indexes(), (OccurrenceIndex{{0, {1}}, {2, {0, 1}}}));
    }
}

// minsup x n is compared as the double it is: 0.14 x 50 is slightly above 7.
TEST(PatternMiner, SupportThresholdIsTheDoubleProduct) {
    std::vector<std::string> rows(50, "x");
    for (int s = 0; s < 7; ++s) rows[static_cast<std::size_t>(s)] = "y";
    ASSERT_GT(0.14 * 50.0, 7.0);
    PatternMiner miner(0.14, 1, 0, 1.0);
    miner.mine(sequences(rows));
    EXPECT_EQ(keys(miner.get_frequent()), (Strings{"x"}));
    rows[7] = "y";
    miner.mine(sequences(rows));
    EXPECT_EQ(keys(miner.get_frequent()), (Strings{"x", "y"}));
}

TEST(PatternMiner, SecondMineStartsFresh) {
    PatternMiner reused(0.5, 2, 0, 0.9);
    reused.mine(sequences({"abcabc", "xyzxyz"}));
    reused.mine(sequences({"abab", "abba"}));
    PatternMiner fresh(0.5, 2, 0, 0.9);
    fresh.mine(sequences({"abab", "abba"}));
    const FrequentPatterns a = reused.get_frequent();
    const FrequentPatterns b = fresh.get_frequent();
    EXPECT_EQ(keys(a), keys(b));
    for (const auto& [pattern, motif] : b) {
        EXPECT_EQ(a.at(pattern).get_indexes(), motif.get_indexes());
    }
    EXPECT_EQ(reused.get_cur_len(), fresh.get_cur_len());
}

TEST(PatternMiner, AnyByteIsALetterOrderedAsSigned) {
    const std::string high(1, static_cast<char>(0xE9));
    PatternMiner miner(1.0, 1, 0, 1.0);
    miner.mine(sequences({high + "a", high + "a"}));
    EXPECT_EQ(keys(miner.get_frequent()), (Strings{high, high + "a", "a"}));
}

// Without filtering, the frequent patterns are exactly the substrings found in enough
// series, each with every start position: counted here by brute force, on random sequences
// over a few letters (long shared runs, many joins per level, letters above 0x7F too), and
// on sequences made of long runs of one letter.
TEST(PatternMiner, FindsEverySubstringWithEnoughSupport) {
    std::mt19937 random(7);
    const std::string letters = "ab\xE9" "c";
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> rows(1 + random() % 5);
        for (std::string& row : rows) {
            if (round < 200) {
                row.resize(random() % 14);
                for (char& letter : row) letter = letters[random() % (2 + round % 3)];
            } else {
                while (row.size() < 30) row += std::string(1 + random() % 9, letters[random() % 3]);
            }
        }
        const double minsup = 0.2 + 0.2 * (round % 5);
        std::map<std::string, OccurrenceIndex> expected;
        for (std::size_t s = 0; s < rows.size(); ++s) {
            for (std::size_t start = 0; start < rows[s].size(); ++start) {
                for (std::size_t n = 1; start + n <= rows[s].size(); ++n) {
                    expected[rows[s].substr(start, n)][static_cast<int>(s)].push_back(static_cast<int>(start));
                }
            }
        }
        for (auto it = expected.begin(); it != expected.end();) {
            it = static_cast<double>(it->second.size()) < minsup * static_cast<double>(rows.size())
                     ? expected.erase(it) : std::next(it);
        }
        PatternMiner miner(minsup, 1, 0, 1.0);
        miner.mine(sequences(rows));
        std::map<std::string, OccurrenceIndex> found;
        for (const auto& [pattern, motif] : miner.get_frequent()) {
            found[std::string(pattern.begin(), pattern.end())] = motif.get_indexes();
        }
        ASSERT_EQ(found, expected) << "round " << round;
    }
}

// Long runs of one letter are mined as stretches: held here, runs longer than a 64-bit word
// included, to the substrings found by brute force and the plain pairwise filter, with
// their occurrences, under support thresholds and length limits that cut runs short.
TEST(PatternMiner, LongRunsGiveTheSubstringsAndFilterOfThePlainSearch) {
    std::mt19937 random(29);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::string> rows(2 + random() % 3);
        for (std::string& row : rows) {
            while (row.size() < 90) row += std::string(1 + random() % 70, "abc"[random() % 3]);
        }
        const double minsup = std::vector<double>{0.5, 0.7, 1.0}[random() % 3];
        const int min_len = 1 + static_cast<int>(random() % 4);
        const int max_len = std::vector<int>{0, 0, 20, 66}[random() % 4];
        const double max_overlap = std::vector<double>{0.5, 0.9, 1.0}[random() % 3];
        std::map<std::string, OccurrenceIndex> frequent;
        const std::size_t longest = max_len == 0 ? 1000 : static_cast<std::size_t>(max_len);
        for (std::size_t s = 0; s < rows.size(); ++s) {
            for (std::size_t start = 0; start < rows[s].size(); ++start) {
                for (std::size_t n = 1; start + n <= rows[s].size() && n <= longest; ++n) {
                    frequent[rows[s].substr(start, n)][static_cast<int>(s)].push_back(static_cast<int>(start));
                }
            }
        }
        for (auto it = frequent.begin(); it != frequent.end();) {
            it = static_cast<double>(it->second.size()) < minsup * static_cast<double>(rows.size())
                     ? frequent.erase(it) : std::next(it);
        }
        std::vector<Pattern> all;
        for (const auto& entry : frequent) all.push_back(p(entry.first));
        InterruptPoll poll{InterruptCheck{}};
        std::map<std::string, OccurrenceIndex> expected;
        for (const Pattern& kept : keep_patterns(all, min_len, max_overlap, poll)) {
            const std::string letters(kept.begin(), kept.end());
            expected[letters] = frequent.at(letters);
        }
        PatternMiner miner(minsup, min_len, max_len, max_overlap);
        miner.mine(sequences(rows));
        std::map<std::string, OccurrenceIndex> found;
        for (const auto& [pattern, motif] : miner.get_frequent()) {
            found[std::string(pattern.begin(), pattern.end())] = motif.get_indexes();
        }
        ASSERT_EQ(found, expected) << "round " << round;
    }
}

// The filter as a plain pairwise loop: longest first, equal lengths in pattern order, each
// pattern not yet dropped drops every other one at most as long whose LCS with it covers more
// than max_overlap of its letters.
std::vector<std::string> filtered_pairwise(std::vector<std::string> patterns, double max_overlap) {
    std::sort(patterns.begin(), patterns.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() > b.size() : PatternOrder{}(p(a), p(b));
    });
    std::vector<bool> dropped(patterns.size(), false);
    for (std::size_t i = 0; i < patterns.size() && max_overlap < 1.0; ++i) {
        if (dropped[i]) continue;
        for (std::size_t j = 0; j < patterns.size(); ++j) {
            if (j == i || dropped[j] || patterns[j].size() > patterns[i].size()) continue;
            if (lcs(p(patterns[i]), p(patterns[j])) / static_cast<double>(patterns[j].size()) > max_overlap) {
                dropped[j] = true;
            }
        }
    }
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        if (!dropped[i]) kept.push_back(patterns[i]);
    }
    std::sort(kept.begin(), kept.end(), [](const std::string& a, const std::string& b) {
        return PatternOrder{}(p(a), p(b));
    });
    return kept;
}

// The tree walk of the filter drops exactly what the pairwise loop drops: random sequences
// with repeats (patterns across several 64-bit words too) and every kind of bound.
TEST(PatternFilter, AgreesWithThePairwiseLoop) {
    std::mt19937 random(11);
    const double overlaps[] = {0.9, 0.75, 0.5, 0.0, -1.0, 0.95, 2.0 / 3.0, 0.99};
    for (int round = 0; round < 300; ++round) {
        const std::string letters = round % 4 == 0 ? "ab" : "abc\xE9";
        std::vector<std::string> rows(1 + random() % 4);
        const std::size_t longest = round % 10 == 0 ? 150 : 25;
        std::string base;
        for (std::size_t i = 0; i < longest; ++i) base += letters[random() % letters.size()];
        for (std::string& row : rows) {
            row = base.substr(random() % 4, random() % longest);
            for (char& letter : row) {
                if (random() % 8 == 0) letter = letters[random() % letters.size()];
            }
        }
        const double minsup = rows.size() == 1 ? 1.0 : 0.5;
        const int min_len = static_cast<int>(random() % 4);
        const double max_overlap = overlaps[round % 8];
        std::set<std::string> frequent;
        for (std::size_t s = 0; s < rows.size(); ++s) {
            for (std::size_t start = 0; start < rows[s].size(); ++start) {
                for (std::size_t n = std::max(min_len, 1); start + n <= rows[s].size(); ++n) {
                    const std::string sub = rows[s].substr(start, n);
                    std::size_t support = 0;
                    for (const std::string& row : rows) support += row.find(sub) != std::string::npos;
                    if (static_cast<double>(support) >= minsup * static_cast<double>(rows.size())) {
                        frequent.insert(sub);
                    }
                }
            }
        }
        PatternMiner miner(minsup, min_len, 0, max_overlap);
        miner.mine(sequences(rows));
        ASSERT_EQ(keys(miner.get_frequent()),
                  filtered_pairwise(std::vector<std::string>(frequent.begin(), frequent.end()), max_overlap))
            << "round " << round;
    }
}

TEST(PatternFilter, LongerPatternsRemoveTheirSubsequences) {
    PatternMiner miner(1.0, 1, 0, 0.9);
    miner.mine(sequences({"aaaa"}));
    EXPECT_EQ(keys(miner.get_frequent()), (Strings{"aaaa"}));
}

TEST(PatternFilter, MinLenAboveEveryLengthEmptiesTheResult) {
    PatternMiner miner(1.0, 5, 0, 0.9);
    miner.mine(sequences({"abab", "abba"}));
    EXPECT_TRUE(miner.get_frequent().empty());
}

// Same-length patterns: the earlier one in ascending order acts first and stays.
TEST(PatternFilter, OverlapThresholdIsStrict) {
    const auto mined = [](double max_overlap) {
        PatternMiner miner(1.0, 4, 0, max_overlap);
        miner.mine(sequences({"abcdxabce", "abcdyabce"}));
        return keys(miner.get_frequent());
    };
    EXPECT_EQ(mined(0.9), (Strings{"abcd", "abce"}));  // 3/4 = 0.75
    EXPECT_EQ(mined(0.75), (Strings{"abcd", "abce"}));
    EXPECT_EQ(mined(0.7), (Strings{"abcd"}));
    EXPECT_EQ(mined(std::numeric_limits<double>::quiet_NaN()), (Strings{"abcd", "abce"}));
}

TEST(PatternFilter, EqualRatioDoesNotRemove) {
    PatternMiner miner(1.0, 2, 0, 0.5);
    miner.mine(sequences({"abab", "abba"}));
    EXPECT_EQ(keys(miner.get_frequent()), (Strings{"ab", "ba"}));
}

TEST(PatternFilter, NegativeOverlapKeepsOnlyTheFirstLongest) {
    PatternMiner miner(1.0, 1, 0, -1.0);
    miner.mine(sequences({"abcab", "abcab"}));
    EXPECT_EQ(keys(miner.get_frequent()), (Strings{"abcab"}));
}

TEST(Lcs, SubsequenceNotSubstring) {
    EXPECT_EQ(lcs(p("abcab"), p("abb")), 3.0);
    EXPECT_EQ(lcs(p("ab"), p("ba")), 1.0);
    EXPECT_EQ(lcs(p("abcd"), p("abd")), 3.0);
    EXPECT_EQ(lcs(p("abcd"), p("abce")), 3.0);
    EXPECT_EQ(lcs(p(""), p("abc")), 0.0);
    EXPECT_EQ(lcs(p("abc"), p("")), 0.0);
}

// The textbook table, row by row: what the bit-parallel lcs must agree with.
int lcs_by_table(const Pattern& a, const Pattern& b) {
    std::vector<std::vector<int>> table(a.size() + 1, std::vector<int>(b.size() + 1, 0));
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            table[i][j] = a[i - 1] == b[j - 1] ? table[i - 1][j - 1] + 1
                                               : std::max(table[i][j - 1], table[i - 1][j]);
        }
    }
    return table[a.size()][b.size()];
}

TEST(Lcs, AgreesWithTheTableOnRandomPatterns) {
    std::mt19937 random(20261208);
    const auto random_pattern = [&random](std::size_t max_length, int letters) {
        Pattern pattern(std::uniform_int_distribution<std::size_t>(0, max_length)(random));
        for (char& letter : pattern) {
            letter = static_cast<char>('a' + std::uniform_int_distribution<int>(0, letters - 1)(random));
        }
        return pattern;
    };
    // Lengths across one, two and several 64-bit words, where carries cross words.
    for (int round = 0; round < 3000; ++round) {
        const int letters = 1 + round % 5;
        const std::size_t longest = round % 3 == 0 ? 300 : 70;
        const Pattern a = random_pattern(longest, letters);
        const Pattern b = random_pattern(longest, letters);
        ASSERT_EQ(lcs(a, b), lcs_by_table(a, b)) << "round " << round;
    }
    const Pattern ones(200, 'a');
    EXPECT_EQ(lcs(ones, Pattern(130, 'a')), 130.0);
    EXPECT_EQ(lcs(Pattern(130, 'a'), ones), 130.0);
}

TEST(PatternOrder, SignedLettersAndPrefixesFirst) {
    const PatternOrder less;
    EXPECT_TRUE(less(p("a"), p("ab")));
    EXPECT_TRUE(less(p("ab"), p("b")));
    EXPECT_FALSE(less(p("ab"), p("ab")));
    EXPECT_TRUE(less(p(std::string(1, static_cast<char>(0x80))), p("a")));
}

}  // namespace
}  // namespace qel
