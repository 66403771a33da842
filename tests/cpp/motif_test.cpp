#include "motif.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

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

}  // namespace
}  // namespace qel
