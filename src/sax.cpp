#include "sax.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "parallel.h"

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

// Series normalised side by side (see sums_side_by_side).
constexpr std::size_t group_size = 4;

// For each of the `count` (1 to group_size) non-empty series of `group`, the sum of
// term(i, value) over its values in point order. A sum in order is a chain of adds, each
// waiting for the one before: alone it runs at one add per add latency. The chains of the
// series of a group advance together, each in its own order, so that they overlap and every
// sum is still the very one a loop over its series alone gives.
template <typename Term>
std::array<double, group_size> sums_side_by_side(Series* const* group, std::size_t count, Term term) {
    std::size_t common = group[0]->size();
    std::array<const double*, group_size> values{};
    for (std::size_t i = 0; i < group_size; ++i) {
        // A slot without a series repeats the first one, and its sum is never read.
        const Series& series = *group[i < count ? i : 0];
        common = std::min(common, series.size());
        values[i] = series.data();
    }
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (std::size_t k = 0; k < common; ++k) {
        s0 += term(0, values[0][k]);
        s1 += term(1, values[1][k]);
        s2 += term(2, values[2][k]);
        s3 += term(3, values[3][k]);
    }
    std::array<double, group_size> sums{s0, s1, s2, s3};
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t k = common; k < group[i]->size(); ++k) {
            sums[i] += term(i, values[i][k]);
        }
    }
    return sums;
}

// Mean and sum of squared differences from it of each series of `group` (as
// sums_side_by_side), each summed in point order.
struct Moments {
    double mean;
    double squares;
};

std::array<Moments, group_size> moments(Series* const* group, std::size_t count) {
    const std::array<double, group_size> sums =
        sums_side_by_side(group, count, [](std::size_t, double value) { return value; });
    std::array<Moments, group_size> result{};
    for (std::size_t i = 0; i < count; ++i) {
        result[i].mean = sums[i] / static_cast<double>(group[i]->size());
    }
    const std::array<double, group_size> squares =
        sums_side_by_side(group, count, [&result](std::size_t i, double value) {
            const double difference = value - result[i].mean;
            return difference * difference;
        });
    for (std::size_t i = 0; i < count; ++i) {
        result[i].squares = squares[i];
    }
    return result;
}

Moments moments(Series& series) {
    Series* group[] = {&series};
    return moments(group, 1)[0];
}

// What a non-empty series is normalised by: value -> (value - mean) / deviation.
struct Normalisation {
    double mean;
    double deviation;
};

// The plain mean and population deviation from the series' moments, except where their sums
// overflowed or underflowed: then the series is first scaled (in place) by a power of two.
Normalisation normalisation(Series& series, Moments plain) {
    // A constant series has deviation 0 and becomes NaN, whatever its mean rounds to: an
    // inexact mean ([0.1] x 140) would leave centred points of about 1e-17 that divide into
    // +-1, squares that underflow ([-1e-300] x 40) points of +-inf, and either gives letters
    // and distances that say nothing. Dividing 0 by 0 here is the plain formula's NaN.
    if (all_equal(series)) {
        return {series.front(), 0.0};
    }
    Moments by = plain;
    const bool suspect =
        !std::isfinite(by.mean) || !std::isfinite(by.squares) || by.squares < smallest_reliable_squares;
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
        by = moments(series);
    }
    // No floor on the deviation: only a constant series has deviation 0 (see above), and its
    // NaN values read as 'a' in the discretisation and are skipped by the measures.
    return {by.mean, std::sqrt(by.squares / static_cast<double>(series.size()))};
}

Normalisation normalisation(Series& series) { return normalisation(series, moments(series)); }

void check_alphabet(int alphabet) {
    if (alphabet < 0 || alphabet > max_alphabet) {
        throw std::invalid_argument("alphabet must be between 0 and 10, got " +
                                    std::to_string(alphabet));
    }
}

// 'a' plus the number of breakpoints strictly below the value: a value equal to a breakpoint
// takes the lower letter, and NaN, below nothing, takes 'a'. Rows are ascending, so counting
// over the whole row gives the index of the first breakpoint not below the value, without a
// branch that the data decide.
char letter_of(const double* bounds, std::size_t size, double value) {
    std::size_t below = 0;
    for (std::size_t i = 0; i < size; ++i) {
        below += bounds[i] < value ? 1 : 0;
    }
    return static_cast<char>('a' + below);
}

// Every value -> (value - mean) / deviation, two at a time where the compiler allows: each is
// the same subtraction and division as alone.
void normalise_values(Series& series, Normalisation by) {
    double* values = series.data();
    const std::size_t size = series.size();
    std::size_t k = 0;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    const Pair mean = {by.mean, by.mean};
    const Pair deviation = {by.deviation, by.deviation};
    for (; k + 2 <= size; k += 2) {
        Pair value;
        std::memcpy(&value, values + k, sizeof value);
        value = (value - mean) / deviation;
        std::memcpy(values + k, &value, sizeof value);
    }
#endif
    for (; k < size; ++k) {
        values[k] = (values[k] - by.mean) / by.deviation;
    }
}

// Segments averaged before their letters are counted: a block of averages lets the letters be
// counted two at a time, and stays in the first-level cache.
constexpr std::size_t letter_block = 64;

// letters[k] = letter_of(bounds, size, averages[k]) for k < n, two averages at a time: a
// comparison per breakpoint and no branch on the data. A NaN average is above no breakpoint,
// as alone.
void letters_of(const double* averages, std::size_t n, const double* bounds, std::size_t size, char* letters) {
    std::size_t k = 0;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    using Mask = long long __attribute__((vector_size(16)));
    for (; k + 2 <= n; k += 2) {
        Pair value;
        std::memcpy(&value, averages + k, sizeof value);
        Mask below = {0, 0};
        for (std::size_t i = 0; i < size; ++i) {
            const Pair bound = {bounds[i], bounds[i]};
            below -= bound < value;  // a true comparison is -1
        }
        letters[k] = static_cast<char>('a' + below[0]);
        letters[k + 1] = static_cast<char>('a' + below[1]);
    }
#endif
    for (; k < n; ++k) {
        letters[k] = letter_of(bounds, size, averages[k]);
    }
}

// averages[j] = the average of segment first + j of the `points` values, for j < n: its sum in
// point order divided by the full seglen `width`. Two whole segments are summed side by side,
// each in point order as alone, so that their chains of adds overlap.
void segment_averages(const double* values, std::size_t points, std::size_t width, std::size_t first,
                      std::size_t n, double* averages) {
    std::size_t j = 0;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    const Pair divisor = {static_cast<double>(width), static_cast<double>(width)};
    for (; j + 2 <= n && (first + j + 2) * width <= points; j += 2) {
        const double* a = values + (first + j) * width;
        const double* b = a + width;
        Pair sum = {0.0, 0.0};
        for (std::size_t point = 0; point < width; ++point) {
            const Pair pair = {a[point], b[point]};
            sum += pair;
        }
        const Pair average = sum / divisor;
        averages[j] = average[0];
        averages[j + 1] = average[1];
    }
#endif
    for (; j < n; ++j) {
        const std::size_t start = (first + j) * width;
        const std::size_t end = std::min(points, start + width);
        double sum = 0.0;
        for (std::size_t point = start; point < end; ++point) {
            sum += values[point];
        }
        // The trailing segment is divided by the full seglen too: the missing points count
        // as zeros (the mean of z-normalised data), which keeps a short tail from getting an
        // extreme letter from one or two points.
        averages[j] = sum / static_cast<double>(width);
    }
}

// The letters of `row`, one per segment of `seglen` points of `series`: each segment's
// average as a letter of the row of breakpoints `bounds`, a block of segments at a time.
void fill_letters(const Series& series, int seglen, const std::vector<double>& bounds, Symbols& row) {
    // Read once: a letter written through a char may alias anything, so a vector's size or
    // data read in the loop would be read again after every letter.
    const double* values = series.data();
    const std::size_t points = series.size();
    const double* row_bounds = bounds.data();
    const std::size_t bound_count = bounds.size();
    char* letters = row.data();
    const std::size_t count = row.size();
    std::array<double, letter_block> averages;
    for (std::size_t first = 0; first < count; first += letter_block) {
        const std::size_t block = std::min(letter_block, count - first);
        segment_averages(values, points, static_cast<std::size_t>(seglen), first, block, averages.data());
        letters_of(averages.data(), block, row_bounds, bound_count, letters + first);
    }
}

// Calls visit(i, by) for every non-empty series i of `ts` in [first, last), in order, with the
// normalisation `by` of that series (which may have been scaled in place, see normalisation);
// the moments of group_size series at a time are taken side by side.
template <typename Visit>
void for_each_normalisation(SeriesSet& ts, std::size_t first, std::size_t last, Visit visit) {
    std::array<Series*, group_size> group{};
    std::array<std::size_t, group_size> places{};
    std::size_t count = 0;
    const auto flush = [&] {
        const std::array<Moments, group_size> plain = moments(group.data(), count);
        for (std::size_t i = 0; i < count; ++i) {
            visit(places[i], normalisation(*group[i], plain[i]));
        }
        count = 0;
    };
    for (std::size_t s = first; s < last; ++s) {
        if (ts[s].empty()) {
            continue;
        }
        group[count] = &ts[s];
        places[count] = s;
        if (++count == group_size) {
            flush();
        }
    }
    if (count > 0) {
        flush();
    }
}

}  // namespace

void znorm(SeriesSet& ts) {
    for_each_normalisation(ts, 0, ts.size(), [&ts](std::size_t s, Normalisation by) { normalise_values(ts[s], by); });
}

void znorm_series(Series& series) {
    if (series.empty()) {
        return;
    }
    normalise_values(series, normalisation(series));
}

Symbols znorm_row(Series& series, int seglen, int alphabet) {
    const int count = segment_count(series.size(), seglen);
    Symbols row(static_cast<std::size_t>(count));
    if (count == 0) {
        znorm_series(series);
        return row;
    }
    const std::vector<double>& bounds = breakpoints.at(static_cast<std::size_t>(alphabet));
    normalise_values(series, normalisation(series));
    fill_letters(series, seglen, bounds, row);
    return row;
}

std::vector<Symbols> znorm_rows(SeriesSet& ts, int seglen, int alphabet, InterruptPoll& poll, int threads) {
    Workers workers(threads);
    return znorm_rows(ts, seglen, alphabet, poll, workers);
}

std::vector<Symbols> znorm_rows(SeriesSet& ts, int seglen, int alphabet, InterruptPoll& poll, Workers& workers) {
    check_alphabet(alphabet);
    const std::vector<double>& bounds = breakpoints[static_cast<std::size_t>(alphabet)];
    std::vector<Symbols> rows(ts.size());
    for (std::size_t s = 0; s < ts.size(); ++s) {
        rows[s].resize(static_cast<std::size_t>(segment_count(ts[s].size(), seglen)));
    }
    // A thread takes a run of series at a time.
    const std::vector<std::size_t> ends = run_ends(ts.size(), [&ts](std::size_t s) { return ts[s].size() + 1; }, 1 << 16);
    workers.run(ends.size(), workers.size(), poll, [&](std::size_t run, InterruptPoll& local) {
        for_each_normalisation(ts, run == 0 ? 0 : ends[run - 1], ends[run], [&](std::size_t s, Normalisation by) {
            local.tick(static_cast<std::int64_t>(ts[s].size()) + 1);
            normalise_values(ts[s], by);
            fill_letters(ts[s], seglen, bounds, rows[s]);
        });
    });
    return rows;
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
    fill_letters(series, seglen, breakpoints.at(static_cast<std::size_t>(alphabet)), row);
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
