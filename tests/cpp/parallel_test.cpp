#include "parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "memory.h"
#include "miner.h"
#include "patterns.h"

namespace qel {
namespace {

struct Interrupted {};

TEST(RunTasks, RunsEveryIndexOnceWhateverTheThreads) {
    for (int threads : {1, 2, 3, 8}) {
        for (std::size_t count : {0, 1, 2, 5, 1000}) {
            std::vector<std::atomic<int>> runs(count);
            InterruptPoll poll{InterruptCheck{}};
            run_tasks(count, threads, poll, [&runs](std::size_t i, InterruptPoll&) { ++runs[i]; });
            for (std::size_t i = 0; i < count; ++i) {
                EXPECT_EQ(runs[i].load(), 1) << "index " << i << " of " << count << " on " << threads << " threads";
            }
        }
    }
}

// Task 3 fails late and task 7 at once: the error is task 3's, as in a loop, and every task
// before it ran to its end, task 1 still polling long after task 7 failed.
TEST(RunTasks, RethrowsTheErrorOfTheLowestFailingIndex) {
    std::vector<std::atomic<int>> finished(20);
    InterruptPoll poll{InterruptCheck{}};
    try {
        run_tasks(finished.size(), 4, poll, [&finished](std::size_t i, InterruptPoll& local) {
            if (i == 1) {
                for (int k = 0; k < 60; ++k) {
                    local.tick(1 << 20);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            if (i == 3) {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                throw std::runtime_error("task 3");
            }
            if (i == 7) {
                throw std::runtime_error("task 7");
            }
            ++finished[i];
        });
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "task 3");
    }
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(finished[i].load(), 1) << i;
    }
}

// The caller's check is called on the caller's thread only, and when it throws, tasks that
// never end on their own stop and the call ends with its exception: while the caller runs a
// task of its own, and while it waits for the others.
TEST(RunTasks, TheCallersCheckAloneStopsTheCall) {
    const std::thread::id caller = std::this_thread::get_id();
    for (bool caller_waits : {false, true}) {
        std::atomic<int> started{0};
        std::atomic<bool> other_thread{false};
        int checks = 0;
        InterruptPoll poll([&] {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            if (++checks == 3) {
                throw Interrupted{};
            }
        });
        const auto task = [&](std::size_t, InterruptPoll& local) {
            ++started;
            const bool on_caller = std::this_thread::get_id() == caller;
            other_thread = other_thread || !on_caller;
            if (caller_waits && on_caller) {
                // Holds the caller until the other task runs, then leaves it waiting.
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (started < 2 && std::chrono::steady_clock::now() < give_up) {
                    std::this_thread::yield();
                }
                return;
            }
            for (;;) {
                local.tick(1 << 20);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        bool stopped = false;
        try {
            run_tasks(2, 2, poll, task);
        } catch (const Interrupted&) {
            stopped = true;
        }
        if (caller_waits && !other_thread) {
            GTEST_SKIP() << "no second thread ran a task";
        }
        EXPECT_TRUE(stopped) << "caller waits: " << caller_waits;
        EXPECT_EQ(checks, 3);
    }
}

TEST(RunEnds, RunsHoldWholeItemsOfAboutTheGivenPoints) {
    const std::vector<std::size_t> sizes{3, 3, 3, 10, 1, 1, 2};
    const auto points_of = [&sizes](std::size_t i) { return sizes[i]; };
    EXPECT_EQ(run_ends(sizes.size(), points_of, 6), (std::vector<std::size_t>{2, 4, 7}));
    EXPECT_EQ(run_ends(sizes.size(), points_of, 1000), (std::vector<std::size_t>{7}));
    EXPECT_EQ(run_ends(sizes.size(), points_of, 1), (std::vector<std::size_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(run_ends(0, points_of, 6).empty());
}

// Mapping takes as many threads as their working space leaves room for, and one when even
// that does not fit (the refusal is the caller's).
TEST(ThreadsWithin, AsManyAsTheMemoryHolds) {
    EXPECT_EQ(threads_within(100.0, 10.0, 4, 1000.0), 4);
    EXPECT_EQ(threads_within(100.0, 10.0, 4, 125.0), 2);
    EXPECT_EQ(threads_within(100.0, 10.0, 4, 130.0), 3);
    EXPECT_EQ(threads_within(100.0, 10.0, 4, 50.0), 1);
    EXPECT_EQ(threads_within(100.0, 10.0, 0, 1000.0), 1);
}

// The threads of one call serve step after step: a step that failed or was stopped leaves
// nothing behind for the next.
TEST(Workers, StepsAfterAFailedOrStoppedStepRunAsAnyOther) {
    Workers workers(3);
    const auto every_index_once = [&workers](std::size_t count) {
        std::vector<std::atomic<int>> runs(count);
        InterruptPoll poll{InterruptCheck{}};
        workers.run(count, 3, poll, [&runs](std::size_t i, InterruptPoll&) { ++runs[i]; });
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(runs[i].load(), 1) << "index " << i << " of " << count;
        }
    };
    for (int round = 0; round < 20; ++round) {
        every_index_once(200);
        InterruptPoll quiet{InterruptCheck{}};
        EXPECT_THROW(workers.run(50, 3, quiet,
                                 [](std::size_t i, InterruptPoll&) {
                                     if (i == 4) throw std::runtime_error("task 4");
                                 }),
                     std::runtime_error);
        every_index_once(1);
        every_index_once(0);
        int checks = 0;
        InterruptPoll stopping([&checks] {
            if (++checks == 2) throw Interrupted{};
        });
        EXPECT_THROW(workers.run(2, 3, stopping,
                                 [](std::size_t, InterruptPoll& local) {
                                     for (;;) {
                                         local.tick(1 << 20);
                                         std::this_thread::yield();
                                     }
                                 }),
                     Interrupted);
        every_index_once(3);
    }
}

// A seeded set of noisy walks with a few shapes recurring in them, long enough that every
// stage shares its work between threads; some series constant (NaN once normalised), some
// empty, lengths uneven.
SeriesSet walks_with_shapes(int series, int points, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> step(0.0, 0.05);
    std::normal_distribution<double> noise(0.0, 0.3);
    SeriesSet ts;
    for (int s = 0; s < series; ++s) {
        const int length = points - static_cast<int>(rng() % 97);
        Series values(static_cast<std::size_t>(s % 23 == 5 ? 0 : length));
        double level = 0.0;
        for (double& value : values) {
            level += step(rng);
            value = level + noise(rng);
        }
        for (int at = static_cast<int>(rng() % 300); at + 48 < length; at += 300 + static_cast<int>(rng() % 400)) {
            const int shape = static_cast<int>(rng() % 3);
            for (int i = 0; i < 48 && !values.empty(); ++i) {
                const double x = static_cast<double>(i) / 48.0;
                values[static_cast<std::size_t>(at + i)] +=
                    shape == 0 ? 3.0 * std::exp(-(x - 0.5) * (x - 0.5) * 40.0)
                               : shape == 1 ? -3.0 * (1.0 - x) * (1.0 - x) : 2.0 * std::sin(6.283185307179586 * x);
            }
        }
        if (s % 17 == 3) {
            values.assign(values.size(), 1.5);
        }
        ts.push_back(values);
    }
    return ts;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The same values bit for bit, NaN included.
bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void expect_same_motifs(const std::vector<Motif>& one, const std::vector<Motif>& many, const std::string& what) {
    ASSERT_EQ(one.size(), many.size()) << what;
    for (std::size_t i = 0; i < one.size(); ++i) {
        const Motif& a = one[i];
        const Motif& b = many[i];
        ASSERT_EQ(a.pattern, b.pattern) << what << ", motif " << i;
        EXPECT_EQ(a.get_indexes(), b.get_indexes()) << what << ", motif " << i;
        EXPECT_EQ(a.get_best_matches(), b.get_best_matches()) << what << ", motif " << i;
        EXPECT_TRUE(same_bits(a.get_naed(), b.get_naed())) << what << ", motif " << i;
        const std::vector<double> ra = a.get_representative();
        const std::vector<double> rb = b.get_representative();
        ASSERT_EQ(ra.size(), rb.size());
        for (std::size_t k = 0; k < ra.size(); ++k) {
            EXPECT_TRUE(same_bits(ra[k], rb[k])) << what << ", motif " << i << ", point " << k;
        }
        const AverageOccurrences aa = a.get_average_occurrences();
        const AverageOccurrences ab = b.get_average_occurrences();
        ASSERT_EQ(aa.size(), ab.size());
        for (const auto& [series, average] : aa) {
            EXPECT_TRUE(same_values(average, ab.at(series))) << what << ", motif " << i << ", series " << series;
        }
    }
}

TEST(MinerThreads, MotifsAreThoseOfOneThreadBitForBit) {
    const SeriesSet input = walks_with_shapes(90, 2000, 7);
    for (int seglen : {4, 10}) {
        SeriesSet alone_ts = input;
        Miner alone(0.3, seglen, 5, 3, 0, 0.9, 0);
        alone.set_threads(1);
        alone.mine(alone_ts);
        const std::vector<Motif> expected = alone.get_motifs();
        ASSERT_GT(mapping_threads(expected, seglen, 2), 1) << "too few points to map on two threads";
        for (int threads : {2, 3}) {
            SeriesSet ts = input;
            Miner shared(0.3, seglen, 5, 3, 0, 0.9, 0);
            shared.set_threads(threads);
            shared.mine(ts);
            expect_same_motifs(expected, shared.get_motifs(),
                               "seglen " + std::to_string(seglen) + ", " + std::to_string(threads) + " threads");
            for (std::size_t i = 0; i < ts.size(); ++i) {
                EXPECT_TRUE(same_values(ts[i], alone_ts[i])) << "normalised series " << i << " differs";
            }
        }
    }
}

// Letters with long runs (repetitions are kept apart from other patterns), from an alphabet
// of `letters`, over enough sequences that the subtrees of the first letters are mined apart.
std::vector<Symbols> runny_letters(int sequences, int length, int letters, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<Symbols> result(static_cast<std::size_t>(sequences));
    for (Symbols& sequence : result) {
        char letter = 'a';
        for (int i = 0; i < length; ++i) {
            if (rng() % 4 != 0) {
                letter = static_cast<char>('a' + rng() % static_cast<unsigned>(letters));
            }
            sequence.push_back(letter);
        }
    }
    return result;
}

TEST(PatternMinerThreads, PatternsOccurrencesAndLevelsAreThoseOfOneThread) {
    const std::vector<Symbols> sequences = runny_letters(60, 500, 4, 3);
    for (int max_len : {0, 2, 6}) {
        for (double max_overlap : {0.9, 1.0}) {
            PatternMiner alone(0.2, 3, max_len, max_overlap);
            alone.set_threads(1);
            alone.mine(sequences);
            const FrequentPatterns expected = alone.get_frequent();
            for (int threads : {2, 4}) {
                PatternMiner shared(0.2, 3, max_len, max_overlap);
                shared.set_threads(threads);
                shared.mine(sequences);
                const std::string what = "max_len " + std::to_string(max_len) + ", max_overlap " +
                                         std::to_string(max_overlap) + ", " + std::to_string(threads) + " threads";
                EXPECT_EQ(shared.get_cur_len(), alone.get_cur_len()) << what;
                const FrequentPatterns found = shared.get_frequent();
                ASSERT_EQ(found.size(), expected.size()) << what;
                for (auto a = expected.begin(), b = found.begin(); a != expected.end(); ++a, ++b) {
                    ASSERT_EQ(a->first, b->first) << what;
                    EXPECT_EQ(a->second.get_indexes(), b->second.get_indexes()) << what;
                }
            }
        }
    }
}

}  // namespace
}  // namespace qel
