#include "sax.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

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

void check_alphabet(int alphabet) {
    if (alphabet < 0 || alphabet > max_alphabet) {
        throw std::invalid_argument("alphabet must be between 0 and 10, got " +
                                    std::to_string(alphabet));
    }
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

// What z-normalisation needs of a series, with what tells whether it can be trusted.
struct Moments {
    double mean = 0.0;
    // Sum of squared differences from the mean.
    double squares = 0.0;
    double largest_magnitude = 0.0;
    double lowest = 0.0;
    double highest = 0.0;
    bool finite = true;
};

Moments measure(const Series& series) {
    Moments moments;
    moments.lowest = series.front();
    moments.highest = series.front();
    double sum = 0.0;
    for (double value : series) {
        sum += value;
        moments.finite &= std::isfinite(value);
        moments.lowest = std::min(moments.lowest, value);
        moments.highest = std::max(moments.highest, value);
    }
    moments.mean = sum / static_cast<double>(series.size());
    for (double value : series) {
        const double difference = value - moments.mean;
        moments.squares += difference * difference;
    }
    moments.largest_magnitude = std::max(std::fabs(moments.lowest), std::fabs(moments.highest));
    return moments;
}

// Squared differences below this are subnormal or near it and have lost their precision.
constexpr double smallest_reliable_squares = 0x1p-900;

// Whether the plain sums went wrong on finite values that differ: the sum or the squares
// overflowed, or the squares underflowed. A series holding inf or NaN, and a constant one,
// keep what the plain formula gives.
bool needs_rescaling(const Moments& moments) {
    if (!moments.finite || !(moments.lowest < moments.highest)) {
        return false;
    }
    return !std::isfinite(moments.mean) || !std::isfinite(moments.squares) ||
           moments.squares < smallest_reliable_squares;
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
    const double n = static_cast<double>(series.size());
    Moments moments = measure(series);
    if (needs_rescaling(moments)) {
        // Z-normalisation does not depend on scale: bring the largest magnitude to [1, 2),
        // where neither the sum nor the squares can overflow or underflow. A power of two
        // scales every value exactly (ldexp per value: 2^shift alone may not be a double).
        const int shift = -std::ilogb(moments.largest_magnitude);
        for (double& value : series) {
            value = std::ldexp(value, shift);
        }
        moments = measure(series);
    }
    // No floor on the deviation: a constant series becomes NaN (0 / 0), which the
    // discretisation reads as 'a' and the measures skip.
    const double deviation = std::sqrt(moments.squares / n);
    for (double& value : series) {
        value = (value - moments.mean) / deviation;
    }
}

char get_discrete_value(int alphabet, double value) {
    const std::vector<double>& row = breakpoints.at(static_cast<std::size_t>(alphabet));
    // Rows are ascending, so the count of breakpoints below the value is the index of the
    // first one that is not below it. A value equal to a breakpoint takes the lower letter,
    // and NaN, below nothing, takes 'a'.
    const auto first_not_below =
        std::find_if(row.begin(), row.end(), [value](double b) { return !(b < value); });
    return static_cast<char>('a' + (first_not_below - row.begin()));
}

Symbols get_row(const Series& series, int seglen, int alphabet) {
    const int count = segment_count(series.size(), seglen);
    Symbols row(static_cast<std::size_t>(count));
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
        row[static_cast<std::size_t>(i)] = get_discrete_value(alphabet, sum / seglen);
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
