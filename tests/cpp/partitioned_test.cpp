#include "partitioned.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "motif.h"
#include "patterns.h"
#include "redundancy.h"
#include "sax.h"

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

// Occurrences as a motif indexes them: series -> positions.
OccurrenceIndex index_of(const Occurrences& occurrences) { return Motif(Pattern{'x'}, occurrences).get_indexes(); }

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
        const std::vector<Occurrences> found = find_occurrences(sequences, frequent);
        const std::vector<std::int64_t> support = count_support(sequences, frequent);
        for (std::size_t i = 0; i < frequent.size(); ++i) {
            const OccurrenceIndex index = index_of(found[i]);
            EXPECT_EQ(index, miner.get_frequent().at(frequent[i]).get_indexes());
            EXPECT_EQ(support[i], static_cast<std::int64_t>(index.size()));
        }
    }
}

TEST(FindOccurrences, PatternsNeedNotShareTheirPrefixes) {
    const std::vector<Occurrences> found = find_occurrences({p("abcab"), p("b")}, patterns({"cab", "b", "x"}));
    EXPECT_EQ(index_of(found[0]), (OccurrenceIndex{{0, {2}}}));
    EXPECT_EQ(index_of(found[1]), (OccurrenceIndex{{0, {1, 4}}, {1, {0}}}));
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

TEST(PartSteps, AddUpToTheMotifsMeasures) {
    // Two parts of one series set: the parts' sums, added, give the whole set's representative,
    // and measured against it the parts give the motif's naed and per-series details.
    std::mt19937 rng(3);
    for (int round = 0; round < 20; ++round) {
        SeriesSet series;
        for (int s = 0; s < 6; ++s) {
            Series values;
            for (int i = 0; i < 12 + static_cast<int>(rng() % 20); ++i) values.push_back(static_cast<double>(rng() % 7));
            series.push_back(values);
        }
        const int seglen = 1 + static_cast<int>(rng() % 3);
        const PreparedPart first = prepare_part(SeriesSet(series.begin(), series.begin() + 3), seglen, 3);
        const PreparedPart second = prepare_part(SeriesSet(series.begin() + 3, series.end()), seglen, 3);
        SeriesSet whole = series;
        std::vector<Symbols> letters = first.letters;
        letters.insert(letters.end(), second.letters.begin(), second.letters.end());
        PatternMiner miner(0.3, 1, 3, 1.0);
        miner.mine(letters);
        std::vector<Pattern> found;
        for (const auto& entry : miner.get_frequent()) found.push_back(entry.first);
        znorm(whole);
        const std::vector<AverageSums> a = average_sums(first, found);
        const std::vector<AverageSums> b = average_sums(second, found);
        std::vector<std::vector<double>> representatives;
        for (std::size_t i = 0; i < found.size(); ++i) {
            PointSums sums(a[i].sums.size());
            sums.sums = a[i].sums;
            for (std::size_t k = 0; k < sums.sums.size(); ++k) {
                sums.sums[k] += b[i].sums[k];
                sums.counts[k] = static_cast<double>(a[i].counts[k] + b[i].counts[k]);
            }
            std::vector<double> representative;
            for (std::size_t k = 0; k < sums.sums.size(); ++k) representative.push_back(0.0 + sums.mean(k));
            representatives.push_back(representative);
        }
        const std::vector<double> near_first = distance_sums(first, found, representatives);
        const std::vector<double> near_second = distance_sums(second, found, representatives);
        const std::vector<PartDetails> details = part_details(second, found, representatives);
        for (std::size_t i = 0; i < found.size(); ++i) {
            Motif motif = miner.get_frequent().at(found[i]);
            motif.map(whole, seglen);
            ASSERT_EQ(representatives[i].size(), motif.get_representative().size());
            for (std::size_t k = 0; k < representatives[i].size(); ++k) {
                // The parts add their sums in another order than the whole set: the last bits.
                const double expected = motif.get_representative()[k];
                if (std::isnan(expected)) {
                    EXPECT_TRUE(std::isnan(representatives[i][k]));
                } else {
                    EXPECT_NEAR(representatives[i][k], expected, 1e-12);
                }
            }
            const double naed = (near_first[i] + near_second[i]) /
                                (motif.get_support() * static_cast<double>(motif.get_length()));
            EXPECT_NEAR(naed, motif.get_naed(), 1e-12);
            // The second part's series are the whole set's from 3 on.
            const PartDetails& held = details[i];
            const auto indexes = motif.get_indexes();
            const auto averages = motif.get_average_occurrences();
            const auto best = motif.get_best_matches();
            const std::size_t length = static_cast<std::size_t>(motif.get_length());
            const auto in_second = std::count_if(indexes.begin(), indexes.end(), [](const auto& e) { return e.first >= 3; });
            ASSERT_EQ(held.series.size(), static_cast<std::size_t>(in_second));
            ASSERT_EQ(held.counts.size(), held.series.size());
            ASSERT_EQ(held.averages.size(), held.series.size() * length);
            std::size_t at = 0;
            for (std::size_t k = 0; k < held.series.size(); ++k) {
                const int s = held.series[k] + 3;
                const auto from = held.positions.begin() + static_cast<std::ptrdiff_t>(at);
                at += static_cast<std::size_t>(held.counts[k]);
                EXPECT_EQ(std::vector<int>(from, held.positions.begin() + static_cast<std::ptrdiff_t>(at)), indexes.at(s));
                EXPECT_EQ(held.best_starts[k], best.at(s));
                for (std::size_t p = 0; p < length; ++p) {
                    const double want = averages.at(s)[p];
                    const double got = held.averages[k * length + p];
                    EXPECT_TRUE(std::isnan(want) ? std::isnan(got) : got == want) << s << " " << p;
                }
            }
            EXPECT_EQ(at, held.positions.size());
        }
    }
}

TEST(PartSteps, ARememberedSearchAnswersAsASearchAfresh) {
    // A part remembers where the patterns it was last measured for occur. Whatever it was asked
    // before, each step answers as the same step on a part never asked anything.
    std::mt19937 rng(5);
    SeriesSet series;
    for (int s = 0; s < 8; ++s) {
        Series values;
        for (int i = 0; i < 40; ++i) values.push_back(static_cast<double>(rng() % 9));
        series.push_back(values);
    }
    const PreparedPart used = prepare_part(series, 2, 3);
    const auto fresh_details = [&series](const std::vector<Pattern>& asked) {
        const PreparedPart fresh = prepare_part(series, 2, 3);
        std::vector<std::vector<double>> representatives;
        for (int length : occurrence_lengths(2, asked)) representatives.emplace_back(static_cast<std::size_t>(length), 0.5);
        return std::make_pair(part_details(fresh, asked, representatives), representatives);
    };
    const auto same_values = [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) { return x == y || (x != x && y != y); });
    };
    // Remembered, a subset in another order, a list with a pattern it lacks, then the first again.
    for (const auto& asked : {patterns({"ab", "ba", "c"}), patterns({"c", "ab"}), patterns({"ab", "cc"}),
                              patterns({"ab", "ba", "c"})}) {
        const std::vector<AverageSums> sums = average_sums(used, asked);
        const std::vector<AverageSums> fresh_sums = average_sums(prepare_part(series, 2, 3), asked);
        ASSERT_EQ(sums.size(), fresh_sums.size());
        for (std::size_t i = 0; i < sums.size(); ++i) {
            EXPECT_TRUE(same_values(sums[i].sums, fresh_sums[i].sums));
            EXPECT_EQ(sums[i].counts, fresh_sums[i].counts);
        }
        const auto [expected, representatives] = fresh_details(asked);
        EXPECT_EQ(distance_sums(used, asked, representatives),
                  distance_sums(prepare_part(series, 2, 3), asked, representatives));
        const std::vector<PartDetails> got = part_details(used, asked, representatives);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].series, expected[i].series);
            EXPECT_EQ(got[i].counts, expected[i].counts);
            EXPECT_EQ(got[i].positions, expected[i].positions);
            EXPECT_TRUE(same_values(got[i].averages, expected[i].averages));
            EXPECT_EQ(got[i].best_starts, expected[i].best_starts);
        }
    }
    // A pattern listed twice is refused whether or not the part remembers it.
    average_sums(used, patterns({"ab", "ba"}));
    EXPECT_THROW(average_sums(used, patterns({"ab", "ab"})), std::invalid_argument);
    EXPECT_THROW(average_sums(prepare_part(series, 2, 3), patterns({"ab", "ab"})), std::invalid_argument);
}

TEST(PartSteps, RefuseRepresentativesThatDoNotFit) {
    const PreparedPart part = prepare_part({{1, 2, 3, 4}}, 2, 3);
    EXPECT_THROW(distance_sums(part, patterns({"a"}), {}), std::invalid_argument);
    EXPECT_THROW(part_details(part, patterns({"a"}), {{0.0}}), std::invalid_argument);
    const PreparedPart wide = prepare_part({{1, 2, 3, 4}}, 1 << 30, 3);
    EXPECT_THROW(average_sums(wide, patterns({"aa"})), std::overflow_error);
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
