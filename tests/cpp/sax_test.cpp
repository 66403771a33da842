#include "sax.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace qel {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

std::string letters(const Symbols& row) { return std::string(row.begin(), row.end()); }

Series one_to_eight() { return {1, 2, 3, 4, 5, 6, 7, 8}; }

SeriesSet normalised_one_to_eight() {
    SeriesSet ts{one_to_eight()};
    znorm(ts);
    return ts;
}

TEST(Znorm, UsesMeanAndPopulationDeviation) {
    const SeriesSet ts = normalised_one_to_eight();
    const double deviation = std::sqrt(5.25);
    ASSERT_EQ(ts[0].size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_DOUBLE_EQ(ts[0][i], (i + 1 - 4.5) / deviation);
    }
    EXPECT_NEAR(ts[0][0], -1.5275, 1e-4);
}

TEST(Znorm, ConstantSeriesBecomesNanAndEmptySeriesStaysEmpty) {
    SeriesSet ts{{3, 3, 3}, {}, {7}};
    znorm(ts);
    ASSERT_EQ(ts[0].size(), 3u);
    for (double value : ts[0]) EXPECT_TRUE(std::isnan(value));
    EXPECT_TRUE(ts[1].empty());
    ASSERT_EQ(ts[2].size(), 1u);
    EXPECT_TRUE(std::isnan(ts[2][0]));
}

// The plain formula, pass by pass: what ordinary data must still get bit for bit.
Series plain_znorm(Series series) {
    double sum = 0.0;
    for (double value : series) sum += value;
    const double mean = sum / static_cast<double>(series.size());
    double squares = 0.0;
    for (double& value : series) {
        value -= mean;
        squares += value * value;
    }
    const double deviation = std::sqrt(squares / static_cast<double>(series.size()));
    for (double& value : series) value /= deviation;
    return series;
}

TEST(Znorm, OrdinaryDataAreBitIdenticalToThePlainFormula) {
    SeriesSet ts{{0.1, 0.1, 0.1, 0.2}, {1, 1 + 1e-15, 1}, {-3e5, 2.5, 7e-3, 1e6}, {1e-100, 3e-100, 2e-100}};
    for (int i = 0; i < 50; ++i) ts[2].push_back(std::sin(i) * 1e3);
    const SeriesSet before = ts;
    znorm(ts);
    for (std::size_t s = 0; s < ts.size(); ++s) {
        const Series expected = plain_znorm(before[s]);
        for (std::size_t i = 0; i < ts[s].size(); ++i) {
            EXPECT_EQ(std::memcmp(&ts[s][i], &expected[i], sizeof(double)), 0) << s << " " << i;
        }
    }
}

// The squares overflow at 1e160 and underflow at 1e-200; scaled first, both series normalise
// like the same shape at ordinary magnitude.
TEST(Znorm, ExtremeMagnitudesNormaliseLikeOrdinaryOnes) {
    const Series shape{0, 3, 1, 0, 3, 1, -2, 5};
    const Series expected = plain_znorm(shape);
    for (double magnitude : {1e160, 1e300, 1e-200, 1e-310}) {
        Series series = shape;
        for (double& value : series) value *= magnitude;
        znorm_series(series);
        for (std::size_t i = 0; i < shape.size(); ++i) {
            EXPECT_NEAR(series[i], expected[i], 1e-12) << magnitude << " at " << i;
        }
    }
}

TEST(Znorm, ConstantAndNonFiniteSeriesKeepThePlainResult) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const Series& input : {Series{1e300, 1e300}, Series{1e-320, 1e-320, 1e-320},
                                Series{1, inf, 2}, Series{1, nan, 1e300, -1e300}}) {
        Series series = input;
        znorm_series(series);
        const Series expected = plain_znorm(input);
        for (std::size_t i = 0; i < series.size(); ++i) {
            EXPECT_EQ(std::isnan(series[i]), std::isnan(expected[i])) << input[0] << " at " << i;
            if (!std::isnan(expected[i])) EXPECT_EQ(series[i], expected[i]);
        }
    }
}

// Equal points are a constant series, and NaN, however the mean rounds: an inexact mean of
// 0.1 x 140 would otherwise leave centred points of about 1e-17 that divide into +-1, and the
// underflowing squares of -1e-300 x 40 would give +-inf.
TEST(Znorm, AllEqualPointsBecomeNanWhateverTheMeanRoundsTo) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const Series& input : {Series(140, 0.1), Series(40, -1e-300), Series(7, 1.0 / 3.0), Series{0.0, -0.0},
                                Series{-inf, -inf}}) {
        Series series = input;
        znorm_series(series);
        for (double value : series) EXPECT_TRUE(std::isnan(value)) << input[0] << " x " << input.size();
        Series row = input;
        EXPECT_EQ(letters(znorm_row(row, 2, 3)), std::string((input.size() + 1) / 2, 'a'));
    }
    // Points that differ in the last bit are no constant series: the plain formula, bit for bit.
    const Series nearly{0.1, 0.1, std::nextafter(0.1, 1.0), 0.1};
    Series series = nearly;
    znorm_series(series);
    const Series expected = plain_znorm(nearly);
    EXPECT_TRUE(std::isfinite(series[2]));
    EXPECT_EQ(std::memcmp(series.data(), expected.data(), sizeof(double) * nearly.size()), 0);
}

// The standard normal quantile at p: the x where Phi(x) = erfc(-x / sqrt 2) / 2 reaches p,
// found by bisection (Phi rises, so halving the bracket closes on it).
double normal_quantile(double p) {
    double low = -10.0;
    double high = 10.0;
    for (int step = 0; step < 200; ++step) {
        const double middle = (low + high) / 2.0;
        (0.5 * std::erfc(-middle / std::sqrt(2.0)) < p ? low : high) = middle;
    }
    return (low + high) / 2.0;
}

// Row s of the breakpoints: the quantiles at k / s for k = 1 .. s - 1, to two decimals, so
// that each letter is equally likely for z-normalised data.
std::vector<double> quantile_row(int size) {
    std::vector<double> row;
    for (int k = 1; k < size; ++k) {
        row.push_back(std::round(normal_quantile(static_cast<double>(k) / size) * 100.0) / 100.0);
    }
    return row;
}

TEST(DiscreteValue, QuantilesAreTheKnownValues) {
    // A few by hand, so that the derivation itself is held to something.
    EXPECT_EQ(quantile_row(2), (std::vector<double>{0.0}));
    EXPECT_EQ(quantile_row(4), (std::vector<double>{-0.67, 0.0, 0.67}));
    EXPECT_EQ(quantile_row(10).front(), -1.28);
}

// Every breakpoint of every row: the value itself takes the lower letter, the next double
// above it the higher one. Holds each row of the table to its two-decimal quantiles.
TEST(DiscreteValue, BreakpointTableBoundaries) {
    std::vector<std::vector<double>> expected;
    for (int size = 0; size <= max_alphabet; ++size) {
        expected.push_back(quantile_row(size));
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (int size = 0; size <= max_alphabet; ++size) {
        const auto& row = expected[static_cast<std::size_t>(size)];
        for (std::size_t k = 0; k < row.size(); ++k) {
            EXPECT_EQ(get_discrete_value(size, row[k]), 'a' + static_cast<int>(k))
                << "size " << size << " breakpoint " << row[k];
            EXPECT_EQ(get_discrete_value(size, std::nextafter(row[k], inf)),
                      'a' + static_cast<int>(k) + 1)
                << "size " << size << " above " << row[k];
        }
        EXPECT_EQ(get_discrete_value(size, -inf), 'a');
        EXPECT_EQ(get_discrete_value(size, inf), 'a' + static_cast<int>(row.size()));
        EXPECT_EQ(get_discrete_value(size, nan), 'a') << "NaN is below nothing";
    }
}

TEST(GetRow, SegmentAveragesOfRawValues) {
    EXPECT_EQ(letters(get_row(one_to_eight(), 4, 3)), "cc");
}

TEST(GetRow, NormalisedValues) {
    const Series series = normalised_one_to_eight()[0];
    EXPECT_EQ(letters(get_row(series, 4, 3)), "ac");
    // The trailing two-point segment is divided by 3, not 2: 0.8729 ('i'), not 1.3093 ('j').
    EXPECT_EQ(letters(get_row(series, 3, 10)), "bfi");
}

TEST(GetRow, ShortAndEmptySeries) {
    EXPECT_EQ(letters(get_row({0.5, 0.5}, 4, 2)), "b");  // 1.0 / 4 = 0.25
    EXPECT_EQ(letters(get_row({0.5, -0.1}, 4, 2)), "b");
    EXPECT_EQ(letters(get_row({-0.5}, 4, 2)), "a");
    EXPECT_TRUE(get_row({}, 4, 3).empty());
}

TEST(GetRow, SmallAlphabetsGiveOnlyA) {
    EXPECT_EQ(letters(get_row({-5, 5, 100}, 1, 0)), "aaa");
    EXPECT_EQ(letters(get_row({-5, 5, 100}, 1, 1)), "aaa");
}

TEST(GetRow, NanSegmentsGiveA) {
    EXPECT_EQ(letters(get_row({nan, nan, nan, 2.0, 2.0}, 2, 4)), "aad");
}

TEST(GetRow, UnusableSegmentLengthsAreLengthErrors) {
    const char* message = "cannot create std::vector larger than max_size()";
    for (const Series& series : {Series{}, Series{1.0}, Series{1, 2, 3}}) {
        try {
            get_row(series, 0, 3);
            FAIL() << "seglen 0 accepted for a series of " << series.size();
        } catch (const std::length_error& error) {
            EXPECT_STREQ(error.what(), message);
        }
    }
    EXPECT_THROW(get_row({1, 2, 3, 4, 5}, -2, 3), std::length_error);  // ceil(-2.5) = -2
}

TEST(GetRow, NegativeSegmentLengthLongerThanSeriesGivesNoLetters) {
    EXPECT_TRUE(get_row({1, 2, 3}, -5, 3).empty());
    EXPECT_TRUE(get_row({}, -1, 3).empty());
}

// Letters are counted a block of segments at a time, two segments side by side: each must get
// the letter of its own average, summed in point order and divided by the full seglen, as one
// segment alone does. Lengths cross the blocks and the pairs, tails are short, and averages
// fall on breakpoints (the lower letter), on NaN ('a') and on infinities.
TEST(GetRow, EachSegmentAsAloneOnSeededRandomSeries) {
    std::mt19937 random(41);
    const double specials[] = {nan, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                               0.0, -0.0, 0.43, -0.43, 0.67, 1.28};
    for (int round = 0; round < 600; ++round) {
        Series series(random() % 400);
        for (double& value : series) {
            value = random() % 10 == 0 ? specials[random() % 9] : (static_cast<double>(random() % 4001) - 2000.0) / 997.0;
        }
        const int seglen = 1 + static_cast<int>(random() % 13);
        const int alphabet = static_cast<int>(random() % 11);
        std::string expected;
        for (std::size_t start = 0; start < series.size(); start += static_cast<std::size_t>(seglen)) {
            double sum = 0.0;
            for (std::size_t point = start; point < std::min(series.size(), start + seglen); ++point) {
                sum += series[point];
            }
            expected += get_discrete_value(alphabet, sum / seglen);
        }
        EXPECT_EQ(letters(get_row(series, seglen, alphabet)), expected) << round;
    }
}

// The one-pass form gives the two-pass result bit for bit, the tail segment and the extreme
// magnitudes included.
TEST(ZnormRow, SameAsNormalisingThenDiscretising) {
    const SeriesSet inputs{{}, {3, 3, 3}, {1, 5, 2, 8, 3, 9, 4}, {1e160, -2e160, 3e160, 0, 1},
                           {nan, 1, 2}};
    for (const Series& input : inputs) {
        for (int seglen : {1, 2, 3, 10}) {
            Series two_pass = input;
            znorm_series(two_pass);
            const Symbols expected = get_row(two_pass, seglen, 4);
            Series one_pass = input;
            EXPECT_EQ(letters(znorm_row(one_pass, seglen, 4)), letters(expected));
            // Bit for bit (NaN included); an empty series has no data pointer to compare.
            EXPECT_TRUE(input.empty() ||
                        std::memcmp(one_pass.data(), two_pass.data(), input.size() * sizeof(double)) == 0);
        }
    }
    Series untouched{1, 2, 3};
    EXPECT_THROW(znorm_row(untouched, 0, 4), std::length_error);
    EXPECT_EQ(untouched, (Series{1, 2, 3}));
}

// The series of a set are normalised four at a time, their sums side by side: each must still
// get what it gets alone, bit for bit, and ordinary data the plain formula's bits. Sets of
// up to eleven series cross the groups; lengths differ within a group, and constant, empty,
// NaN-holding and extreme series (scaled first) fall anywhere in one.
TEST(ZnormRows, EachSeriesAsAloneOnSeededRandomSets) {
    std::mt19937 random(23);
    for (int round = 0; round < 400; ++round) {
        SeriesSet ts(random() % 12);
        std::vector<bool> ordinary(ts.size(), false);
        for (std::size_t s = 0; s < ts.size(); ++s) {
            const unsigned kind = random() % 8;
            const double scale = kind == 0 ? 1e200 : kind == 1 ? 1e-200 : 1.0;
            ts[s].resize(random() % 50);
            for (double& value : ts[s]) value = scale * (static_cast<double>(random() % 2001) - 1000.0) / 7.0;
            if (kind == 2) std::fill(ts[s].begin(), ts[s].end(), 0.1);
            if (kind == 3 && !ts[s].empty()) ts[s][random() % ts[s].size()] = nan;
            ordinary[s] = kind > 3;
        }
        const int seglen = 1 + static_cast<int>(random() % 7);
        const int alphabet = static_cast<int>(random() % 11);
        SeriesSet together = ts;
        InterruptPoll poll{InterruptCheck{}};
        const std::vector<Symbols> rows = znorm_rows(together, seglen, alphabet, poll);
        SeriesSet whole = ts;
        znorm(whole);
        ASSERT_EQ(rows.size(), ts.size());
        for (std::size_t s = 0; s < ts.size(); ++s) {
            Series alone = ts[s];
            EXPECT_EQ(letters(rows[s]), letters(znorm_row(alone, seglen, alphabet))) << round << " " << s;
            const std::size_t bytes = alone.size() * sizeof(double);
            EXPECT_TRUE(bytes == 0 || std::memcmp(together[s].data(), alone.data(), bytes) == 0) << round << " " << s;
            EXPECT_TRUE(bytes == 0 || std::memcmp(whole[s].data(), alone.data(), bytes) == 0) << round << " " << s;
            if (ordinary[s] && !alone.empty()) {
                EXPECT_EQ(std::memcmp(alone.data(), plain_znorm(ts[s]).data(), bytes), 0) << round << " " << s;
            }
        }
    }
}

TEST(ZnormRows, UnusableParametersLeaveTheSetAlone) {
    const SeriesSet input{{1, 2, 3}, {4, 5}};
    SeriesSet ts = input;
    InterruptPoll poll{InterruptCheck{}};
    EXPECT_THROW(znorm_rows(ts, 2, 11, poll), std::invalid_argument);
    EXPECT_THROW(znorm_rows(ts, 0, 4, poll), std::length_error);
    EXPECT_EQ(ts, input);
}

TEST(Sax, OneRowPerSeriesInOrderAndInputUnchanged) {
    const SeriesSet ts{{1, 2, 3, 4, 5, 6, 7, 8}, {}, {-1, -1}};
    const SeriesSet before = ts;
    const auto rows = sax(ts, 4, 3);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(letters(rows[0]), "cc");
    EXPECT_TRUE(rows[1].empty());
    EXPECT_EQ(letters(rows[2]), "a");  // -2 / 4 = -0.5, below -0.43
    EXPECT_EQ(ts, before);
}

TEST(Sax, EmptySetNeedsNoUsableSegmentLength) {
    EXPECT_TRUE(sax({}, 0, 3).empty());
    EXPECT_THROW(sax({{}}, 0, 3), std::length_error);
}

TEST(Sax, AlphabetOutsideTableIsRejectedBeforeAnyWork) {
    for (int alphabet : {-1, 11, 1000}) {
        for (const SeriesSet& ts : {SeriesSet{}, SeriesSet{{1, 2, 3}}}) {
            try {
                sax(ts, 0, alphabet);
                FAIL() << "alphabet " << alphabet << " accepted";
            } catch (const std::invalid_argument& error) {
                EXPECT_EQ(std::string(error.what()),
                          "alphabet must be between 0 and 10, got " + std::to_string(alphabet));
            }
        }
    }
}

}  // namespace
}  // namespace qel
