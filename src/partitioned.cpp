// The two-phase steps of mining a partitioned series set (see partitioned.h).
#include "partitioned.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "memory.h"
#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "sax.h"

namespace qel {

namespace {

// "1 pattern", "3 patterns".
std::string count_of(std::size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Each pattern's occurrence length in points, and its occurrences in the part. The lengths
// come first: a pattern too long to measure is refused before the part is searched.
struct Measured {
    std::vector<int> lengths;
    // Per pattern, in `found`.
    std::vector<const Occurrences*> occurrences;
    std::shared_ptr<const FoundPatterns> found;
};

// The error for a list of patterns that holds `pattern` twice.
std::invalid_argument listed_twice(const Pattern& pattern) {
    return std::invalid_argument("patterns must be distinct, got '" + std::string(pattern.begin(), pattern.end()) +
                                 "' twice");
}

// What a search refuses in a list of patterns it could otherwise answer from memory: a pattern
// listed twice (each remembered pattern is non-empty).
void check_distinct(const std::vector<Pattern>& patterns) {
    std::set<Pattern> seen;
    for (const Pattern& pattern : patterns) {
        if (!seen.insert(pattern).second) {
            throw listed_twice(pattern);
        }
    }
}

Measured measure(const PreparedPart& part, const std::vector<Pattern>& patterns) {
    Measured measured;
    measured.lengths = occurrence_lengths(part.seglen, patterns);
    measured.found = part.recent->holding(patterns);
    if (measured.found) {
        check_distinct(patterns);
    } else {
        std::vector<Occurrences> occurrences = find_occurrences(part.letters, patterns);
        auto found = std::make_shared<FoundPatterns>();
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            found->occurrences.emplace(patterns[i], std::move(occurrences[i]));
        }
        part.recent->remember(found);
        measured.found = std::move(found);
    }
    for (const Pattern& pattern : patterns) {
        measured.occurrences.push_back(&measured.found->occurrences.at(pattern));
    }
    return measured;
}

void check_representatives(const Measured& measured, const std::vector<std::vector<double>>& representatives) {
    if (representatives.size() != measured.lengths.size()) {
        throw std::invalid_argument("expected one representative per pattern");
    }
    for (std::size_t i = 0; i < representatives.size(); ++i) {
        if (representatives[i].size() != static_cast<std::size_t>(measured.lengths[i])) {
            throw std::invalid_argument("representative " + std::to_string(i) + " has " +
                                        std::to_string(representatives[i].size()) + " points, its pattern " +
                                        std::to_string(measured.lengths[i]));
        }
    }
}

// The steps run without the interpreter, so nothing can interrupt them.
InterruptPoll no_interrupts() { return InterruptPoll{InterruptCheck{}}; }

}  // namespace

std::shared_ptr<const FoundPatterns> RecentSearch::holding(const std::vector<Pattern>& patterns) const {
    const std::lock_guard<std::mutex> lock(guard);
    if (!last) {
        return nullptr;
    }
    for (const Pattern& pattern : patterns) {
        if (last->occurrences.count(pattern) == 0) {
            return nullptr;
        }
    }
    return last;
}

void RecentSearch::remember(std::shared_ptr<const FoundPatterns> found) {
    const std::lock_guard<std::mutex> lock(guard);
    last = std::move(found);
}

void RecentSearch::forget() { remember(nullptr); }

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
            throw listed_twice(pattern);
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

std::vector<Occurrences> find_occurrences(const std::vector<Symbols>& sequences,
                                          const std::vector<Pattern>& patterns) {
    const PatternTrie trie(patterns);
    std::vector<Occurrences> occurrences(patterns.size());
    for (std::size_t s = 0; s < sequences.size(); ++s) {
        const int sequence = static_cast<int>(s);
        trie.scan(sequences[s], [&](int pattern, int position) {
            occurrences[static_cast<std::size_t>(pattern)].push_back(Occurrence{sequence, position});
        });
    }
    return occurrences;
}

std::vector<int> occurrence_lengths(int seglen, const std::vector<Pattern>& patterns) {
    std::vector<int> lengths;
    lengths.reserve(patterns.size());
    for (const Pattern& pattern : patterns) {
        lengths.push_back(occurrence_length(seglen, pattern.size()));
    }
    return lengths;
}

void check_support_rule(double minsup, int max_len) {
    // Only the settings matter: the other two keep every pattern, and there are none.
    PatternMiner(minsup, 1, max_len, 1.0).mine({});
}

void check_selection(int k) {
    // Settings the miner accepts, so that selecting from no motifs is the one step that can fail.
    SeriesSet none;
    Miner(1.0, 1, 3, 1, 0, 1.0, k).mine(none);
}

double measuring_bytes(const std::vector<int>& lengths, const std::vector<const Occurrences*>& occurrences,
                       bool per_series) {
    constexpr double value = sizeof(double);
    double kept = 0.0;
    double working = 0.0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const double length = lengths[i];
        double series = 0.0;
        if (per_series) {
            for_each_series(*occurrences.at(i), [&series](int, std::size_t, std::size_t) { series += 1.0; });
        }
        // Sums and counts (8 bytes each) per point, or one average per series.
        kept += per_series ? series * length * value : 2.0 * length * value;
        // One series' working sums and counts and its average: at most 4 values a point.
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

std::vector<AverageSums> average_sums(const PreparedPart& part, const std::vector<Pattern>& patterns) {
    const Measured measured = measure(part, patterns);
    check_memory("averaging the occurrences of " + count_of(patterns.size(), "pattern"),
                 measuring_bytes(measured.lengths, measured.occurrences, false));
    InterruptPoll poll = no_interrupts();
    std::vector<AverageSums> result;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const int length = measured.lengths[i];
        const std::size_t points = static_cast<std::size_t>(length);
        const Occurrences& occurrences = *measured.occurrences[i];
        PointSums across(points);
        PointSums scratch(points);
        std::vector<double> average(points);
        for_each_series(occurrences, [&](int s, std::size_t first, std::size_t last) {
            average_occurrence(part.series.at(static_cast<std::size_t>(s)), &occurrences[first],
                               &occurrences[first] + (last - first), part.seglen, length, scratch, average.data(),
                               poll);
            across.add(average.data(), points);
        });
        result.push_back(AverageSums{std::move(across.sums),
                                     std::vector<std::int64_t>(across.counts.begin(), across.counts.end())});
    }
    return result;
}

std::vector<double> distance_sums(const PreparedPart& part, const std::vector<Pattern>& patterns,
                                  const std::vector<std::vector<double>>& representatives) {
    const Measured measured = measure(part, patterns);
    check_representatives(measured, representatives);
    InterruptPoll poll = no_interrupts();
    std::vector<double> result;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const Occurrences& occurrences = *measured.occurrences[i];
        const std::vector<BestMatch> best = best_matches(
            occurrences, distances(part.series, occurrences, part.seglen, representatives[i], poll));
        double total = 0.0;
        for (const BestMatch& match : best) {
            total += match.distance;
        }
        result.push_back(total);
    }
    return result;
}

std::vector<PartDetails> part_details(const PreparedPart& part, const std::vector<Pattern>& patterns,
                                      const std::vector<std::vector<double>>& representatives) {
    const Measured measured = measure(part, patterns);
    check_representatives(measured, representatives);
    check_memory("the details of " + count_of(patterns.size(), "pattern"),
                 measuring_bytes(measured.lengths, measured.occurrences, true));
    InterruptPoll poll = no_interrupts();
    std::vector<PartDetails> result(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const Occurrences& occurrences = *measured.occurrences[i];
        PartDetails& details = result[i];
        for_each_series(occurrences, [&details](int s, std::size_t first, std::size_t last) {
            details.series.push_back(s);
            details.counts.push_back(static_cast<int>(last - first));
        });
        details.positions.reserve(occurrences.size());
        for (const Occurrence& occurrence : occurrences) {
            details.positions.push_back(occurrence.position);
        }
        details.averages = average_occurrences(part.series, occurrences, part.seglen, measured.lengths[i], poll);
        const std::vector<BestMatch> best = best_matches(
            occurrences, distances(part.series, occurrences, part.seglen, representatives[i], poll));
        details.best_starts.reserve(best.size());
        for (const BestMatch& match : best) {
            details.best_starts.push_back(match.position * part.seglen);
        }
    }
    // The details are the last measure of a mining run: what it searched for is let go.
    part.recent->forget();
    return result;
}

}  // namespace qel
