// What every result of the core must satisfy; each check returns its first violation as a
// sentence, or "" when the result holds up.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "input.h"
#include "motif.h"
#include "patterns.h"

namespace qel::fuzz {

// Everything a motif carries, read through its getters, so that checks can also be fed
// values that no motif would hold.
struct MotifView {
    Pattern pattern;
    OccurrenceIndex indexes;
    AverageOccurrences average_occurrences;
    std::vector<double> representative;
    BestMatches best_matches;
    int length = 0;
    double naed = 0.0;
};

MotifView view_of(const Motif& motif);
std::vector<MotifView> views_of(const std::vector<Motif>& motifs);

// Each mined pattern with its occurrences.
using PatternOccurrences = std::map<Pattern, OccurrenceIndex>;

PatternOccurrences occurrences_of(const FrequentPatterns& frequent);

// Whether minsup bounds the patterns: with minsup <= 0 or NaN every pattern that
// occurs at all is frequent, so only max_len bounds the work.
bool has_support_threshold(double minsup);

// The rows of sax(ts, seglen, alphabet): one per series, ceil(points / seglen) letters each,
// letters within the alphabet, NaN and -inf segments 'a'.
std::string check_sax(const SeriesSet& ts, int seglen, int alphabet,
                      const std::vector<Symbols>& rows);

// PatternMiner's result on `sequences` against a brute-force count of every substring:
// exact occurrence lists, lengths and support within the settings, every frequent substring
// either kept or covered (lcs ratio above max_overlap) by a kept pattern at least as long, and
// no kept pattern covering another. The pairwise lcs work stops after a fixed budget.
std::string check_frequent(const std::vector<Symbols>& sequences, const Settings& settings,
                           const PatternOccurrences& frequent);

// Miner's ranked motifs: occurrences (unless minsup sets no threshold), matching keys, lengths
// of seglen x letters points, best matches at recorded positions, naed ascending with NaN last.
std::string check_ranked(const std::vector<MotifView>& ranked, int seglen, double minsup);

// A series of `ts` whose points all compare equal normalises to NaN, whatever its mean rounds
// to: every average occurrence of it in `ranked` is NaN throughout.
std::string check_constant_series(const SeriesSet& ts, const std::vector<MotifView>& ranked);

// `selected` is the first k of `ranked` (all of them for k 0), in the same order.
std::string check_selection(const std::vector<MotifView>& selected,
                            const std::vector<MotifView>& ranked, int k);

// The motifs carry exactly the patterns and occurrences that `frequent` holds.
std::string check_same_patterns(const std::vector<MotifView>& motifs,
                                const PatternOccurrences& frequent);

// Longest common subsequence by the textbook table, to hold the core's bit-parallel one to.
std::size_t reference_lcs(const Pattern& a, const Pattern& b);

}  // namespace qel::fuzz
