// The fuzz target: decodes an input (input.h), runs sax, PatternMiner and Miner on it, and
// aborts on a broken invariant (checks.h) or an exception the core does not document.
// Inputs whose work legitimately explodes are skipped, so every run stays small and fast.
// Replay one input: build-fuzz/qel_fuzz FILE (or build/tests/fuzz/qel_fuzz_replay FILE).
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "checks.h"
#include "input.h"
#include "miner.h"
#include "patterns.h"
#include "sax.h"

namespace qel::fuzz {

namespace {

// Letters in all sequences together: beyond this, a small minsup makes so many substrings
// frequent that mining and its brute-force check take too long.
constexpr std::size_t max_letters = 128;
// Patterns mined when minsup sets no threshold: every join of the letters up to max_len.
constexpr double max_unthresholded_patterns = 512;
// Points that mapping may touch (each motif's representative, per-series averages and
// occurrences): keeps a run to tens of MB and well under a second.
constexpr double max_mapped_points = 1'000'000;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "qel_fuzz: %s\n", what.c_str());
    std::abort();
}

void expect(const std::string& violation) {
    if (!violation.empty()) {
        fail(violation);
    }
}

// Runs `call`; returns "" if it returned, else "<kind>: <message>" of an exception the core
// documents. Any other exception is a finding.
template <typename Call>
std::string outcome_of(const char* entry, int alphabet, Call call) {
    try {
        call();
        return "";
    } catch (const std::invalid_argument& error) {
        const std::string message = error.what();
        const bool non_finite = message.rfind("series ", 0) == 0 &&
                                message.find(": mining needs finite values") != std::string::npos;
        if (message != "alphabet must be between 0 and 10, got " + std::to_string(alphabet) &&
            message != "minsup must be positive when max_len is 0" && !non_finite) {
            fail(std::string(entry) + ": undocumented invalid_argument: " + message);
        }
        return "invalid_argument: " + message;
    } catch (const std::length_error& error) {
        const std::string message = error.what();
        if (message != "cannot create std::vector larger than max_size()" &&
            message != "vector::reserve") {
            fail(std::string(entry) + ": undocumented length_error: " + message);
        }
        return "length_error: " + message;
    } catch (const std::overflow_error& error) {
        const std::string message = error.what();
        if (message.rfind("occurrence length overflows int", 0) != 0) {
            fail(std::string(entry) + ": undocumented overflow_error: " + message);
        }
        return "overflow_error: " + message;
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    } catch (const std::exception& error) {
        fail(std::string(entry) + ": undocumented exception: " + error.what());
    } catch (...) {
        fail(std::string(entry) + ": a non-standard exception");
    }
}

// Whether mining `sequences` with these settings stays small: few letters in all, and,
// without a support threshold, few joins (all of them are kept then).
bool mining_is_small(const std::vector<Symbols>& sequences, const Settings& settings) {
    std::size_t letters = 0;
    bool seen[256] = {};
    double distinct = 0;
    for (const Symbols& sequence : sequences) {
        letters += sequence.size();
        for (char letter : sequence) {
            bool& was_seen = seen[static_cast<unsigned char>(letter)];
            distinct += was_seen ? 0 : 1;
            was_seen = true;
        }
    }
    if (letters > max_letters) {
        return false;
    }
    if (has_support_threshold(settings.minsup) || settings.max_len <= 0) {
        return true;
    }
    // Level n holds distinct^n patterns; one letter still gives one pattern per level.
    double patterns = 0;
    double level = 1;
    for (int n = 1; n <= settings.max_len && distinct > 0; ++n) {
        level *= distinct;
        patterns += level;
        if (patterns > max_unthresholded_patterns) {
            return false;
        }
    }
    return true;
}

// What mapping `frequent` onto the series will touch, in points; 0 when every pattern's
// occurrence length overflows int, which fails before anything is allocated.
double mapped_points(const FrequentPatterns& frequent, const Settings& settings) {
    const double seglen = settings.seglen;
    double points = 0;
    bool all_overflow = !frequent.empty();
    for (const auto& [pattern, motif] : frequent) {
        const double length = seglen * static_cast<double>(pattern.size());
        all_overflow = all_overflow && length > INT_MAX;
        double occurrences = 0;
        for (const auto& entry : motif.get_indexes()) {
            occurrences += static_cast<double>(entry.second.size());
        }
        points += (occurrences + static_cast<double>(motif.get_support()) + 3) * length;
    }
    return all_overflow ? 0 : points;
}

void fuzz_sax(const SeriesSet& ts, const Settings& settings) {
    if (settings.seglen < 1) {
        // Only refusal is of interest: no sequence of letters to check.
        outcome_of("sax", settings.alphabet, [&] { sax(ts, settings.seglen, settings.alphabet); });
        return;
    }
    std::vector<Symbols> rows;
    const std::string outcome =
        outcome_of("sax", settings.alphabet, [&] { rows = sax(ts, settings.seglen, settings.alphabet); });
    const bool alphabet_ok = settings.alphabet >= 0 && settings.alphabet <= max_alphabet;
    if (outcome.empty() != alphabet_ok) {
        fail("sax with seglen " + std::to_string(settings.seglen) + " and alphabet " +
             std::to_string(settings.alphabet) + ": " + (outcome.empty() ? "returned" : outcome));
    }
    if (outcome.empty()) {
        expect(check_sax(ts, settings.seglen, settings.alphabet, rows));
    }
}

// Mines `sequences` and checks the result; returns the outcome and leaves the patterns in
// `frequent` when mining returned.
std::string fuzz_pattern_miner(const std::vector<Symbols>& sequences, const Settings& settings,
                               FrequentPatterns& frequent) {
    PatternMiner miner(settings.minsup, settings.min_len, settings.max_len, settings.max_overlap);
    const std::string outcome = outcome_of("PatternMiner::mine", settings.alphabet, [&] {
        miner.mine(sequences);
        frequent = miner.get_frequent();
    });
    const bool refused = settings.max_len == 0 && !has_support_threshold(settings.minsup);
    if (outcome.empty() == refused) {
        fail("PatternMiner::mine with minsup " + std::to_string(settings.minsup) + ", max_len " +
             std::to_string(settings.max_len) + ": " + (outcome.empty() ? "returned" : outcome));
    }
    if (outcome.empty()) {
        expect(check_frequent(sequences, settings, occurrences_of(frequent)));
    }
    return outcome;
}

void fuzz_miner(const SeriesSet& ts, const Settings& settings) {
    // The same steps by hand first: the reference patterns, and the size of what Miner will
    // map, which decides whether to run it at all.
    SeriesSet normalised = ts;
    znorm(normalised);
    std::vector<Symbols> sequences;
    std::string expected = outcome_of("sax", settings.alphabet, [&] {
        sequences = sax(normalised, settings.seglen, settings.alphabet);
    });
    FrequentPatterns frequent;
    if (expected.empty()) {
        if (!mining_is_small(sequences, settings)) {
            return;
        }
        expected = fuzz_pattern_miner(sequences, settings, frequent);
        if (expected.empty() && mapped_points(frequent, settings) > max_mapped_points) {
            return;
        }
    }

    Miner miner(settings.minsup, settings.seglen, settings.alphabet, settings.min_len,
                settings.max_len, settings.max_overlap, settings.k);
    SeriesSet copy = ts;
    std::vector<Motif> selected;
    const std::string outcome =
        outcome_of("Miner::mine", settings.alphabet, [&] { selected = miner.mine(copy); });
    // Miner refuses what its steps refuse; beyond them only mapping and a negative k may fail,
    // and a NaN or infinity, which Miner refuses before discretising (after the alphabet).
    const bool non_finite = std::any_of(ts.begin(), ts.end(), [](const Series& series) {
        return std::any_of(series.begin(), series.end(), [](double v) { return !std::isfinite(v); });
    });
    const bool refused_non_finite = non_finite && outcome.rfind("invalid_argument: series ", 0) == 0;
    if (!expected.empty() && outcome != expected && !refused_non_finite) {
        fail("Miner::mine gives \"" + outcome + "\" where its steps give \"" + expected + "\"");
    }
    if (!outcome.empty()) {
        return;
    }
    const std::vector<MotifView> ranked = views_of(miner.get_motifs());
    expect(check_same_patterns(ranked, occurrences_of(frequent)));
    expect(check_ranked(ranked, settings.seglen, settings.minsup));
    expect(check_constant_series(ts, ranked));
    expect(check_selection(views_of(selected), ranked, settings.k));
}

}  // namespace

}  // namespace qel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qel::fuzz;
    const FuzzInput input = decode(data, size);
    fuzz_sax(input.series, input.settings);
    if (mining_is_small(input.sequences, input.settings)) {
        qel::FrequentPatterns frequent;
        fuzz_pattern_miner(input.sequences, input.settings, frequent);
    }
    fuzz_miner(input.series, input.settings);
    return 0;
}
