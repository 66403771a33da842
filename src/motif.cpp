// One pattern's record and the measures of its occurrences (see motif.h).
#include "motif.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "memory.h"
#include "parallel.h"

namespace qel {

// Everything `map` computes. Per-series values are stored end to end, one block per series
// of the occurrences, in the same ascending order.
struct Motif::Measures {
    // Points in one occurrence: seglen times the letters of the pattern.
    int length = 0;
    // Per series, `length` points: the point-by-point NaN-skipping average of its occurrences.
    std::vector<double> averages;
    // The average over series of the average occurrences, `length` points.
    std::vector<double> representative;
    // Per series, the first point of its occurrence closest to the representative.
    std::vector<int> best_starts;
    // Summed best-match distance divided by (series x length).
    double naed = 0.0;
};

namespace {

const double missing = std::numeric_limits<double>::quiet_NaN();

// Counted without a branch: how many occurrences a series holds is data, and a branch on
// where the next series starts is mispredicted about once per series.
int count_series(const Occurrences& occurrences) {
    int count = occurrences.empty() ? 0 : 1;
    for (std::size_t i = 1; i < occurrences.size(); ++i) {
        count += occurrences[i].series != occurrences[i - 1].series ? 1 : 0;
    }
    return count;
}

// The points of series an occurrence covers: [start, end) clipped to the series. Points past
// the end count as NaN, so they are simply not visited.
struct Span {
    std::size_t start;
    std::size_t end;
};

Span span_of(const Series& series, int position, int seglen, int length) {
    const std::size_t start = static_cast<std::size_t>(position) * static_cast<std::size_t>(seglen);
    const std::size_t end = start + static_cast<std::size_t>(length);
    return {start, std::min(end, std::max(start, series.size()))};
}

// sums[k] += values[k] and counts[k] += 1 wherever values[k] is not NaN, for k < n. A sum
// is never -0.0, so adding +0.0 for a NaN value changes nothing: the loop needs no branch,
// and two points at a time give the very same sums.
void add_real(const double* values, std::size_t n, double* sums, double* counts) {
    std::size_t k = 0;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    using Mask = long long __attribute__((vector_size(16)));
    const Pair ones = {1.0, 1.0};
    for (; k + 2 <= n; k += 2) {
        Pair value, sum, count;
        std::memcpy(&value, values + k, sizeof value);
        std::memcpy(&sum, sums + k, sizeof sum);
        std::memcpy(&count, counts + k, sizeof count);
        const Mask real = value == value;
        sum += reinterpret_cast<Pair>(reinterpret_cast<Mask>(value) & real);
        count += reinterpret_cast<Pair>(reinterpret_cast<Mask>(ones) & real);
        std::memcpy(sums + k, &sum, sizeof sum);
        std::memcpy(counts + k, &count, sizeof count);
    }
#endif
    for (; k < n; ++k) {
        const double value = values[k];
        const bool real = value == value;
        sums[k] += real ? value : 0.0;
        counts[k] += real ? 1.0 : 0.0;
    }
}

// sums[k] += values[k] for k < n, two points at a time: add_real for values that hold no NaN.
void add_all(const double* values, std::size_t n, double* sums) {
    std::size_t k = 0;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    for (; k + 2 <= n; k += 2) {
        Pair value, sum;
        std::memcpy(&value, values + k, sizeof value);
        std::memcpy(&sum, sums + k, sizeof sum);
        sum += value;
        std::memcpy(sums + k, &sum, sizeof sum);
    }
#endif
    for (; k < n; ++k) {
        sums[k] += values[k];
    }
}

// sums[k] = 0.0 + values[k] for k < n, two at a time: what adding one value to a sum of
// none gives (-0.0 becomes 0.0).
void add_zero(const double* values, std::size_t n, double* sums) {
    std::size_t k = 0;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    const Pair zeros = {0.0, 0.0};
    for (; k + 2 <= n; k += 2) {
        Pair value;
        std::memcpy(&value, values + k, sizeof value);
        value = zeros + value;
        std::memcpy(sums + k, &value, sizeof value);
    }
#endif
    for (; k < n; ++k) {
        sums[k] = 0.0 + values[k];
    }
}

// Whether any of the n values is NaN, two at a time.
bool holds_nan(const double* values, std::size_t n) {
    std::size_t k = 0;
    bool nan = false;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    using Mask = long long __attribute__((vector_size(16)));
    Mask seen = {0, 0};
    for (; k + 2 <= n; k += 2) {
        Pair value;
        std::memcpy(&value, values + k, sizeof value);
        seen |= value != value;
    }
    nan = (seen[0] | seen[1]) != 0;
#endif
    for (; k < n; ++k) {
        nan = nan || values[k] != values[k];
    }
    return nan;
}

// means[k] = sums.mean(k) for k < n, two at a time (means may be sums.sums itself).
void means_of(const PointSums& sums, std::size_t n, double* means) {
    std::size_t k = 0;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    using Mask = long long __attribute__((vector_size(16)));
    const Pair none = {missing, missing};
    const Pair zeros = {0.0, 0.0};
    for (; k + 2 <= n; k += 2) {
        Pair sum, count;
        std::memcpy(&sum, sums.sums.data() + k, sizeof sum);
        std::memcpy(&count, sums.counts.data() + k, sizeof count);
        const Mask empty = count == zeros;
        const Mask mean = reinterpret_cast<Mask>(sum / count);
        const Pair chosen = reinterpret_cast<Pair>((mean & ~empty) | (reinterpret_cast<Mask>(none) & empty));
        std::memcpy(means + k, &chosen, sizeof chosen);
    }
#endif
    for (; k < n; ++k) {
        means[k] = sums.mean(k);
    }
}

// add_real into `sums` and `counts` of every block of values that `blocks` hands to the
// callable it is given (as (values, n), n at most `points`, less where a block is clipped),
// on the chance that no value is NaN. Without NaN, add_real's masks select every value and
// its counts are the number of blocks that reach each point, so the values are simply
// added. A NaN value leaves its point's sum NaN, as it leaves every sum it enters: when no
// sum ends NaN, none was added, and the sums are add_real's bit for bit. Returns false when
// a sum is NaN; the caller then redoes them with add_real (inf - inf, a NaN made of no NaN,
// is redone too).
template <typename Blocks>
bool add_unless_nan(Blocks blocks, std::size_t points, double* sums, double* counts) {
    double whole = 0.0;
    blocks([&](const double* values, std::size_t n) {
        add_all(values, n, sums);
        if (n == points) {
            whole += 1.0;
            return;
        }
        for (std::size_t k = 0; k < n; ++k) {
            counts[k] += 1.0;
        }
    });
    if (holds_nan(sums, points)) {
        return false;
    }
    for (std::size_t k = 0; k < points; ++k) {
        counts[k] += whole;
    }
    return true;
}

// Euclidean distance over the points where the occurrence is real (not NaN, not padding).
double distance(const double* values, std::size_t points, const double* representative) {
    double squares = 0.0;
    for (std::size_t k = 0; k < points; ++k) {
        const double value = values[k];
        const double difference = value - representative[k];
        // Adding +0.0 for a NaN point is adding nothing: the sum is never -0.0.
        squares += value == value ? difference * difference : 0.0;
    }
    return std::sqrt(squares);
}

// The distance of every occurrence to the representative. Four whole occurrences at a time
// are summed interleaved, each in the same order as alone, so that four sums advance together.
// They are summed without looking for NaN: a NaN value makes the sum NaN, and only then is
// it summed again by `distance`, which skips NaN; any other sum is distance's bit for bit.
std::vector<double> interleaved_distances(const SeriesSet& ts, const Occurrences& occurrences, int seglen,
                                          int length, const double* representative, InterruptPoll& poll) {
    const std::size_t points = static_cast<std::size_t>(length);
    std::vector<double> result(occurrences.size());
    std::array<const double*, 4> starts{};
    std::array<std::size_t, 4> places{};
    std::size_t waiting = 0;
    for (std::size_t i = 0; i < occurrences.size(); ++i) {
        poll.tick(length + 1);
        const Series& series = ts.at(static_cast<std::size_t>(occurrences[i].series));
        const Span span = span_of(series, occurrences[i].position, seglen, length);
        if (span.end - span.start < points) {
            result[i] = distance(series.data() + span.start, span.end - span.start, representative);
            continue;
        }
        starts[waiting] = series.data() + span.start;
        places[waiting] = i;
        if (++waiting < 4) {
            continue;
        }
        waiting = 0;
        const double* a = starts[0];
        const double* b = starts[1];
        const double* c = starts[2];
        const double* d = starts[3];
        double sa = 0.0, sb = 0.0, sc = 0.0, sd = 0.0;
        for (std::size_t k = 0; k < points; ++k) {
            const double r = representative[k];
            const double da = a[k] - r, db = b[k] - r, dc = c[k] - r, dd = d[k] - r;
            sa += da * da;
            sb += db * db;
            sc += dc * dc;
            sd += dd * dd;
        }
        const double sums[] = {sa, sb, sc, sd};
        for (std::size_t q = 0; q < 4; ++q) {
            result[places[q]] = sums[q] == sums[q] ? std::sqrt(sums[q]) : distance(starts[q], points, representative);
        }
    }
    for (std::size_t q = 0; q < waiting; ++q) {
        result[places[q]] = distance(starts[q], points, representative);
    }
    return result;
}

}  // namespace

int occurrence_length(int seglen, std::size_t letters) {
    const std::int64_t points = static_cast<std::int64_t>(seglen) * static_cast<std::int64_t>(letters);
    if (points < 0) {
        // The same error a reservation of a negative count gives.
        throw std::length_error("vector::reserve");
    }
    if (points > std::numeric_limits<int>::max()) {
        throw std::overflow_error("occurrence length overflows int: seglen " +
                                  std::to_string(seglen) + " x " + std::to_string(letters) +
                                  " letters");
    }
    return static_cast<int>(points);
}

void PointSums::add(const double* values, std::size_t n) { add_real(values, n, sums.data(), counts.data()); }

void PointSums::clear() {
    std::fill(sums.begin(), sums.end(), 0.0);
    std::fill(counts.begin(), counts.end(), 0.0);
}

double PointSums::mean(std::size_t k) const { return counts[k] == 0.0 ? missing : sums[k] / counts[k]; }

void average_occurrence(const Series& series, const Occurrence* first, const Occurrence* last, int seglen,
                        int length, PointSums& scratch, double* average, InterruptPoll& poll) {
    const std::size_t points = static_cast<std::size_t>(length);
    if (last - first == 1) {
        // One occurrence is its own average, (0.0 + x) / 1, NaN where it has no value.
        poll.tick(length + 1);
        const Span span = span_of(series, first->position, seglen, length);
        const std::size_t real = span.end - span.start;
        // As a sum would: -0.0 becomes 0.0.
        add_zero(series.data() + span.start, real, average);
        std::fill(average + real, average + points, missing);
        return;
    }
    const auto occurrence_values = [&](auto add) {
        for (const Occurrence* o = first; o != last; ++o) {
            poll.tick(length + 1);
            const Span span = span_of(series, o->position, seglen, length);
            add(series.data() + span.start, span.end - span.start);
        }
    };
    scratch.clear();
    if (!add_unless_nan(occurrence_values, points, scratch.sums.data(), scratch.counts.data())) {
        scratch.clear();
        occurrence_values([&scratch](const double* values, std::size_t n) { scratch.add(values, n); });
    }
    means_of(scratch, points, average);
}

std::vector<double> average_occurrences(const SeriesSet& ts, const Occurrences& occurrences, int seglen,
                                        int length, InterruptPoll& poll) {
    const std::size_t points = static_cast<std::size_t>(length);
    PointSums scratch(points);
    // Every series' block is written whole, in place: sized once rather than grown per series.
    std::vector<double> averages(static_cast<std::size_t>(count_series(occurrences)) * points);
    double* average = averages.data();
    for_each_series(occurrences, [&](int s, std::size_t first, std::size_t last) {
        average_occurrence(ts.at(static_cast<std::size_t>(s)), &occurrences[first], &occurrences[first] + (last - first),
                           seglen, length, scratch, average, poll);
        average += points;
    });
    return averages;
}

std::vector<double> representative_of(const std::vector<double>& averages, int series, int length) {
    const std::size_t points = static_cast<std::size_t>(length);
    std::vector<double> representative(points, 0.0);
    if (series == 0) {
        return representative;
    }
    PointSums across(points);
    const auto series_averages = [&](auto add) {
        for (std::size_t s = 0; s < static_cast<std::size_t>(series); ++s) {
            add(averages.data() + s * points, points);
        }
    };
    if (!add_unless_nan(series_averages, points, across.sums.data(), across.counts.data())) {
        across.clear();
        series_averages([&across](const double* values, std::size_t n) { across.add(values, n); });
    }
    for (std::size_t k = 0; k < points; ++k) {
        representative[k] += across.mean(k);  // 0.0 + mean, as a sum would: -0.0 becomes 0.0
    }
    return representative;
}

std::vector<double> distances(const SeriesSet& ts, const Occurrences& occurrences, int seglen,
                              const std::vector<double>& representative, InterruptPoll& poll) {
    return interleaved_distances(ts, occurrences, seglen, static_cast<int>(representative.size()),
                                 representative.data(), poll);
}

std::vector<BestMatch> best_matches(const Occurrences& occurrences, const std::vector<double>& distances) {
    // One pass without a branch on the data: whether an occurrence comes closer, and whether it
    // starts a new series, are as hard to predict as the distances. The running best is
    // written to its series' slot after every occurrence, so the last write is the series' best.
    const BestMatch none{};
    std::vector<BestMatch> best(static_cast<std::size_t>(count_series(occurrences)));
    std::size_t k = 0;
    BestMatch running = none;
    for (std::size_t i = 0; i < occurrences.size(); ++i) {
        const bool new_series = i > 0 && occurrences[i].series != occurrences[i - 1].series;
        k += new_series ? 1 : 0;
        running.distance = new_series ? none.distance : running.distance;
        running.position = new_series ? none.position : running.position;
        // Strictly smaller: ties keep the earlier position, and NaN never wins.
        const bool closer = distances[i] < running.distance;
        running.distance = closer ? distances[i] : running.distance;
        running.position = closer ? occurrences[i].position : running.position;
        best[k] = running;
    }
    return best;
}

double naed_of(const std::vector<BestMatch>& best, int length) {
    double total = 0.0;
    for (const BestMatch& match : best) {
        total += match.distance;
    }
    return total / (static_cast<double>(best.size()) * static_cast<double>(length));
}

Motif::Motif(Pattern pattern) : pattern(std::move(pattern)) {}

Motif::Motif(Pattern pattern, Occurrences occurrences)
    : pattern(std::move(pattern)), occurrences(std::move(occurrences)) {
    support = count_series(this->occurrences);
}

void Motif::record_index(int series, int position) {
    // Kept grouped by ascending series: after the last occurrence of its series or of an
    // earlier one, which is the end of the list when series come in order.
    const auto after = std::upper_bound(
        occurrences.begin(), occurrences.end(), series,
        [](int s, const Occurrence& occurrence) { return s < occurrence.series; });
    const bool new_series = after == occurrences.begin() || std::prev(after)->series != series;
    occurrences.insert(after, Occurrence{series, position});
    if (new_series) {
        ++support;
    }
    // The measures described the occurrences as they were.
    measures.reset();
}

void Motif::map(const SeriesSet& ts, int seglen) {
    InterruptPoll poll{InterruptCheck{}};
    map(ts, seglen, poll);
}

Motif::MappingBytes Motif::mapping_bytes(int seglen) const {
    const double length = static_cast<double>(seglen) * static_cast<double>(pattern.size());
    if (length < 0.0 || length > std::numeric_limits<int>::max()) {
        return {};
    }
    const double value = sizeof(double);
    MappingBytes bytes;
    // The representative and one average per series; one best match per series.
    bytes.kept = length * value * (static_cast<double>(support) + 1.0) +
                 static_cast<double>(support) * sizeof(int);
    // Per-point sums and counts within and across series; one distance per occurrence.
    bytes.temporary = length * value * 4.0 + static_cast<double>(occurrences.size()) * value;
    return bytes;
}

void Motif::map(const SeriesSet& ts, int seglen, InterruptPoll& poll) {
    // Every measure starts afresh, so mapping twice gives what mapping once gives.
    const int length = occurrence_length(seglen, pattern.size());
    const MappingBytes needed = mapping_bytes(seglen);
    check_memory("mapping a motif of " + std::to_string(length) + " points", needed.kept + needed.temporary);
    auto result = std::make_shared<Measures>();
    result->length = length;
    result->averages = average_occurrences(ts, occurrences, seglen, length, poll);
    result->representative = representative_of(result->averages, support, length);
    const std::vector<BestMatch> best =
        best_matches(occurrences, distances(ts, occurrences, seglen, result->representative, poll));
    result->best_starts.reserve(best.size());
    for (const BestMatch& match : best) {
        result->best_starts.push_back(match.position * seglen);
    }
    result->naed = naed_of(best, length);
    measures = std::move(result);
}

int mapping_threads(const std::vector<Motif>& motifs, int seglen, int threads) {
    // Starting and joining a thread costs tens of microseconds; mapping costs a few
    // nanoseconds per point of an occurrence.
    constexpr double points_per_thread = 50000.0;
    double points = 0.0;
    for (const Motif& motif : motifs) {
        points += static_cast<double>(motif.get_occurrences().size()) * static_cast<double>(motif.pattern.size()) *
                  static_cast<double>(seglen);
    }
    const double most = std::min(static_cast<double>(threads), static_cast<double>(motifs.size()));
    return static_cast<int>(std::max(1.0, std::min(most, points / points_per_thread)));
}

void map_motifs(std::vector<Motif>& motifs, const SeriesSet& ts, int seglen, int threads, InterruptPoll& poll) {
    const int usable = mapping_threads(motifs, seglen, threads);
    Workers workers(usable);
    map_motifs(motifs, ts, seglen, usable, workers, poll);
}

void map_motifs(std::vector<Motif>& motifs, const SeriesSet& ts, int seglen, int threads, Workers& workers,
                InterruptPoll& poll) {
    workers.run(motifs.size(), threads, poll,
                [&motifs, &ts, seglen](std::size_t i, InterruptPoll& local) {
                    local.tick();
                    motifs[i].map(ts, seglen, local);
                });
}

int Motif::get_support() const { return support; }

int Motif::get_length() const { return measures ? measures->length : 0; }

double Motif::get_naed() const { return measures ? measures->naed : 0.0; }

std::vector<double> Motif::get_representative() const {
    return measures ? measures->representative : std::vector<double>{};
}

const Occurrences& Motif::get_occurrences() const { return occurrences; }

OccurrenceIndex Motif::get_indexes() const {
    OccurrenceIndex index;
    for (const Occurrence& occurrence : occurrences) {
        index[occurrence.series].push_back(occurrence.position);
    }
    return index;
}

AverageOccurrences Motif::get_average_occurrences() const {
    AverageOccurrences result;
    if (!measures) {
        return result;
    }
    const std::size_t points = static_cast<std::size_t>(measures->length);
    const double* average = measures->averages.data();
    for_each_series(occurrences, [&](int s, std::size_t, std::size_t) {
        result.emplace(s, std::vector<double>(average, average + points));
        average += points;
    });
    return result;
}

BestMatches Motif::get_best_matches() const {
    BestMatches result;
    if (!measures) {
        return result;
    }
    std::size_t k = 0;
    for_each_series(occurrences, [&](int s, std::size_t, std::size_t) {
        result.emplace(s, measures->best_starts[k++]);
    });
    return result;
}

}  // namespace qel
