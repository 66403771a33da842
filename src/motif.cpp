#include "motif.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace qel {

Motif::Motif(Pattern pattern) : pattern(std::move(pattern)) {}

void Motif::record_index(int series, int position) { indexes[series].push_back(position); }

namespace {

const double missing = std::numeric_limits<double>::quiet_NaN();

// Starting value of the best-match search: a series none of whose occurrences comes closer
// (all distances NaN, say) contributes this distance and best match 0.
constexpr double no_match_distance = 1000000.0;

// Point-by-point averages that skip NaN, the mark of points past a series' end: a padded
// occurrence pulls an average only where it has real points. Points with no real value at
// all stay NaN.
class NanSkippingMean {
public:
    explicit NanSkippingMean(std::size_t points) : sums(points, 0.0), counts(points, 0) {}

    void add(const std::vector<double>& values) {
        for (std::size_t i = 0; i < sums.size(); ++i) {
            if (!std::isnan(values[i])) {
                sums[i] += values[i];
                ++counts[i];
            }
        }
    }

    std::vector<double> result() const {
        std::vector<double> means(sums.size());
        for (std::size_t i = 0; i < sums.size(); ++i) {
            means[i] = counts[i] == 0 ? missing : sums[i] / static_cast<double>(counts[i]);
        }
        return means;
    }

private:
    std::vector<double> sums;
    std::vector<std::size_t> counts;
};

// Euclidean distance over the points where the occurrence is real.
double distance(const std::vector<double>& occurrence, const std::vector<double>& representative) {
    double squares = 0.0;
    for (std::size_t i = 0; i < occurrence.size(); ++i) {
        if (!std::isnan(occurrence[i])) {
            const double difference = occurrence[i] - representative[i];
            squares += difference * difference;
        }
    }
    return std::sqrt(squares);
}

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

}  // namespace

void Motif::map(const SeriesSet& ts, int seglen) {
    InterruptPoll poll{InterruptCheck{}};
    map(ts, seglen, poll);
}

void Motif::map(const SeriesSet& ts, int seglen, InterruptPoll& poll) {
    // Every measure starts afresh, so mapping twice gives what mapping once gives.
    this->seglen = seglen;
    length = occurrence_length(seglen, pattern.size());
    representative.assign(static_cast<std::size_t>(length), 0.0);
    average_occurrences.clear();
    best_matches.clear();
    naed = 0.0;
    set_average_occurrences(ts, poll);
    set_representative();
    set_best_matches_and_naed(ts, poll);
}

std::vector<double> Motif::get_occurrence(const Series& series, int position) const {
    std::vector<double> occurrence;
    occurrence.reserve(static_cast<std::size_t>(length));
    const std::size_t start = static_cast<std::size_t>(position) * static_cast<std::size_t>(seglen);
    const std::size_t end = start + static_cast<std::size_t>(length);
    if (start < series.size()) {
        occurrence.assign(series.begin() + static_cast<std::ptrdiff_t>(start),
                          series.begin() + static_cast<std::ptrdiff_t>(std::min(end, series.size())));
    }
    // Padded, never shortened: every occurrence has `length` points, so averages and
    // distances line up point by point.
    occurrence.resize(static_cast<std::size_t>(length), missing);
    return occurrence;
}

void Motif::set_average_occurrences(const SeriesSet& ts, InterruptPoll& poll) {
    for (const auto& [series, positions] : indexes) {
        NanSkippingMean mean(static_cast<std::size_t>(length));
        for (int position : positions) {
            poll.tick(length + 1);
            mean.add(get_occurrence(ts.at(static_cast<std::size_t>(series)), position));
        }
        average_occurrences[series] = mean.result();
    }
}

void Motif::set_representative() {
    // Each series weighs the same, however many occurrences it has: its own average first,
    // then the average across series.
    if (average_occurrences.empty()) {
        return;
    }
    NanSkippingMean mean(static_cast<std::size_t>(length));
    for (const auto& entry : average_occurrences) {
        mean.add(entry.second);
    }
    const std::vector<double> means = mean.result();
    for (std::size_t i = 0; i < representative.size(); ++i) {
        representative[i] += means[i];
    }
}

void Motif::set_best_matches_and_naed(const SeriesSet& ts, InterruptPoll& poll) {
    for (const auto& [series, positions] : indexes) {
        double best_distance = no_match_distance;
        int best_position = 0;
        for (int position : positions) {
            poll.tick(length + 1);
            const double d =
                distance(get_occurrence(ts.at(static_cast<std::size_t>(series)), position), representative);
            // Strictly smaller: ties keep the earlier position, and NaN never wins.
            if (d < best_distance) {
                best_distance = d;
                best_position = position;
            }
        }
        naed += best_distance;
        best_matches[series] = best_position * seglen;
    }
    naed /= static_cast<double>(indexes.size()) * static_cast<double>(length);
}

int Motif::get_support() const { return static_cast<int>(indexes.size()); }

int Motif::get_length() const { return length; }

double Motif::get_naed() const { return naed; }

std::vector<double> Motif::get_representative() const { return representative; }

const OccurrenceIndex& Motif::get_indexes() const { return indexes; }

AverageOccurrences Motif::get_average_occurrences() const { return average_occurrences; }

BestMatches Motif::get_best_matches() const { return best_matches; }

}  // namespace qel
