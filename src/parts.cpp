#include "parts.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace qel {

namespace {

const double missing = std::numeric_limits<double>::quiet_NaN();

}  // namespace

PatternTrie::PatternTrie(const std::vector<Pattern>& patterns) {
    code_of_letter.fill(-1);
    for (const Pattern& pattern : patterns) {
        for (char letter : pattern) {
            int& code = code_of_letter[static_cast<unsigned char>(letter)];
            if (code < 0) {
                code = static_cast<int>(letters++);
            }
        }
    }
    children.assign(letters, -1);
    pattern_at.assign(1, -1);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const Pattern& pattern = patterns[i];
        if (pattern.empty()) {
            throw std::invalid_argument("patterns must not be empty");
        }
        int node = 0;
        for (char letter : pattern) {
            const std::size_t code = static_cast<std::size_t>(code_of_letter[static_cast<unsigned char>(letter)]);
            const std::size_t slot = static_cast<std::size_t>(node) * letters + code;
            if (children[slot] < 0) {
                children[slot] = static_cast<int>(pattern_at.size());
                pattern_at.push_back(-1);
                children.resize(children.size() + letters, -1);
            }
            node = children[slot];
        }
        int& at = pattern_at[static_cast<std::size_t>(node)];
        if (at >= 0) {
            throw std::invalid_argument("patterns must be distinct, got '" + std::string(pattern.begin(), pattern.end()) +
                                        "' twice");
        }
        at = static_cast<int>(i);
    }
}

std::vector<std::int64_t> count_support(const std::vector<Symbols>& sequences,
                                        const std::vector<Pattern>& patterns) {
    const PatternTrie trie(patterns);
    std::vector<std::int64_t> support(patterns.size(), 0);
    // The last sequence counted per pattern: a sequence counts once, however many times it
    // holds the pattern.
    std::vector<std::int64_t> counted_in(patterns.size(), -1);
    for (std::size_t s = 0; s < sequences.size(); ++s) {
        const std::int64_t sequence = static_cast<std::int64_t>(s);
        trie.scan(sequences[s], [&](int pattern, int) {
            std::int64_t& last = counted_in[static_cast<std::size_t>(pattern)];
            if (last != sequence) {
                last = sequence;
                ++support[static_cast<std::size_t>(pattern)];
            }
        });
    }
    return support;
}

std::vector<PartOccurrences> find_occurrences(const std::vector<Symbols>& sequences,
                                              const std::vector<Pattern>& patterns) {
    const PatternTrie trie(patterns);
    std::vector<PartOccurrences> occurrences(patterns.size());
    for (std::size_t s = 0; s < sequences.size(); ++s) {
        const int sequence = static_cast<int>(s);
        trie.scan(sequences[s], [&](int pattern, int position) {
            PartOccurrences& found = occurrences[static_cast<std::size_t>(pattern)];
            if (found.empty() || found.back().first != sequence) {
                found.emplace_back(sequence, std::vector<int>{});
            }
            found.back().second.push_back(position);
        });
    }
    return occurrences;
}

int occurrence_points(int seglen, std::size_t letters) {
    const std::int64_t points = static_cast<std::int64_t>(seglen) * static_cast<std::int64_t>(letters);
    if (points < 0) {
        throw std::length_error("vector::reserve");
    }
    if (points > std::numeric_limits<int>::max()) {
        throw std::overflow_error("occurrence length overflows int: seglen " + std::to_string(seglen) + " x " +
                                  std::to_string(letters) + " letters");
    }
    return static_cast<int>(points);
}

std::vector<double> cut_occurrence(const Series& series, int position, int seglen, int length) {
    std::vector<double> occurrence;
    occurrence.reserve(static_cast<std::size_t>(length));
    const std::size_t start = static_cast<std::size_t>(position) * static_cast<std::size_t>(seglen);
    const std::size_t end = start + static_cast<std::size_t>(length);
    if (start < series.size()) {
        occurrence.assign(series.begin() + static_cast<std::ptrdiff_t>(start),
                          series.begin() + static_cast<std::ptrdiff_t>(std::min(end, series.size())));
    }
    // Padded, never shortened, so that averages and distances line up point by point.
    occurrence.resize(static_cast<std::size_t>(length), missing);
    return occurrence;
}

void PointSums::add(const std::vector<double>& values) {
    for (std::size_t i = 0; i < sums.size(); ++i) {
        if (!std::isnan(values[i])) {
            sums[i] += values[i];
            ++counts[i];
        }
    }
}

std::vector<double> PointSums::means() const {
    std::vector<double> result(sums.size());
    for (std::size_t i = 0; i < sums.size(); ++i) {
        result[i] = counts[i] == 0 ? missing : sums[i] / static_cast<double>(counts[i]);
    }
    return result;
}

std::vector<double> average_occurrence(const Series& series, const std::vector<int>& positions, int seglen,
                                       int length) {
    // NaN marks points past the series' end: a padded occurrence pulls the average only where
    // it has real points.
    PointSums mean(static_cast<std::size_t>(length));
    for (int position : positions) {
        mean.add(cut_occurrence(series, position, seglen, length));
    }
    return mean.means();
}

BestMatch best_match(const Series& series, const std::vector<int>& positions, int seglen,
                     const std::vector<double>& representative) {
    const int length = static_cast<int>(representative.size());
    BestMatch best;
    for (int position : positions) {
        const std::vector<double> occurrence = cut_occurrence(series, position, seglen, length);
        double squares = 0.0;
        for (std::size_t i = 0; i < occurrence.size(); ++i) {
            if (!std::isnan(occurrence[i])) {
                const double difference = occurrence[i] - representative[i];
                squares += difference * difference;
            }
        }
        const double distance = std::sqrt(squares);
        if (distance < best.distance) {
            best.distance = distance;
            best.position = position;
        }
    }
    return best;
}

double measuring_bytes(const std::vector<int>& lengths, const std::vector<PartOccurrences>& occurrences,
                       bool per_series) {
    constexpr double value = sizeof(double);
    double kept = 0.0;
    double working = 0.0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const double length = lengths[i];
        const double series = per_series ? static_cast<double>(occurrences.at(i).size()) : 0.0;
        // Sums and counts (8 bytes each) per point, or one average per series.
        kept += per_series ? series * length * value : 2.0 * length * value;
        // One series' sums and counts, the occurrence cut from it, and its mean.
        working = std::max(working, 4.0 * length * value);
    }
    return kept + working;
}

PreparedPart prepare_part(SeriesSet series, int seglen, int alphabet) {
    PreparedPart part;
    part.seglen = seglen;
    znorm(series);
    part.letters = sax(series, seglen, alphabet);
    part.series = std::move(series);
    return part;
}

}  // namespace qel
