#include "input.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

namespace qel::fuzz {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double denormal = std::numeric_limits<double>::denorm_min();
constexpr double largest = std::numeric_limits<double>::max();
constexpr double smallest_normal = std::numeric_limits<double>::min();

// Values that sit on the edges of the core's arithmetic: zero and sign, the int range and
// its products (seglen x letters), sizes around the 64-letter words of the lcs.
const int special_ints[] = {0,       1,         2,           3,           4,        7,
                            8,       63,        64,          65,          255,      256,
                            1000,    10000,     65536,       1 << 20,     1 << 30,  INT_MAX,
                            INT_MAX - 1, INT_MIN, INT_MIN + 1, -1,        -2,       -3,
                            -1000,   -65536,    46341,       715827883,   INT_MAX / 2, 12};

// minsup and max_overlap: the fractions that matter (support of n of 12 series, overlaps
// near 1) and every kind of double that is not a fraction.
const double special_fractions[] = {0.0,   -0.0,   1.0,  0.5,  1.0 / 3,  2.0 / 3,  0.25, 0.75,
                                    0.9,   0.99,   1e-300, denormal, -1e-300, -1.0, -0.5, nan,
                                    -nan,  inf,    -inf, 1e300, 0.9999999999999999,
                                    1.0000000000000002, largest, smallest_normal, 1.0 / 12,
                                    1.0 / 7, 2.0, 12.0};

// Points: non-finite values, magnitudes whose squares or sums overflow or vanish, values on
// the breakpoints of the alphabets.
const double special_values[] = {nan,     -nan,  inf,      -inf,      1e300,    -1e300,  1e-300,
                                 -1e-300, denormal, -denormal, largest, -largest, smallest_normal,
                                 0.0,     -0.0,  1e150,    -1e150,    1e308,    1e-308,  0.1,
                                 0.43,    -0.43, 0.67,     1e16,      1e16 + 2, 123456789.125};

template <typename T, std::size_t N>
T pick(const T (&table)[N], unsigned index) {
    return table[index % N];
}

// Sequential reads from the front; past the end every byte reads as zero.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    bool exhausted() const { return offset >= size; }

    unsigned byte() { return offset < size ? data[offset++] : 0u; }

    std::uint64_t little_endian(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        }
        return value;
    }

    // A selector byte picks a small value, a special one, or the raw bits that follow.
    int integer() {
        const unsigned selector = byte();
        if (selector < 128) {
            return static_cast<int>(selector % 32) - 4;
        }
        if (selector < 192) {
            return pick(special_ints, selector - 128);
        }
        return static_cast<int>(static_cast<std::uint32_t>(little_endian(4)));
    }

    double fraction() {
        const unsigned selector = byte();
        if (selector < 128) {
            return static_cast<double>(selector % 33) / 16.0;
        }
        if (selector < 192) {
            return pick(special_fractions, selector - 128);
        }
        return raw_double();
    }

    // Small integers repeat often, which is what makes patterns frequent.
    double point() {
        const unsigned selector = byte();
        if (selector < 128) {
            return static_cast<double>(selector % 16) - 8.0;
        }
        if (selector < 192) {
            return pick(special_values, selector - 128);
        }
        return raw_double();
    }

private:
    double raw_double() {
        const std::uint64_t bits = little_endian(8);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset = 0;
};

constexpr unsigned max_series = 12;
constexpr unsigned max_points = 300;
constexpr unsigned max_run = 64;

// Appends `count` values of `source` from `start` on, as far as it has them.
template <typename Values>
void append_part(Values& target, const Values& source, std::size_t start, std::size_t count) {
    for (std::size_t i = start; i < source.size() && i < start + count; ++i) {
        target.push_back(source[i]);
    }
}

SeriesSet read_series(ByteReader& in) {
    const unsigned count = in.byte() % (max_series + 1);
    // One stretch that any series may include, possibly many times: a flat one (a single
    // value repeated) or arbitrary values.
    Series stretch;
    const unsigned stretch_byte = in.byte();
    const unsigned stretch_points = (stretch_byte & 127) % (max_run + 1);
    if (stretch_byte >= 128) {
        stretch.assign(stretch_points, in.point());
    } else {
        for (unsigned i = 0; i < stretch_points; ++i) {
            stretch.push_back(in.point());
        }
    }
    SeriesSet ts;
    for (unsigned s = 0; s < count; ++s) {
        const std::size_t target = static_cast<std::size_t>(in.little_endian(2) % (max_points + 1));
        Series series;
        while (series.size() < target && !in.exhausted()) {
            switch (in.byte() % 4) {
                case 0:
                    series.push_back(in.point());
                    break;
                case 1: {
                    const double value = in.point();
                    series.insert(series.end(), 1 + in.byte() % max_run, value);
                    break;
                }
                case 2:
                    series.insert(series.end(), stretch.begin(), stretch.end());
                    break;
                default:
                    if (s > 0) {
                        const Series& source = ts[in.byte() % s];
                        const std::size_t start = in.little_endian(2) % (source.size() + 1);
                        append_part(series, source, start, 1 + in.byte() % max_run);
                    }
            }
        }
        series.resize(std::min(series.size(), target));
        ts.push_back(std::move(series));
    }
    return ts;
}

std::vector<Symbols> read_sequences(ByteReader& in) {
    const unsigned count = in.byte() % (max_series + 1);
    std::vector<Symbols> sequences;
    for (unsigned s = 0; s < count; ++s) {
        const std::size_t target = in.byte();
        Symbols sequence;
        while (sequence.size() < target && !in.exhausted()) {
            switch (in.byte() % 4) {
                case 0:
                    sequence.push_back(static_cast<char>(in.byte()));
                    break;
                case 1: {
                    const char letter = static_cast<char>(in.byte());
                    sequence.insert(sequence.end(), 1 + in.byte() % max_run, letter);
                    break;
                }
                case 2:
                    // A three-letter alphabet makes repeats likely.
                    sequence.push_back(static_cast<char>('a' + in.byte() % 3));
                    break;
                default: {
                    const Symbols& source = s > 0 ? sequences[in.byte() % s] : sequence;
                    const Symbols copy = source;  // the source may be the sequence itself
                    const std::size_t start = in.byte() % (copy.size() + 1);
                    append_part(sequence, copy, start, 1 + in.byte() % max_run);
                }
            }
        }
        sequence.resize(std::min(sequence.size(), target));
        sequences.push_back(std::move(sequence));
    }
    return sequences;
}

}  // namespace

FuzzInput decode(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    FuzzInput input;
    Settings& settings = input.settings;
    settings.minsup = in.fraction();
    settings.seglen = in.integer();
    settings.alphabet = in.integer();
    settings.min_len = in.integer();
    settings.max_len = in.integer();
    settings.max_overlap = in.fraction();
    settings.k = in.integer();
    input.series = read_series(in);
    input.sequences = read_sequences(in);
    return input;
}

}  // namespace qel::fuzz
