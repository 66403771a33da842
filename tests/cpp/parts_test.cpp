#include "parts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "patterns.h"

namespace qel {
namespace {

Pattern p(const std::string& letters) { return Pattern(letters.begin(), letters.end()); }

std::vector<Pattern> patterns(const std::vector<std::string>& texts) {
    std::vector<Pattern> result;
    for (const std::string& text : texts) result.push_back(p(text));
    return result;
}

std::string random_word(std::mt19937& rng, int letters, int size) {
    std::string word;
    for (int i = 0; i < size; ++i) word.push_back(static_cast<char>('a' + rng() % static_cast<unsigned>(letters)));
    return word;
}

const double nan = std::numeric_limits<double>::quiet_NaN();

TEST(FindOccurrences, AgreesWithTheMinerOnRandomSequences) {
    // The miner records every occurrence of every frequent pattern: the trie must find the
    // same ones, overlapping included, for any list of those patterns.
    std::mt19937 rng(5);
    for (int round = 0; round < 40; ++round) {
        const int letters = 1 + static_cast<int>(rng() % 4);
        std::vector<Symbols> sequences;
        for (int s = 0; s < 6; ++s) sequences.push_back(p(random_word(rng, letters, static_cast<int>(rng() % 12))));
        PatternMiner miner(0.3, 1, 4, 1.0);
        miner.mine(sequences);
        std::vector<Pattern> frequent;
        for (const auto& entry : miner.get_frequent()) frequent.push_back(entry.first);
        std::shuffle(frequent.begin(), frequent.end(), rng);
        const std::vector<PartOccurrences> found = find_occurrences(sequences, frequent);
        const std::vector<std::int64_t> support = count_support(sequences, frequent);
        for (std::size_t i = 0; i < frequent.size(); ++i) {
            OccurrenceIndex index;
            for (const auto& [sequence, positions] : found[i]) index[sequence] = positions;
            EXPECT_EQ(index, miner.get_frequent().at(frequent[i]).get_indexes());
            EXPECT_EQ(support[i], static_cast<std::int64_t>(index.size()));
        }
    }
}

TEST(FindOccurrences, PatternsNeedNotShareTheirPrefixes) {
    const std::vector<PartOccurrences> found = find_occurrences({p("abcab"), p("b")}, patterns({"cab", "b", "x"}));
    EXPECT_EQ(found[0], (PartOccurrences{{0, {2}}}));
    EXPECT_EQ(found[1], (PartOccurrences{{0, {1, 4}}, {1, {0}}}));
    EXPECT_TRUE(found[2].empty());
    EXPECT_THROW(find_occurrences({}, patterns({"ab", "ab"})), std::invalid_argument);
    EXPECT_THROW(find_occurrences({}, patterns({""})), std::invalid_argument);
}

TEST(KeepPatterns, IsWhatThePatternMinerKeeps) {
    std::mt19937 rng(11);
    for (int round = 0; round < 60; ++round) {
        std::vector<Symbols> sequences;
        for (int s = 0; s < 4; ++s) sequences.push_back(p(random_word(rng, 3, 4 + static_cast<int>(rng() % 10))));
        const int min_len = 1 + static_cast<int>(rng() % 3);
        const double max_overlap = std::vector<double>{0.0, 0.5, 0.7, 0.9, 1.0, nan}[rng() % 6];
        PatternMiner all(0.5, 1, 0, 1.0);
        all.mine(sequences);
        PatternMiner filtered(0.5, min_len, 0, max_overlap);
        filtered.mine(sequences);
        std::vector<Pattern> frequent;
        for (const auto& entry : all.get_frequent()) frequent.push_back(entry.first);
        std::shuffle(frequent.begin(), frequent.end(), rng);
        std::vector<Pattern> expected;
        for (const auto& entry : filtered.get_frequent()) expected.push_back(entry.first);
        InterruptPoll poll{InterruptCheck{}};
        EXPECT_EQ(keep_patterns(frequent, min_len, max_overlap, poll), expected);
    }
}

TEST(KeepPatterns, AmongEquallyLongOverlappingPatternsTheFirstInOrderStays) {
    InterruptPoll poll{InterruptCheck{}};
    EXPECT_EQ(keep_patterns(patterns({"ba", "ab"}), 1, 0.4, poll), patterns({"ab"}));
}

TEST(Measures, AverageSkipsPointsPastTheEnd) {
    const Series series{1, 2, 3, 4, 5};
    // Occurrences at segments 0 and 2 (seglen 2, 4 points): {1,2,3,4} and {5,NaN,NaN,NaN}.
    const std::vector<double> average = average_occurrence(series, {0, 2}, 2, 4);
    EXPECT_EQ(average[0], 3.0);
    EXPECT_EQ(average[1], 2.0);
    EXPECT_EQ(average[3], 4.0);
    const std::vector<double> beyond = average_occurrence(series, {3}, 2, 2);
    EXPECT_TRUE(std::isnan(beyond[0]) && std::isnan(beyond[1]));
}

TEST(Measures, PointSumsAddUpAcrossParts) {
    PointSums whole(2);
    PointSums first(2);
    PointSums second(2);
    for (const std::vector<double>& values : {std::vector<double>{1, nan}, {2, 4}, {nan, nan}}) whole.add(values);
    first.add({1, nan});
    second.add({2, 4});
    second.add({nan, nan});
    EXPECT_EQ(whole.sums[0], first.sums[0] + second.sums[0]);
    EXPECT_EQ(whole.counts, (std::vector<std::int64_t>{first.counts[0] + second.counts[0], 1}));
    EXPECT_EQ(whole.means(), (std::vector<double>{1.5, 4.0}));
}

TEST(Measures, BestMatchTakesTheEarlierOfEqualDistancesAndNeverNaN) {
    const Series series{0, 1, 0, 1, 5, 5};
    // Segments 0 and 1 are equally close to {0, 1}; segment 2 is {5, 5}.
    EXPECT_EQ(best_match(series, {0, 1, 2}, 2, {0, 1}).position, 0);
    EXPECT_EQ(best_match(series, {0, 1, 2}, 2, {5, 5}).position, 2);
    const BestMatch none = best_match(series, {0, 2}, 2, {nan, nan});
    EXPECT_EQ(none.position, 0);
    EXPECT_EQ(none.distance, 1000000.0);
}

TEST(Measures, OccurrenceLengthHasTheMappingsLimits) {
    EXPECT_EQ(occurrence_points(4, 3), 12);
    EXPECT_THROW(occurrence_points(1 << 30, 2), std::overflow_error);
}

TEST(PreparePart, IsTheMinersZNormalisationAndSax) {
    SeriesSet series{{1, 2, 3, 4, 5, 6}, {}, {3, 3, 3}};
    const PreparedPart part = prepare_part(series, 2, 3);
    SeriesSet expected = series;
    znorm(expected);
    EXPECT_EQ(part.letters, sax(expected, 2, 3));
    EXPECT_EQ(part.series[0], expected[0]);
    EXPECT_TRUE(std::isnan(part.series[2][0]));
    EXPECT_THROW(prepare_part(series, 2, 11), std::invalid_argument);
}

}  // namespace
}  // namespace qel
