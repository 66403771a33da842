#include "sax.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

namespace qel {

namespace {

// Row s holds the s - 1 quantiles of the standard normal distribution at k / s, to two
// decimals, so that each letter of an alphabet of size s is equally likely for z-normalised
// data. Sizes 0 and 1 have no breakpoint: every value is 'a'.
const std::vector<std::vector<double>> breakpoints = {
    {},
    {},
    {0.0},
    {-0.43, 0.43},
    {-0.67, 0.0, 0.67},
    {-0.84, -0.25, 0.25, 0.84},
    {-0.97, -0.43, 0.0, 0.43, 0.97},
    {-1.07, -0.57, -0.18, 0.18, 0.57, 1.07},
    {-1.15, -0.67, -0.32, 0.0, 0.32, 0.67, 1.15},
    {-1.22, -0.76, -0.43, -0.14, 0.14, 0.43, 0.76, 1.22},
    {-1.28, -0.84, -0.52, -0.25, 0.0, 0.25, 0.52, 0.84, 1.28},
};

// The message the standard library gives when a vector of impossible size is requested:
// a segment count that is negative, not finite or beyond int is reported the same way.
[[noreturn]] void throw_bad_segment_count() {
    throw std::length_error("cannot create std::vector larger than max_size()");
}

// ceil(points / seglen) in double precision. seglen 0 gives infinity or NaN, a negative
// seglen a count <= 0; only a finite count that fits an int is usable.
int segment_count(std::size_t points, int seglen) {
    const double count = std::ceil(static_cast<double>(points) / static_cast<double>(seglen));
    if (!(count >= 0.0 && count <= static_cast<double>(INT_MAX))) {
        throw_bad_segment_count();
    }
    return static_cast<int>(count);
}

// Squared differences below this are subnormal or near it and have lost their precision.
constexpr double smallest_reliable_squares = 0x1p-900;

// Whether a series is worth scaling: finite values that are not all equal. A series holding
// inf or NaN, and a constant one, keep what the plain formula gives.
bool can_rescale(const Series& series) {
    double lowest = series.front();
    double highest = series.front();
    for (double value : series) {
        if (!std::isfinite(value)) {
            return false;
        }
        lowest = std::min(lowest, value);
        highest = std::max(highest, value);
    }
    return lowest < highest;
}

// Whether every point compares equal to the first: [0.0, -0.0] does, a series holding NaN
// does not.
bool all_equal(const Series& series) {
    const double first = series.front();
    for (double value : series) {
        if (!(value == first)) {
            return false;
        }
    }
    return true;
}

// Mean and sum of squared differences from it, summed in point order.
std::pair<double, double> moments(const Series& series) {
    double sum = 0.0;
    for (double value : series) {
        sum += value;
    }
    const double mean = sum / static_cast<double>(series.size());
    double squares = 0.0;
    for (double value : series) {
        const double difference = value - mean;
        squares += difference * difference;
    }
    return {mean, squares};
}

// What a non-empty series is normalised by: value -> (value - mean) / deviation.
struct Normalisation {
    double mean;
    double deviation;
};

// The plain mean and population deviation, except where their sums overflowed or
// underflowed: then the series is first scaled (in place) by a power of two.
Normalisation normalisation(Series& series) {
    // A constant series has deviation 0 and becomes NaN, whatever its mean rounds to: an
    // inexact mean ([0.1] x 140) would leave centred points of about 1e-17 that divide into
    // +-1, squares that underflow ([-1e-300] x 40) points of +-inf, and either gives letters
    // and distances that say nothing. Dividing 0 by 0 here is the plain formula's NaN.
    if (all_equal(series)) {
        return {series.front(), 0.0};
    }
    auto [mean, squares] = moments(series);
    const bool suspect =
        !std::isfinite(mean) || !std::isfinite(squares) || squares < smallest_reliable_squares;
    if (suspect && can_rescale(series)) {
        // Z-normalisation does not depend on scale: bring the largest magnitude to [1, 2),
        // where neither the sum nor the squares can overflow or underflow. A power of two
        // scales every value exactly (ldexp per value: 2^shift alone may not be a double).
        double largest = 0.0;
        for (double value : series) {
            largest = std::max(largest, std::fabs(value));
        }
        const int shift = -std::ilogb(largest);
        for (double& value : series) {
            value = std::ldexp(value, shift);
        }
        std::tie(mean, squares) = moments(series);
    }
    // No floor on the deviation: only a constant series has deviation 0 (see above), and its
    // NaN values read as 'a' in the discretisation and are skipped by the measures.
    return {mean, std::sqrt(squares / static_cast<double>(series.size()))};
}

void check_alphabet(int alphabet) {
    if (alphabet < 0 || alphabet > max_alphabet) {
        throw std::invalid_argument("alphabet must be between 0 and 10, got " +
                                    std::to_string(alphabet));
    }
}

// 'a' plus the number of breakpoints strictly below the value. Rows are ascending, so that is
// the index of the first one not below it: a value equal to a breakpoint takes the lower
// letter, and NaN, below nothing, takes 'a'.
char letter_of(const double* bounds, std::size_t size, double value) {
    std::size_t below = 0;
    while (below < size && bounds[below] < value) {
        ++below;
    }
    return static_cast<char>('a' + below);
}

}  // namespace

void znorm(SeriesSet& ts) {
    for (Series& series : ts) {
        znorm_series(series);
    }
}

void znorm_series(Series& series) {
    if (series.empty()) {
        return;
    }
    const Normalisation by = normalisation(series);
    for (double& value : series) {
        value = (value - by.mean) / by.deviation;
    }
}

Symbols znorm_row(Series& series, int seglen, int alphabet) {
    const int count = segment_count(series.size(), seglen);
    Symbols row(static_cast<std::size_t>(count));
    if (count == 0) {
        znorm_series(series);
        return row;
    }
    const std::vector<double>& bounds = breakpoints.at(static_cast<std::size_t>(alphabet));
    const Normalisation by = normalisation(series);
    for (int i = 0; i < count; ++i) {
        const std::size_t start = static_cast<std::size_t>(i) * static_cast<std::size_t>(seglen);
        const std::size_t end = std::min(series.size(), start + static_cast<std::size_t>(seglen));
        double sum = 0.0;
        for (std::size_t point = start; point < end; ++point) {
            series[point] = (series[point] - by.mean) / by.deviation;
            sum += series[point];
        }
        row[static_cast<std::size_t>(i)] = letter_of(bounds.data(), bounds.size(), sum / seglen);
    }
    return row;
}

char get_discrete_value(int alphabet, double value) {
    const std::vector<double>& row = breakpoints.at(static_cast<std::size_t>(alphabet));
    return letter_of(row.data(), row.size(), value);
}

Symbols get_row(const Series& series, int seglen, int alphabet) {
    const int count = segment_count(series.size(), seglen);
    Symbols row(static_cast<std::size_t>(count));
    if (count == 0) {
        return row;
    }
    const std::vector<double>& bounds = breakpoints.at(static_cast<std::size_t>(alphabet));
    for (int i = 0; i < count; ++i) {
        const std::size_t start = static_cast<std::size_t>(i) * static_cast<std::size_t>(seglen);
        const std::size_t end = std::min(series.size(), start + static_cast<std::size_t>(seglen));
        double sum = 0.0;
        for (std::size_t point = start; point < end; ++point) {
            sum += series[point];
        }
        // The trailing segment is divided by the full seglen too: the missing points count
        // as zeros (the mean of z-normalised data), which keeps a short tail from getting
        // an extreme letter from one or two points.
        row[static_cast<std::size_t>(i)] = letter_of(bounds.data(), bounds.size(), sum / seglen);
    }
    return row;
}

std::vector<Symbols> sax(const SeriesSet& ts, int seglen, int alphabet) {
    check_alphabet(alphabet);
    std::vector<Symbols> rows(ts.size());
    for (std::size_t i = 0; i < ts.size(); ++i) {
        rows[i] = get_row(ts[i], seglen, alphabet);
    }
    return rows;
}

}  // namespace qel
