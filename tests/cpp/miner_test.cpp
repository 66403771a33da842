#include "miner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "patterns.h"

namespace qel {
namespace {

using Strings = std::vector<std::string>;

Strings patterns(const std::vector<Motif>& motifs) {
    Strings result;
    for (const Motif& motif : motifs) result.emplace_back(motif.pattern.begin(), motif.pattern.end());
    return result;
}

// One series that discretises to "ab" (seglen 2, two letters). With no support threshold and
// max_len 2 every substring is kept: a, ab and b, each found once (naed 0).
SeriesSet ab_series() { return {{0, 0, 1, 1}}; }
Miner every_string_miner(int k) { return Miner(0.0, 2, 2, 1, 2, 1.0, k); }

TEST(MinerRanking, EqualNaedKeepsPatternOrder) {
    Miner miner = every_string_miner(0);
    SeriesSet ts = ab_series();
    const std::vector<Motif> result = miner.mine(ts);
    EXPECT_EQ(patterns(result), (Strings{"a", "ab", "b"}));
    for (const Motif& motif : result) EXPECT_EQ(motif.get_naed(), 0.0);
    EXPECT_EQ(patterns(miner.get_motifs()), patterns(result));
}

// A motif without occurrences (NaN naed) only arises from hand-made motifs now.
TEST(MinerRanking, AscendingNaedWithTiesInPresentOrderAndNanLast) {
    const SeriesSet ts{{0, 0, 0, 0, 4, 4, 4, 4}};
    std::vector<Motif> motifs;
    const auto add = [&](const char* letters, std::vector<int> positions) {
        Motif motif(Pattern(letters, letters + std::char_traits<char>::length(letters)));
        for (int position : positions) motif.record_index(0, position);
        motif.map(ts, 2);
        motifs.push_back(motif);
    };
    add("n", {});        // NaN
    add("t", {0, 2});    // naed 1
    add("z", {0});       // 0
    add("m", {});        // NaN
    add("u", {0, 2});    // 1
    add("a", {2});       // 0
    rank_motifs(motifs);
    EXPECT_EQ(patterns(motifs), (Strings{"z", "a", "t", "u", "n", "m"}));
}

TEST(MinerRanking, RealDistancesAscend) {
    // Two series sharing a rise of varying steepness: several motifs with distinct naed.
    SeriesSet ts{{0, 0, 0, 1, 2, 3, 3, 3, 0, 0, 1, 3, 3, 3},
                 {3, 3, 3, 0, 0, 0, 2, 3, 3, 3, 0, 1, 2, 3}};
    Miner miner(1.0, 1, 3, 2, 0, 0.9, 0);
    const std::vector<Motif> result = miner.mine(ts);
    ASSERT_GE(result.size(), 2u);
    for (std::size_t i = 1; i < result.size(); ++i) {
        EXPECT_LE(result[i - 1].get_naed(), result[i].get_naed());
    }
}

TEST(MinerSelection, KCountsFromTheFrontOfTheRanking) {
    const Strings ranked{"a", "ab", "b"};
    for (int k : {0, 3, 4, 1000}) {
        Miner miner = every_string_miner(k);
        SeriesSet ts = ab_series();
        EXPECT_EQ(patterns(miner.mine(ts)), ranked) << "k " << k;
    }
    Miner miner = every_string_miner(2);
    SeriesSet ts = ab_series();
    EXPECT_EQ(patterns(miner.mine(ts)), (Strings{"a", "ab"}));
    EXPECT_EQ(patterns(miner.get_motifs()), ranked);
}

TEST(MinerSelection, NegativeKFailsAfterRanking) {
    for (const SeriesSet& input : {ab_series(), SeriesSet{}}) {
        Miner miner = every_string_miner(-1);
        SeriesSet ts = input;
        try {
            miner.mine(ts);
            FAIL() << "negative k accepted";
        } catch (const std::length_error& error) {
            EXPECT_STREQ(error.what(), "cannot create std::vector larger than max_size()");
        }
        EXPECT_EQ(miner.get_motifs().size(), input.empty() ? 0u : 3u);
    }
}

TEST(MinerPipeline, NormalisesInPlaceAndMeasuresTheNormalisedValues) {
    Miner miner(1.0, 2, 2, 2, 0, 0.9, 0);
    SeriesSet ts{{0, 0, 10, 10}, {5, 5, 7, 7}};
    const std::vector<Motif> result = miner.mine(ts);
    EXPECT_EQ(ts, (SeriesSet{{-1, -1, 1, 1}, {-1, -1, 1, 1}}));
    ASSERT_EQ(patterns(result), (Strings{"ab"}));
    EXPECT_EQ(result[0].get_representative(), (std::vector<double>{-1, -1, 1, 1}));
    EXPECT_EQ(result[0].get_naed(), 0.0);
}

TEST(MinerPipeline, ScaleOfTheSeriesDoesNotMatter) {
    for (double magnitude : {1.0, 1e160, 1e-200}) {
        SeriesSet ts(2);
        for (int repeat = 0; repeat < 3; ++repeat) {
            for (double value : {0.0, 3.0, 1.0}) ts[0].push_back(value * magnitude);
        }
        ts[1] = ts[0];
        Miner miner(1.0, 1, 3, 3, 0, 0.9, 0);
        const std::vector<Motif> result = miner.mine(ts);
        EXPECT_EQ(patterns(result), (Strings{"acbacbacb"})) << magnitude;
        EXPECT_NEAR(result.at(0).get_naed(), 0.0, 1e-12) << magnitude;
    }
}

TEST(MinerPipeline, NothingFrequentGivesNoMotifs) {
    for (const SeriesSet& input : {SeriesSet{}, SeriesSet{{0, 0, 1, 1}, {1, 1, 0, 0}}}) {
        Miner miner(1.0, 2, 2, 2, 0, 0.9, 3);
        SeriesSet ts = input;
        EXPECT_TRUE(miner.mine(ts).empty());
        EXPECT_TRUE(miner.get_motifs().empty());
    }
}

TEST(MinerPipeline, EachMineDescribesItsOwnSeriesSet) {
    Miner reused(1.0, 2, 2, 2, 0, 0.9, 0);
    SeriesSet first{{0, 0, 1, 1}, {0, 0, 1, 1}, {0, 0, 1, 1}};
    reused.mine(first);
    SeriesSet second{{1, 1, 0, 0}};
    const std::vector<Motif> again = reused.mine(second);
    Miner fresh(1.0, 2, 2, 2, 0, 0.9, 0);
    SeriesSet same{{1, 1, 0, 0}};
    EXPECT_EQ(patterns(again), patterns(fresh.mine(same)));
    EXPECT_EQ(patterns(reused.get_motifs()), (Strings{"ba"}));
    EXPECT_EQ(again[0].get_indexes(), (OccurrenceIndex{{0, {0}}}));
}

TEST(MinerPipeline, StageErrorsReachTheCaller) {
    SeriesSet ts = ab_series();
    EXPECT_THROW(Miner(1.0, 0, 2, 1, 0, 0.9, 0).mine(ts), std::length_error);
    EXPECT_THROW(Miner(1.0, 2, 11, 1, 0, 0.9, 0).mine(ts), std::invalid_argument);
    EXPECT_THROW(Miner(0.0, 2, 2, 1, 0, 0.9, 0).mine(ts), std::invalid_argument);
}

TEST(MinerPipeline, NonFiniteValuesAreRefusedNamingSeriesAndPoint) {
    const double nan = std::nan("");
    const double inf = HUGE_VAL;
    const std::vector<std::pair<SeriesSet, std::string>> cases = {
        {{{0, 1, 2}, {0, 1, nan, 3}}, "series 1 holds NaN at point 2"},
        {{{inf, 1}}, "series 0 holds inf at point 0"},
        {{{1, 2}, {}, {1, -inf}}, "series 2 holds -inf at point 1"},
    };
    for (auto [ts, message] : cases) {
        Miner miner(1.0, 1, 3, 1, 0, 0.9, 0);
        try {
            miner.mine(ts);
            ADD_FAILURE() << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()).rfind(message, 0), 0u) << error.what();
        }
        EXPECT_TRUE(miner.get_motifs().empty());
    }
}

// Series are checked two values at a time: a bad value is found at every point, the last
// of an odd length too, and the largest finite values are no bad ones.
TEST(MinerPipeline, NonFiniteValueIsFoundAtEveryPoint) {
    for (std::size_t length = 1; length <= 7; ++length) {
        for (std::size_t point = 0; point < length; ++point) {
            for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
                SeriesSet ts{{1, 2, 3}, Series(length, 0.5)};
                ts[1][point] = bad;
                try {
                    Miner(1.0, 1, 3, 1, 0, 0.9, 0).mine(ts);
                    ADD_FAILURE() << length << " " << point;
                } catch (const std::invalid_argument& error) {
                    const std::string name = std::isnan(bad) ? "NaN" : bad > 0 ? "inf" : "-inf";
                    const std::string expected = "series 1 holds " + name + " at point " + std::to_string(point);
                    EXPECT_EQ(std::string(error.what()).rfind(expected, 0), 0u) << error.what();
                }
            }
        }
    }
    SeriesSet largest{{1.7e308, -1.7e308, 1.7e308}};
    EXPECT_NO_THROW(Miner(1.0, 1, 3, 1, 0, 0.9, 0).mine(largest));
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {

struct Stop {};

// Noisy walks with a recurring bump: enough work for many polls in every stage.
SeriesSet walks(int series, int points) {
    SeriesSet ts(static_cast<std::size_t>(series));
    unsigned state = 12345;
    for (Series& s : ts) {
        double value = 0.0;
        for (int i = 0; i < points; ++i) {
            state = state * 1103515245u + 12345u;
            value += static_cast<double>((state >> 16) % 200) / 100.0 - 1.0;
            s.push_back(value + ((i / 50) % 3 == 0 ? 4.0 : 0.0));
        }
    }
    return ts;
}

std::vector<std::pair<std::string, double>> summary(const std::vector<Motif>& motifs) {
    std::vector<std::pair<std::string, double>> result;
    for (const Motif& m : motifs) result.emplace_back(std::string(m.pattern.begin(), m.pattern.end()), m.get_naed());
    return result;
}

// A check that counts its calls and throws Stop at call `stop_at` (never for 0).
InterruptCheck stopping_at(int stop_at, int& calls) {
    calls = 0;
    return [stop_at, &calls] {
        if (++calls == stop_at) throw Stop{};
    };
}

TEST(MinerInterrupt, AThrowingCheckStopsMineAndTheNextMineStartsAfresh) {
    const SeriesSet input = walks(30, 4000);
    Miner miner(0.5, 2, 4, 3, 0, 0.9, 0);
    // The calls are counted, and how the work falls between threads makes them vary.
    miner.set_threads(1);
    SeriesSet ts = input;
    const auto expected = summary(miner.mine(ts));
    ASSERT_FALSE(expected.empty());

    int calls = 0;
    miner.set_interrupt_check(stopping_at(0, calls));
    ts = input;
    EXPECT_EQ(summary(miner.mine(ts)), expected);
    const int total = calls;
    ASSERT_GT(total, 20);

    for (int stop_at = 1; stop_at <= total; stop_at += 1 + total / 15) {
        miner.set_interrupt_check(stopping_at(stop_at, calls));
        ts = input;
        EXPECT_THROW(miner.mine(ts), Stop) << "call " << stop_at << " of " << total;
        EXPECT_TRUE(miner.get_motifs().empty());
        miner.set_interrupt_check(stop_at % 2 == 0 ? InterruptCheck{} : [] {});
        ts = input;
        EXPECT_EQ(summary(miner.mine(ts)), expected) << "after a stop at call " << stop_at;
    }

    // On two threads the check is called fewer times, but a stop at any early call still stops
    // every thread, and leaves nothing behind.
    miner.set_threads(2);
    for (int stop_at = 1; stop_at <= 5; ++stop_at) {
        miner.set_interrupt_check(stopping_at(stop_at, calls));
        ts = input;
        EXPECT_THROW(miner.mine(ts), Stop) << "two threads, call " << stop_at;
        EXPECT_TRUE(miner.get_motifs().empty());
        miner.set_interrupt_check(InterruptCheck{});
        ts = input;
        EXPECT_EQ(summary(miner.mine(ts)), expected) << "two threads, after a stop at call " << stop_at;
    }
}

TEST(MinerInterrupt, EveryStagePolls) {
    int calls = 0;
    // Mining: one random sequence is frequent in every substring up to max_len.
    std::vector<Symbols> one(1);
    unsigned state = 7;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1103515245u + 12345u;
        one[0].push_back(static_cast<char>('a' + (state >> 16) % 4));
    }
    // Calls are counted: on one thread, where they do not depend on how work falls.
    const auto polls = [&](int min_len) {
        PatternMiner miner(1.0, min_len, 30, 0.5);
        miner.set_threads(1);
        miner.set_interrupt_check(stopping_at(0, calls));
        miner.mine(one);
        return calls;
    };
    // Nothing reaches min_len 31: only mining polls.
    const int mining = polls(31);
    EXPECT_GT(mining, 10);
    // The redundancy filter: the same mining, and then more polls.
    EXPECT_GT(polls(3), mining + 10);
    PatternMiner stopped(1.0, 3, 30, 0.5);
    stopped.set_threads(1);
    stopped.set_interrupt_check(stopping_at(mining + 5, calls));
    EXPECT_THROW(stopped.mine(one), Stop);
    EXPECT_TRUE(stopped.get_frequent().empty());

    // Mapping one motif with many occurrences.
    Motif motif(Pattern(4, 'a'));
    const SeriesSet ts{Series(400000, 1.0)};
    for (int position = 0; position < 100000; ++position) motif.record_index(0, position);
    InterruptPoll poll(stopping_at(0, calls));
    motif.map(ts, 4, poll);
    EXPECT_GT(calls, 10);

    // Ranking many motifs.
    Motif small(Pattern(1, 'a'));
    small.record_index(0, 0);
    small.map(ts, 1);
    std::vector<Motif> motifs(100000, small);
    InterruptPoll ranking(stopping_at(3, calls));
    EXPECT_THROW(rank_motifs(motifs, ranking), Stop);
}

}  // namespace
}  // namespace qel
