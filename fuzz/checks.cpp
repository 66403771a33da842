#include "checks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace qel::fuzz {

namespace {

// Letters that one check_frequent may compare between patterns (lcs table cells, substring
// searches); past it the pairwise checks stop, so that no input takes long.
constexpr std::uint64_t lcs_budget = 2'000'000;

std::string text(const Pattern& pattern) {
    std::ostringstream out;
    out << '\'';
    for (char letter : pattern) {
        const auto byte = static_cast<unsigned char>(letter);
        if (byte >= 0x20 && byte < 0x7f && byte != '\'' && byte != '\\') {
            out << letter;
        } else {
            out << "\\x" << "0123456789abcdef"[byte >> 4] << "0123456789abcdef"[byte & 15];
        }
    }
    out << '\'';
    return out.str();
}

template <typename Map>
std::set<int> keys(const Map& map) {
    std::set<int> result;
    for (const auto& entry : map) {
        result.insert(entry.first);
    }
    return result;
}

bool same_double(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// Lengths that mining keeps, in letters: [lowest, highest]. A negative max_len mines single
// letters only, as no level beyond the first passes its bound.
struct LengthRange {
    std::size_t lowest;
    std::size_t highest;
};

LengthRange kept_lengths(const Settings& settings, std::size_t longest_sequence) {
    const std::size_t lowest = static_cast<std::size_t>(std::max(settings.min_len, 1));
    std::size_t highest = longest_sequence;
    if (settings.max_len > 0) {
        highest = static_cast<std::size_t>(settings.max_len);
    } else if (settings.max_len < 0) {
        highest = 1;
    }
    return {lowest, highest};
}

// (sequence, start) of each occurrence, ascending.
using Places = std::vector<std::pair<int, int>>;

std::string_view view(const Pattern& pattern) { return {pattern.data(), pattern.size()}; }

std::size_t support_of(const Places& places) {
    std::set<int> sequences;
    for (const auto& place : places) {
        sequences.insert(place.first);
    }
    return sequences.size();
}

// Every substring of `sequences` of lowest to highest letters, with where it starts. Keys
// view the sequences: copying up to 256 x 256 / 2 substrings would cost more than mining.
std::unordered_map<std::string_view, Places> all_substrings(const std::vector<Symbols>& sequences,
                                                            LengthRange range) {
    std::unordered_map<std::string_view, Places> found;
    for (std::size_t s = 0; s < sequences.size(); ++s) {
        const Symbols& sequence = sequences[s];
        for (std::size_t start = 0; start < sequence.size(); ++start) {
            for (std::size_t n = range.lowest; n <= range.highest && start + n <= sequence.size(); ++n) {
                found[std::string_view(sequence.data() + start, n)].emplace_back(static_cast<int>(s),
                                                                                 static_cast<int>(start));
            }
        }
    }
    return found;
}

std::string compare_occurrences(const Pattern& pattern, const OccurrenceIndex& recorded,
                                const Places& actual) {
    Places places;
    for (const auto& [series, positions] : recorded) {
        if (positions.empty()) {
            return "pattern " + text(pattern) + " has an empty entry for sequence " + std::to_string(series);
        }
        for (int position : positions) {
            places.emplace_back(series, position);
        }
    }
    std::sort(places.begin(), places.end());
    if (std::adjacent_find(places.begin(), places.end()) != places.end()) {
        return "pattern " + text(pattern) + " records a position twice";
    }
    if (places != actual) {
        return "pattern " + text(pattern) + " is recorded at " + std::to_string(places.size()) +
               " places but occurs at " + std::to_string(actual.size()) + " (or at others)";
    }
    return "";
}

// lcs(cover, covered) / letters of covered above max_overlap: the redundancy filter's test.
// Letters compared are charged to a budget; once it is spent, checks stop (passing).
class CoverTest {
public:
    explicit CoverTest(double max_overlap) : max_overlap(max_overlap) {}

    // Whether any pattern can cover another: ratios never exceed 1.
    bool possible() const { return max_overlap < 1.0; }

    bool affordable() const { return spent <= lcs_budget; }

    bool covers(const Pattern& cover, const Pattern& covered) {
        if (contains(cover, covered)) {
            return true;
        }
        spent += static_cast<std::uint64_t>(cover.size()) * covered.size();
        const double ratio = static_cast<double>(reference_lcs(cover, covered)) /
                             static_cast<double>(covered.size());
        return ratio > max_overlap;
    }

    // Whether a pattern of `kept` at least as long covers `pattern`; substrings are looked
    // for first, as they settle most cases without a table.
    bool any_covers(const PatternOccurrences& kept, const Pattern& pattern) {
        for (const auto& entry : kept) {
            if (entry.first.size() >= pattern.size() && contains(entry.first, pattern)) {
                return true;
            }
        }
        for (const auto& entry : kept) {
            if (!affordable()) {
                return true;
            }
            if (entry.first.size() >= pattern.size() && covers(entry.first, pattern)) {
                return true;
            }
        }
        return false;
    }

private:
    // A substring has the whole of itself in common: ratio 1.
    bool contains(const Pattern& cover, const Pattern& covered) {
        spent += cover.size();
        return view(cover).find(view(covered)) != std::string_view::npos;
    }

    double max_overlap;
    std::uint64_t spent = 0;
};

}  // namespace

MotifView view_of(const Motif& motif) {
    return {motif.pattern,           motif.get_indexes(),     motif.get_average_occurrences(),
            motif.get_representative(), motif.get_best_matches(), motif.get_length(),
            motif.get_naed()};
}

std::vector<MotifView> views_of(const std::vector<Motif>& motifs) {
    std::vector<MotifView> views;
    for (const Motif& motif : motifs) {
        views.push_back(view_of(motif));
    }
    return views;
}

PatternOccurrences occurrences_of(const FrequentPatterns& frequent) {
    PatternOccurrences result;
    for (const auto& [pattern, motif] : frequent) {
        result.emplace(pattern, motif.get_indexes());
    }
    return result;
}

bool has_support_threshold(double minsup) { return minsup > 0.0; }

std::size_t reference_lcs(const Pattern& a, const Pattern& b) {
    std::vector<std::size_t> row(b.size() + 1, 0);
    for (char letter : a) {
        std::size_t diagonal = 0;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = letter == b[j - 1] ? diagonal + 1 : std::max(row[j], row[j - 1]);
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string check_sax(const SeriesSet& ts, int seglen, int alphabet,
                      const std::vector<Symbols>& rows) {
    if (rows.size() != ts.size()) {
        return "sax gives " + std::to_string(rows.size()) + " rows for " +
               std::to_string(ts.size()) + " series";
    }
    const char top = static_cast<char>('a' + std::max(alphabet - 1, 0));
    // (segment mean, letter) of every finite mean: a larger mean never gets a lower letter.
    std::vector<std::pair<double, char>> finite;
    for (std::size_t s = 0; s < ts.size(); ++s) {
        const Series& series = ts[s];
        const std::size_t size = static_cast<std::size_t>(seglen);
        const std::size_t segments = (series.size() + size - 1) / size;
        if (rows[s].size() != segments) {
            return "series " + std::to_string(s) + " of " + std::to_string(series.size()) +
                   " points gives " + std::to_string(rows[s].size()) + " letters";
        }
        for (std::size_t i = 0; i < segments; ++i) {
            double sum = 0.0;
            for (std::size_t point = i * size; point < std::min(series.size(), (i + 1) * size); ++point) {
                sum += series[point];
            }
            const double mean = sum / seglen;
            const char letter = rows[s][i];
            if (letter < 'a' || letter > top) {
                return "letter " + text({letter}) + " outside an alphabet of " +
                       std::to_string(alphabet);
            }
            if ((std::isnan(mean) || mean == -INFINITY) && letter != 'a') {
                return "segment " + std::to_string(i) + " of series " + std::to_string(s) +
                       " has mean " + std::to_string(mean) + " but letter " + text({letter});
            }
            if (mean == INFINITY && letter != top) {
                return "an infinite segment mean does not get the top letter";
            }
            if (!std::isnan(mean)) {
                finite.emplace_back(mean, letter);
            }
        }
    }
    std::sort(finite.begin(), finite.end());
    for (std::size_t i = 1; i < finite.size(); ++i) {
        if (finite[i].second < finite[i - 1].second) {
            return "mean " + std::to_string(finite[i].first) + " gets a lower letter than mean " +
                   std::to_string(finite[i - 1].first);
        }
    }
    return "";
}

std::string check_frequent(const std::vector<Symbols>& sequences, const Settings& settings,
                           const PatternOccurrences& frequent) {
    std::size_t longest = 0;
    for (const Symbols& sequence : sequences) {
        longest = std::max(longest, sequence.size());
    }
    const LengthRange range = kept_lengths(settings, longest);
    const auto substrings = all_substrings(sequences, range);
    // A pattern that occurs nowhere is never frequent, whatever minsup (NaN counts as 0).
    const double needed = std::max(1.0, settings.minsup * static_cast<double>(sequences.size()));

    for (const auto& [pattern, recorded] : frequent) {
        if (pattern.size() < range.lowest || pattern.size() > range.highest) {
            return "pattern " + text(pattern) + " has " + std::to_string(pattern.size()) +
                   " letters, outside the lengths asked for";
        }
        const auto found = substrings.find(view(pattern));
        const std::string wrong =
            compare_occurrences(pattern, recorded, found == substrings.end() ? Places{} : found->second);
        if (!wrong.empty()) {
            return wrong;
        }
        const double support = static_cast<double>(recorded.size());
        if (recorded.empty() || needed > support) {
            return "pattern " + text(pattern) + " is kept with support " +
                   std::to_string(recorded.size()) + " below " + std::to_string(needed);
        }
    }

    CoverTest cover(settings.max_overlap);
    // Kept patterns never cover one another: the filter would have dropped the shorter one.
    for (auto p = frequent.begin(); cover.possible() && p != frequent.end(); ++p) {
        for (auto r = frequent.begin(); r != frequent.end(); ++r) {
            if (!cover.affordable()) {
                return "";
            }
            if (r->first.size() <= p->first.size() && r != p && cover.covers(p->first, r->first)) {
                return "kept pattern " + text(p->first) + " covers kept pattern " + text(r->first);
            }
        }
    }
    // A frequent substring of a kept length is kept, or dropped for a kept pattern that covers it.
    for (const auto& [letters, places] : substrings) {
        if (needed > static_cast<double>(support_of(places))) {
            continue;
        }
        const Pattern pattern(letters.begin(), letters.end());
        if (frequent.count(pattern) != 0) {
            continue;
        }
        if (!cover.possible() || !cover.any_covers(frequent, pattern)) {
            return "frequent pattern " + text(pattern) + " (support " +
                   std::to_string(support_of(places)) + ") is neither kept nor covered";
        }
        if (!cover.affordable()) {
            return "";
        }
    }
    return "";
}

std::string check_ranked(const std::vector<MotifView>& ranked, int seglen, double minsup) {
    for (const MotifView& motif : ranked) {
        const std::string name = "motif " + text(motif.pattern);
        if (motif.indexes.empty()) {
            return name + " has no occurrence";
        }
        const std::set<int> series = keys(motif.indexes);
        if (keys(motif.average_occurrences) != series) {
            return name + ": average_occurrences and indexes differ in series";
        }
        if (keys(motif.best_matches) != series) {
            return name + ": best_matches and indexes differ in series";
        }
        const std::int64_t points = static_cast<std::int64_t>(seglen) *
                                    static_cast<std::int64_t>(motif.pattern.size());
        if (motif.length != points) {
            return name + " has length " + std::to_string(motif.length) + ", not seglen " +
                   std::to_string(seglen) + " x " + std::to_string(motif.pattern.size());
        }
        if (motif.representative.size() != static_cast<std::size_t>(motif.length)) {
            return name + "'s representative has " + std::to_string(motif.representative.size()) +
                   " points for length " + std::to_string(motif.length);
        }
        for (const auto& [s, average] : motif.average_occurrences) {
            if (average.size() != static_cast<std::size_t>(motif.length)) {
                return name + "'s average occurrence in series " + std::to_string(s) + " has " +
                       std::to_string(average.size()) + " points";
            }
        }
        for (const auto& [s, start] : motif.best_matches) {
            const std::vector<int>& positions = motif.indexes.at(s);
            const std::int64_t first_point = start;
            const bool recorded = std::any_of(positions.begin(), positions.end(), [&](int position) {
                return static_cast<std::int64_t>(position) * seglen == first_point;
            });
            if (!recorded) {
                return name + "'s best match " + std::to_string(start) + " in series " +
                       std::to_string(s) + " is no recorded position x seglen";
            }
        }
    }
    for (std::size_t i = 1; i < ranked.size(); ++i) {
        const double before = ranked[i - 1].naed;
        const double after = ranked[i].naed;
        if (after < before || (std::isnan(before) && !std::isnan(after))) {
            return "naed " + std::to_string(after) + " of motif " + text(ranked[i].pattern) +
                   " ranks after " + std::to_string(before);
        }
    }
    return "";
}

std::string check_constant_series(const SeriesSet& ts, const std::vector<MotifView>& ranked) {
    for (const MotifView& motif : ranked) {
        for (const auto& [series, average] : motif.average_occurrences) {
            const Series& values = ts.at(static_cast<std::size_t>(series));
            const bool constant = !values.empty() && std::all_of(values.begin(), values.end(), [&](double v) {
                return v == values.front();
            });
            const auto real = std::find_if(average.begin(), average.end(), [](double v) { return !std::isnan(v); });
            if (constant && real != average.end()) {
                return "motif " + text(motif.pattern) + "'s average occurrence in constant series " +
                       std::to_string(series) + " is " + std::to_string(*real) + " at point " +
                       std::to_string(real - average.begin()) + ", not NaN";
            }
        }
    }
    return "";
}

std::string check_selection(const std::vector<MotifView>& selected,
                            const std::vector<MotifView>& ranked, int k) {
    if (k < 0) {
        return "a negative k returns motifs";
    }
    const std::size_t wanted =
        k == 0 ? ranked.size() : std::min(ranked.size(), static_cast<std::size_t>(k));
    if (selected.size() != wanted) {
        return "k " + std::to_string(k) + " returns " + std::to_string(selected.size()) + " of " +
               std::to_string(ranked.size()) + " motifs";
    }
    for (std::size_t i = 0; i < wanted; ++i) {
        if (selected[i].pattern != ranked[i].pattern || !same_double(selected[i].naed, ranked[i].naed)) {
            return "returned motif " + std::to_string(i) + " " + text(selected[i].pattern) +
                   " is not ranked motif " + text(ranked[i].pattern);
        }
    }
    return "";
}

std::string check_same_patterns(const std::vector<MotifView>& motifs,
                                const PatternOccurrences& frequent) {
    if (motifs.size() != frequent.size()) {
        return std::to_string(motifs.size()) + " motifs for " + std::to_string(frequent.size()) +
               " frequent patterns";
    }
    for (const MotifView& motif : motifs) {
        const auto found = frequent.find(motif.pattern);
        if (found == frequent.end()) {
            return "motif " + text(motif.pattern) + " is no frequent pattern";
        }
        if (found->second != motif.indexes) {
            return "motif " + text(motif.pattern) + " has other occurrences than its pattern";
        }
    }
    return "";
}

}  // namespace qel::fuzz
