#include "motif.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

namespace qel {
namespace {

TEST(MotifRecord, FreshMotifHoldsOnlyItsPattern) {
    const Motif motif(Pattern{'a', 'b'});
    EXPECT_EQ(motif.pattern, (Pattern{'a', 'b'}));
    EXPECT_EQ(motif.get_length(), 0);
    EXPECT_EQ(motif.get_naed(), 0.0);
    EXPECT_EQ(motif.get_support(), 0);
    EXPECT_TRUE(motif.get_representative().empty());
    EXPECT_TRUE(motif.get_indexes().empty());
    EXPECT_TRUE(motif.get_average_occurrences().empty());
    EXPECT_TRUE(motif.get_best_matches().empty());
}

TEST(MotifRecord, RecordsPositionsPerSeriesInOrderWithRepeats) {
    Motif motif(Pattern{'a'});
    motif.record_index(0, 5);
    motif.record_index(0, 5);
    motif.record_index(3, 2);
    EXPECT_EQ(motif.get_indexes(), (OccurrenceIndex{{0, {5, 5}}, {3, {2}}}));
    EXPECT_EQ(motif.get_support(), 2);
}

TEST(MotifRecord, CopiesAreIndependent) {
    Motif original(Pattern{'a'});
    original.record_index(1, 4);
    Motif copy = original;
    copy.record_index(1, 7);
    EXPECT_EQ(original.get_indexes(), (OccurrenceIndex{{1, {4}}}));
    EXPECT_EQ(copy.get_indexes(), (OccurrenceIndex{{1, {4, 7}}}));
}

const double nan = std::numeric_limits<double>::quiet_NaN();

Motif motif_at(std::size_t letters, const std::vector<std::pair<int, int>>& occurrences) {
    Motif motif(Pattern(letters, 'a'));
    for (const auto& [series, position] : occurrences) motif.record_index(series, position);
    return motif;
}

// Compares element by element, NaN equal to NaN.
void expect_values(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (std::isnan(expected[i])) {
            EXPECT_TRUE(std::isnan(actual[i])) << "at " << i;
        } else {
            EXPECT_DOUBLE_EQ(actual[i], expected[i]) << "at " << i;
        }
    }
}

TEST(MotifMeasures, OccurrencePastTheEndIsPaddedWithNan) {
    // 9 points, seglen 2: five segments, the last of one point. Three letters from segment 2
    // cover points 4 to 8 and one point beyond.
    const SeriesSet ts{{0, 1, 2, 3, 4, 5, 6, 7, 8}};
    Motif motif = motif_at(3, {{0, 2}});
    motif.map(ts, 2);
    EXPECT_EQ(motif.get_length(), 6);
    expect_values(motif.get_average_occurrences().at(0), {4, 5, 6, 7, 8, nan});
    expect_values(motif.get_representative(), {4, 5, 6, 7, 8, nan});
    EXPECT_EQ(motif.get_best_matches(), (BestMatches{{0, 4}}));
    EXPECT_DOUBLE_EQ(motif.get_naed(), 0.0);
}

TEST(MotifMeasures, PaddedPointsAreSkippedInAveragesAndDistances) {
    const SeriesSet ts{{0, 0, 0, 0, 1, 1, 2}};
    Motif motif = motif_at(2, {{0, 1}, {0, 2}});  // points 2..5 and 4..6 + NaN
    motif.map(ts, 2);
    expect_values(motif.get_average_occurrences().at(0), {0.5, 0.5, 1.5, 1});
    // Distances: (0,0,1,1) -> sqrt(.25+.25+.25+0)=0.866; (1,1,2,NaN) -> sqrt(.25+.25+.25)=0.866
    EXPECT_EQ(motif.get_best_matches(), (BestMatches{{0, 2}}));
    EXPECT_NEAR(motif.get_naed(), std::sqrt(0.75) / 4, 1e-12);
}

// An average is a sum divided by a count, so a lone -0.0 averages to 0.0, as in a sum.
TEST(MotifMeasures, AverageOfOneOccurrenceIsASum) {
    const SeriesSet ts{{-0.0, 1.5, -2.0}};
    Motif motif = motif_at(3, {{0, 0}});
    motif.map(ts, 1);
    const std::vector<double> average = motif.get_average_occurrences().at(0);
    ASSERT_EQ(average.size(), 3u);
    EXPECT_FALSE(std::signbit(average[0]));
    EXPECT_EQ(average[1], 1.5);
    EXPECT_EQ(average[2], -2.0);
}

TEST(MotifMeasures, TiesKeepTheEarlierPosition) {
    const SeriesSet ts{{0, 0, 0, 0, 4, 4, 4, 4}};
    Motif motif = motif_at(2, {{0, 0}, {0, 2}});
    motif.map(ts, 2);
    expect_values(motif.get_average_occurrences().at(0), {2, 2, 2, 2});
    expect_values(motif.get_representative(), {2, 2, 2, 2});
    EXPECT_EQ(motif.get_best_matches(), (BestMatches{{0, 0}}));
    EXPECT_DOUBLE_EQ(motif.get_naed(), 1.0);  // 4.0 / (1 series x 4 points)
}

TEST(MotifMeasures, EverySeriesCountsOnceInTheRepresentative) {
    const SeriesSet ts{{1, 1}, {3, 3, 5, 5}};
    Motif motif = motif_at(1, {{0, 0}, {1, 0}, {1, 1}});
    motif.map(ts, 2);
    expect_values(motif.get_average_occurrences().at(0), {1, 1});
    expect_values(motif.get_average_occurrences().at(1), {4, 4});
    expect_values(motif.get_representative(), {2.5, 2.5});
    EXPECT_EQ(motif.get_best_matches(), (BestMatches{{0, 0}, {1, 0}}));
    // Best distances sqrt(4.5) in series 0 and sqrt(0.5) in series 1, over 2 series x 2 points.
    EXPECT_NEAR(motif.get_naed(), (std::sqrt(4.5) + std::sqrt(0.5)) / 4, 1e-12);
}

TEST(MotifMeasures, AllNanOccurrenceHasDistanceZero) {
    const SeriesSet ts{{nan, nan, nan, nan}};
    Motif motif = motif_at(1, {{0, 0}, {0, 1}});
    motif.map(ts, 2);
    expect_values(motif.get_representative(), {nan, nan});
    EXPECT_EQ(motif.get_best_matches(), (BestMatches{{0, 0}}));
    EXPECT_DOUBLE_EQ(motif.get_naed(), 0.0);
}

TEST(MotifMeasures, MotifWithoutOccurrences) {
    Motif motif = motif_at(3, {});
    motif.map({{1, 2, 3}}, 2);
    expect_values(motif.get_representative(), {0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(motif.get_average_occurrences().empty());
    EXPECT_TRUE(motif.get_best_matches().empty());
    EXPECT_TRUE(std::isnan(motif.get_naed()));
}

TEST(MotifMeasures, SegmentLengthZeroGivesEmptyOccurrencesAndNanNaed) {
    Motif motif = motif_at(2, {{0, 0}, {0, 1}});
    motif.map({{1, 2, 3}}, 0);
    EXPECT_EQ(motif.get_length(), 0);
    EXPECT_TRUE(motif.get_representative().empty());
    EXPECT_EQ(motif.get_best_matches(), (BestMatches{{0, 0}}));
    EXPECT_TRUE(std::isnan(motif.get_naed()));
}

TEST(MotifMeasures, NegativeSegmentLengthIsALengthError) {
    Motif motif = motif_at(2, {{0, 0}});
    try {
        motif.map({{1, 2, 3}}, -1);
        FAIL() << "negative seglen accepted";
    } catch (const std::length_error& error) {
        EXPECT_STREQ(error.what(), "vector::reserve");
    }
}

TEST(MotifMeasures, MappingAgainRecomputesFromScratch) {
    const SeriesSet first{{0, 0, 0, 0, 4, 4, 4, 4}};
    const SeriesSet second{{1, 1, 1, 1, 1, 1, 1, 1}};
    Motif motif = motif_at(2, {{0, 0}, {0, 2}});
    motif.map(first, 2);
    motif.map(second, 2);
    Motif fresh = motif_at(2, {{0, 0}, {0, 2}});
    fresh.map(second, 2);
    EXPECT_EQ(motif.get_representative(), fresh.get_representative());
    EXPECT_EQ(motif.get_average_occurrences(), fresh.get_average_occurrences());
    EXPECT_EQ(motif.get_best_matches(), fresh.get_best_matches());
    EXPECT_EQ(motif.get_naed(), fresh.get_naed());
    EXPECT_EQ(motif.get_naed(), 0.0);
}

TEST(MotifMeasures, CopiesCarryTheMeasures) {
    Motif motif = motif_at(1, {{0, 0}, {1, 0}, {1, 1}});
    motif.map({{1, 1}, {3, 3, 5, 5}}, 2);
    Motif copy = motif;
    EXPECT_EQ(copy.get_representative(), motif.get_representative());
    EXPECT_EQ(copy.get_best_matches(), motif.get_best_matches());
    EXPECT_EQ(copy.get_naed(), motif.get_naed());
    copy.map({{9, 9}, {9, 9, 9, 9}}, 2);
    EXPECT_EQ(motif.get_representative(), (std::vector<double>{2.5, 2.5}));
}

InterruptPoll no_poll() { return InterruptPoll{InterruptCheck{}}; }

// One series' average occurrence by the measure's own steps.
std::vector<double> average_of(const Series& series, const std::vector<int>& positions, int seglen, int length) {
    Occurrences occurrences;
    for (int position : positions) occurrences.push_back(Occurrence{0, position});
    InterruptPoll poll = no_poll();
    return average_occurrences({series}, occurrences, seglen, length, poll);
}

TEST(Measures, AverageSkipsPointsPastTheEnd) {
    const Series series{1, 2, 3, 4, 5};
    // Occurrences at segments 0 and 2 (seglen 2, 4 points): {1,2,3,4} and {5,NaN,NaN,NaN}.
    const std::vector<double> average = average_of(series, {0, 2}, 2, 4);
    EXPECT_EQ(average[0], 3.0);
    EXPECT_EQ(average[1], 2.0);
    EXPECT_EQ(average[3], 4.0);
    const std::vector<double> beyond = average_of(series, {3}, 2, 2);
    EXPECT_TRUE(std::isnan(beyond[0]) && std::isnan(beyond[1]));
}

TEST(Measures, PointSumsAddUpAcrossParts) {
    PointSums whole(2);
    PointSums first(2);
    PointSums second(2);
    const std::vector<double> a{1, nan}, b{2, 4}, c{nan, nan};
    for (const std::vector<double>* values : {&a, &b, &c}) whole.add(values->data(), 2);
    first.add(a.data(), 2);
    second.add(b.data(), 2);
    second.add(c.data(), 2);
    EXPECT_EQ(whole.sums[0], first.sums[0] + second.sums[0]);
    EXPECT_EQ(whole.counts, (std::vector<double>{first.counts[0] + second.counts[0], 1}));
    EXPECT_EQ(whole.mean(0), 1.5);
    EXPECT_EQ(whole.mean(1), 4.0);
    EXPECT_TRUE(std::isnan(PointSums(1).mean(0)));
}

TEST(Measures, BestMatchTakesTheEarlierOfEqualDistancesAndNeverNaN) {
    const Series series{0, 1, 0, 1, 5, 5};
    const Occurrences occurrences{{0, 0}, {0, 1}, {0, 2}};
    const auto best = [&](const std::vector<double>& representative) {
        InterruptPoll poll = no_poll();
        return best_matches(occurrences, distances({series}, occurrences, 2, representative, poll)).at(0);
    };
    // Segments 0 and 1 are equally close to {0, 1}; segment 2 is {5, 5}.
    EXPECT_EQ(best({0, 1}).position, 0);
    EXPECT_EQ(best({5, 5}).position, 2);
    const BestMatch none = best({nan, nan});
    EXPECT_EQ(none.position, 0);
    EXPECT_EQ(none.distance, 1000000.0);
}

TEST(Measures, OccurrenceLengthHasTheMappingsLimits) {
    EXPECT_EQ(occurrence_length(4, 3), 12);
    EXPECT_THROW(occurrence_length(1 << 30, 2), std::overflow_error);
    EXPECT_THROW(occurrence_length(-1, 2), std::length_error);
}

// ---- Motif::map against the plain computation ----------------------------------------------

// The measures the plain way: each occurrence cut out and padded with NaN, NaN-skipping means
// with a branch per point, one distance at a time.
struct PlainMeasures {
    std::map<int, std::vector<double>> averages;
    std::vector<double> representative;
    std::map<int, int> best_starts;
    double naed = 0.0;
};

std::vector<double> cut(const Series& series, int position, int seglen, int length) {
    std::vector<double> values(static_cast<std::size_t>(length), nan);
    for (int k = 0; k < length; ++k) {
        const std::size_t point = static_cast<std::size_t>(position) * seglen + k;
        if (point < series.size()) values[k] = series[point];
    }
    return values;
}

std::vector<double> plain_mean(const std::vector<std::vector<double>>& rows, int length) {
    std::vector<double> mean(static_cast<std::size_t>(length));
    for (int k = 0; k < length; ++k) {
        double sum = 0.0;
        int count = 0;
        for (const std::vector<double>& row : rows) {
            if (!std::isnan(row[k])) {
                sum += row[k];
                ++count;
            }
        }
        mean[k] = count == 0 ? nan : sum / count;
    }
    return mean;
}

PlainMeasures plain_map(const SeriesSet& ts, const OccurrenceIndex& index, int seglen, int letters) {
    const int length = seglen * letters;
    PlainMeasures plain;
    std::vector<std::vector<double>> averages;
    for (const auto& [s, positions] : index) {
        std::vector<std::vector<double>> rows;
        for (int position : positions) rows.push_back(cut(ts[s], position, seglen, length));
        plain.averages[s] = plain_mean(rows, length);
        averages.push_back(plain.averages[s]);
    }
    plain.representative = plain_mean(averages, length);
    for (double& value : plain.representative) value = 0.0 + value;
    double total = 0.0;
    for (const auto& [s, positions] : index) {
        double best = 1000000.0;
        int best_position = 0;
        for (int position : positions) {
            const std::vector<double> values = cut(ts[s], position, seglen, length);
            double squares = 0.0;
            for (int k = 0; k < length; ++k) {
                if (!std::isnan(values[k])) squares += (values[k] - plain.representative[k]) * (values[k] - plain.representative[k]);
            }
            if (std::sqrt(squares) < best) {
                best = std::sqrt(squares);
                best_position = position;
            }
        }
        plain.best_starts[s] = best_position * seglen;
        total += best;
    }
    plain.naed = total / (static_cast<double>(index.size()) * length);
    return plain;
}

// Bit for bit: the fast path sums every point in the same order as the plain one.
void expect_same_bits(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(std::memcmp(&actual[k], &expected[k], sizeof(double)), 0)
            << "at " << k << ": " << actual[k] << " against " << expected[k];
    }
}

TEST(MotifMap, IsThePlainComputationOnSeededRandomInputs) {
    // Series of every length with NaN points and -0.0, occurrences anywhere (past the end
    // too), one to nine per series and repeated: the paths for one occurrence, for four
    // distances at a time and for a tail, against cutting and averaging one by one. Sums
    // are taken without looking for NaN and redone when they come out NaN, so a third of
    // the rounds also hold infinities, whose inf - inf is a NaN made of no NaN.
    std::mt19937 rng(17);
    const double inf = std::numeric_limits<double>::infinity();
    for (int round = 0; round < 300; ++round) {
        const int seglen = 1 + static_cast<int>(rng() % 4);
        const int letters = 1 + static_cast<int>(rng() % 4);
        SeriesSet ts;
        for (int s = 0; s < 1 + static_cast<int>(rng() % 6); ++s) {
            Series series;
            for (int i = 0; i < static_cast<int>(rng() % 40); ++i) {
                const unsigned kind = rng() % 20;
                if (kind == 2 && round % 3 == 0) {
                    series.push_back(rng() % 2 == 0 ? inf : -inf);
                    continue;
                }
                series.push_back(kind == 0 ? nan : kind == 1 ? -0.0 : std::ldexp(static_cast<double>(rng() % 2001) - 1000.0, -7));
            }
            ts.push_back(series);
        }
        Motif motif(Pattern(static_cast<std::size_t>(letters), 'a'));
        for (int s = 0; s < static_cast<int>(ts.size()); ++s) {
            if (rng() % 4 == 0) continue;
            const int segments = static_cast<int>(ts[s].size()) / seglen + 2;
            for (int o = 0; o < 1 + static_cast<int>(rng() % 9); ++o) motif.record_index(s, static_cast<int>(rng() % segments));
        }
        motif.map(ts, seglen);
        const PlainMeasures plain = plain_map(ts, motif.get_indexes(), seglen, letters);
        expect_same_bits(motif.get_representative(), motif.get_support() == 0 ? std::vector<double>(seglen * letters, 0.0)
                                                                              : plain.representative);
        for (const auto& [s, average] : plain.averages) expect_same_bits(motif.get_average_occurrences().at(s), average);
        const BestMatches best = motif.get_best_matches();
        EXPECT_EQ((std::map<int, int>(best.begin(), best.end())), plain.best_starts);
        if (motif.get_support() > 0) {
            EXPECT_TRUE(motif.get_naed() == plain.naed) << motif.get_naed() << " against " << plain.naed;
        }
    }
}

}  // namespace
}  // namespace qel
