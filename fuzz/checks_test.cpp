// The fuzz checks must reject results with planted faults and accept the core's own results:
// a check that passes everything would hide every finding.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "checks.h"
#include "input.h"
#include "miner.h"

namespace qel::fuzz {
namespace {

Pattern letters(const char* text) { return Pattern(text, text + std::char_traits<char>::length(text)); }

Settings settings(double minsup, int min_len, int max_len = 0, double max_overlap = 0.9) {
    Settings result;
    result.minsup = minsup;
    result.min_len = min_len;
    result.max_len = max_len;
    result.max_overlap = max_overlap;
    return result;
}

PatternOccurrences mined(const std::vector<Symbols>& sequences, const Settings& s) {
    PatternMiner miner(s.minsup, s.min_len, s.max_len, s.max_overlap);
    miner.mine(sequences);
    return occurrences_of(miner.get_frequent());
}

const std::vector<Symbols> sequences = {letters("abcabd"), letters("xabcab"), letters("abdd")};

TEST(CheckFrequent, AcceptsTheMinersResults) {
    for (const Settings& s : {settings(1.0, 1), settings(0.5, 2), settings(0.3, 1, 0, 0.5),
                              settings(0.5, 1, 0, 1.0), settings(0.0, 1, 3), settings(0.5, 1, -1)}) {
        EXPECT_EQ(check_frequent(sequences, s, mined(sequences, s)), "");
    }
}

TEST(CheckFrequent, RejectsWrongOccurrences) {
    const Settings s = settings(0.5, 2);
    PatternOccurrences frequent = mined(sequences, s);
    ASSERT_EQ(frequent.count(letters("abcab")), 1u);

    PatternOccurrences missing = frequent;
    missing[letters("abcab")].erase(0);
    EXPECT_NE(check_frequent(sequences, s, missing), "");

    PatternOccurrences shifted = frequent;
    shifted[letters("abcab")][1] = {0};
    EXPECT_NE(check_frequent(sequences, s, shifted), "");

    PatternOccurrences twice = frequent;
    twice[letters("abcab")][1].push_back(1);
    EXPECT_NE(check_frequent(sequences, s, twice), "");
}

TEST(CheckFrequent, RejectsWrongPatternSets) {
    const Settings s = settings(0.5, 2);
    const PatternOccurrences frequent = mined(sequences, s);

    PatternOccurrences dropped = frequent;
    dropped.erase(letters("abcab"));
    EXPECT_NE(check_frequent(sequences, s, dropped), "");  // frequent, and nothing covers it

    PatternOccurrences redundant = frequent;
    redundant[letters("bca")] = {{0, {1}}, {1, {2}}};  // inside the kept "abcab"
    EXPECT_NE(check_frequent(sequences, s, redundant), "");

    PatternOccurrences rare = frequent;
    rare[letters("xa")] = {{1, {0}}};  // one sequence of three, minsup 0.5
    EXPECT_NE(check_frequent(sequences, s, rare), "");

    PatternOccurrences too_short = frequent;
    too_short[letters("x")] = {{1, {0}}};
    EXPECT_NE(check_frequent(sequences, s, too_short), "");
}

TEST(CheckFrequent, APatternThatOccursNowhereIsAFaultWhateverMinsup) {
    const PatternOccurrences nowhere = {{letters("ab"), {{0, {0}}}}, {letters("zz"), {}}};
    EXPECT_NE(check_frequent({letters("ab")}, settings(0.0, 2, 2, 1.0), nowhere), "");
    EXPECT_NE(check_frequent({letters("ab")}, settings(0.5, 2, 2, 1.0), nowhere), "");
}

std::vector<MotifView> ranked_motifs(double minsup, int seglen) {
    SeriesSet ts = {{0, 0, 5, 5, 9, 9, 5, 5}, {1, 1, 1, 1, 4, 4, 8, 8, 4, 4}, {3, 3, 3}};
    Miner miner(minsup, seglen, 3, 1, 3, 0.9, 0);
    miner.mine(ts);
    return views_of(miner.get_motifs());
}

TEST(CheckRanked, AcceptsTheMinersResults) {
    EXPECT_EQ(check_ranked(ranked_motifs(0.5, 2), 2, 0.5), "");
    EXPECT_EQ(check_ranked(ranked_motifs(0.0, 1), 1, 0.0), "");
}

TEST(CheckRanked, RejectsBrokenMotifs) {
    const std::vector<MotifView> ranked = ranked_motifs(0.5, 2);
    ASSERT_GE(ranked.size(), 2u);
    const int series = ranked[0].indexes.begin()->first;
    const auto broken = [&](auto plant) {
        std::vector<MotifView> copy = ranked;
        plant(copy[0]);
        return check_ranked(copy, 2, 0.5);
    };
    EXPECT_NE(broken([&](MotifView& m) { m.best_matches[series] += 1; }), "");
    EXPECT_NE(broken([&](MotifView& m) { m.best_matches.erase(series); }), "");
    EXPECT_NE(broken([&](MotifView& m) { m.average_occurrences[series].pop_back(); }), "");
    EXPECT_NE(broken([&](MotifView& m) { m.representative.push_back(0.0); }), "");
    EXPECT_NE(broken([&](MotifView& m) { m.length += 2; }), "");
    EXPECT_NE(broken([&](MotifView& m) { m.indexes.clear(); m.average_occurrences.clear(); m.best_matches.clear(); }), "");
    EXPECT_NE(broken([&](MotifView& m) { m.naed = NAN; }), "");  // NaN ahead of a number
    EXPECT_NE(broken([&](MotifView& m) { m.naed = ranked[1].naed + 1.0; }), "");
}

TEST(CheckRanked, ABestMatchThatIsNoOccurrenceIsAFault) {
    std::vector<MotifView> ranked = ranked_motifs(0.5, 2);
    for (MotifView& motif : ranked) {
        for (const auto& [series, positions] : motif.indexes) {
            if (positions.front() != 0) {
                motif.best_matches[series] = 0;
                EXPECT_NE(check_ranked(ranked, 2, 0.5), "");
                motif.naed = 1e6;  // even with the summed distance of no match at all
                EXPECT_NE(check_ranked({motif}, 2, 0.5), "");
                return;
            }
        }
    }
    FAIL() << "no motif starts past point 0";
}

TEST(CheckConstantSeries, WantsNanAveragesInAConstantSeriesOnly) {
    // The third series is constant; 0.7 x 12 rounds its mean, -1e-300 x 40 its squares.
    for (const Series& constant : {Series{3, 3, 3}, Series(12, 0.7), Series(40, -1e-300)}) {
        SeriesSet ts = {{0, 0, 5, 5, 9, 9, 5, 5}, {1, 1, 1, 1, 4, 4, 8, 8, 4, 4}, constant};
        Miner miner(0.5, 2, 3, 1, 3, 0.9, 0);
        SeriesSet copy = ts;
        miner.mine(copy);
        std::vector<MotifView> ranked = views_of(miner.get_motifs());
        EXPECT_EQ(check_constant_series(ts, ranked), "") << constant.size();
        bool planted = false;
        for (MotifView& motif : ranked) {
            const auto found = motif.average_occurrences.find(2);
            if (found != motif.average_occurrences.end()) {
                found->second.back() = 1.0;
                EXPECT_NE(check_constant_series(ts, ranked), "");
                ts[2].back() += 1.0;  // no longer constant: any value is its own
                EXPECT_EQ(check_constant_series(ts, ranked), "");
                planted = true;
                break;
            }
        }
        EXPECT_TRUE(planted) << "no motif occurs in the constant series";
    }
}

TEST(CheckSelection, WantsTheFirstKInOrder) {
    const std::vector<MotifView> ranked = ranked_motifs(0.5, 2);
    ASSERT_GE(ranked.size(), 3u);
    const std::vector<MotifView> first_two(ranked.begin(), ranked.begin() + 2);
    EXPECT_EQ(check_selection(first_two, ranked, 2), "");
    EXPECT_EQ(check_selection(ranked, ranked, 0), "");
    EXPECT_EQ(check_selection(ranked, ranked, 1000), "");
    EXPECT_NE(check_selection(first_two, ranked, 3), "");
    EXPECT_NE(check_selection({ranked[1], ranked[0]}, ranked, 2), "");
}

TEST(CheckSax, AcceptsSaxAndRejectsMisplacedLetters) {
    const SeriesSet ts = {{-3, -2, -1, 0, 1, 2, 3}, {NAN, 1, -INFINITY, 0}, {INFINITY, 1}};
    const std::vector<Symbols> rows = sax(ts, 2, 4);
    EXPECT_EQ(check_sax(ts, 2, 4, rows), "");

    std::vector<Symbols> outside = rows;
    outside[0][0] = 'e';
    EXPECT_NE(check_sax(ts, 2, 4, outside), "");
    std::vector<Symbols> unordered = rows;
    std::swap(unordered[0][0], unordered[0][2]);  // means -2.5 and 1.5
    EXPECT_NE(check_sax(ts, 2, 4, unordered), "");
    std::vector<Symbols> nan_letter = rows;
    nan_letter[1][0] = 'b';
    EXPECT_NE(check_sax(ts, 2, 4, nan_letter), "");
    std::vector<Symbols> short_row = rows;
    short_row[0].pop_back();
    EXPECT_NE(check_sax(ts, 2, 4, short_row), "");
}

TEST(ReferenceLcs, CountsCommonSubsequences) {
    EXPECT_EQ(reference_lcs(letters("abcbdab"), letters("bdcaba")), 4u);
    EXPECT_EQ(reference_lcs(letters("abc"), letters("")), 0u);
    EXPECT_EQ(reference_lcs(letters("aaaa"), letters("aa")), 2u);
}

TEST(Decode, StaysWithinItsBoundsOnAnyBytes) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint8_t> bytes(random() % 4096);
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        const FuzzInput input = decode(bytes.data(), bytes.size());
        ASSERT_LE(input.series.size(), 12u);
        ASSERT_LE(input.sequences.size(), 12u);
        for (const Series& series : input.series) {
            ASSERT_LE(series.size(), 300u);
        }
        for (const Symbols& sequence : input.sequences) {
            ASSERT_LE(sequence.size(), 255u);
        }
    }
}

}  // namespace
}  // namespace qel::fuzz
