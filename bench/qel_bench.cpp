// Speed of each pipeline stage on generated series sets, and of the whole pipeline on the
// real data sets when their files are given: qel_bench [--data=DIR] [benchmark flags].
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "interrupt.h"
#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "sax.h"

namespace {

// Noisy series sharing a planted bump, as motif mining meets them.
qel::SeriesSet generated(int series, int points, unsigned seed = 42) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 0.5);
    qel::SeriesSet ts(static_cast<std::size_t>(series));
    for (qel::Series& s : ts) {
        for (int i = 0; i < points; ++i) s.push_back(noise(random));
        const int start = static_cast<int>(random() % static_cast<unsigned>(points - 32));
        for (int i = 0; i < 32; ++i) s[static_cast<std::size_t>(start + i)] += 3.0 * std::exp(-(i - 16) * (i - 16) / 40.0);
    }
    return ts;
}

void BM_Sax(benchmark::State& state) {
    qel::SeriesSet ts = generated(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    qel::znorm(ts);
    for (auto _ : state) benchmark::DoNotOptimize(qel::sax(ts, 4, 5));
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}
BENCHMARK(BM_Sax)->Args({100, 1000})->Args({10, 100000});

void BM_PatternMiner(benchmark::State& state) {
    qel::SeriesSet ts = generated(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    qel::znorm(ts);
    const auto sequences = qel::sax(ts, 4, 5);
    for (auto _ : state) {
        qel::PatternMiner miner(0.3, 3, 0, 0.9);
        miner.mine(sequences);
        benchmark::DoNotOptimize(miner.get_frequent().size());
    }
}
BENCHMARK(BM_PatternMiner)->Args({50, 150})->Args({200, 500})->Unit(benchmark::kMillisecond);

void BM_Miner(benchmark::State& state) {
    const qel::SeriesSet input = generated(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        qel::SeriesSet ts = input;
        qel::Miner miner(0.3, 4, 5, 3, 0, 0.9, 10);
        benchmark::DoNotOptimize(miner.mine(ts));
    }
}
BENCHMARK(BM_Miner)->Args({50, 150})->Args({200, 500})->Unit(benchmark::kMillisecond);

// The stages of Miner::mine one at a time, on the shapes of two of the table's workloads:
// typical (100 x 5,000, seglen 10, alphabet 5, minsup 0.3) and CBF (900 x 128, seglen 4,
// alphabet 6, minsup 0.2). A change to one stage shows here even when the machine's noise in a
// whole call hides it.
struct Shape {
    int series;
    int points;
    int seglen;
    int alphabet;
    double minsup;
};
const Shape shapes[] = {{100, 5000, 10, 5, 0.3}, {900, 128, 4, 6, 0.2}};

// z-normalising a copy of the set and turning it into letters.
void BM_StageDiscretise(benchmark::State& state) {
    const Shape shape = shapes[state.range(0)];
    const qel::SeriesSet input = generated(shape.series, shape.points);
    for (auto _ : state) {
        state.PauseTiming();
        qel::SeriesSet ts = input;
        state.ResumeTiming();
        qel::InterruptPoll poll{qel::InterruptCheck{}};
        benchmark::DoNotOptimize(qel::znorm_rows(ts, shape.seglen, shape.alphabet, poll));
    }
}
BENCHMARK(BM_StageDiscretise)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Mining the letters: the levels, the filter, and the motifs with their occurrences; the second
// argument is the threads mining may use.
void BM_StagePatterns(benchmark::State& state) {
    const Shape shape = shapes[state.range(0)];
    qel::SeriesSet ts = generated(shape.series, shape.points);
    qel::znorm(ts);
    const auto sequences = qel::sax(ts, shape.seglen, shape.alphabet);
    for (auto _ : state) {
        qel::PatternMiner miner(shape.minsup, 3, 0, 0.9);
        miner.set_threads(static_cast<int>(state.range(1)));
        miner.mine(sequences);
        benchmark::DoNotOptimize(miner.get_motifs());
    }
}
BENCHMARK(BM_StagePatterns)->ArgsProduct({{0, 1}, {1, 2}})->Unit(benchmark::kMillisecond);

// Measuring every motif on the numbers: averages, representative, distances, best matches;
// the second argument is the threads mapping may use.
void BM_StageMapping(benchmark::State& state) {
    const Shape shape = shapes[state.range(0)];
    qel::SeriesSet ts = generated(shape.series, shape.points);
    qel::znorm(ts);
    qel::PatternMiner miner(shape.minsup, 3, 0, 0.9);
    miner.mine(qel::sax(ts, shape.seglen, shape.alphabet));
    std::vector<qel::Motif> motifs = miner.get_motifs();
    const int threads = static_cast<int>(state.range(1));
    for (auto _ : state) {
        qel::InterruptPoll poll{qel::InterruptCheck{}};
        qel::map_motifs(motifs, ts, shape.seglen, threads, poll);
        benchmark::DoNotOptimize(motifs.data());
    }
    state.counters["motifs"] = static_cast<double>(motifs.size());
}
BENCHMARK(BM_StageMapping)->ArgsProduct({{0, 1}, {1, 2}})->Unit(benchmark::kMillisecond);

// One long sequence: every substring is frequent, and the redundancy filter walks them all.
void BM_OneLongSequence(benchmark::State& state) {
    qel::SeriesSet ts = generated(1, static_cast<int>(state.range(0)));
    qel::znorm(ts);
    const auto sequences = qel::sax(ts, 8, 5);
    for (auto _ : state) {
        qel::PatternMiner miner(1.0, 3, 0, 0.9);
        miner.mine(sequences);
        benchmark::DoNotOptimize(miner.get_frequent().size());
    }
}
BENCHMARK(BM_OneLongSequence)->Arg(4000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Many short series, each pattern in one or two of them: thousands of patterns to filter.
void BM_ManyTinySeries(benchmark::State& state) {
    const int series = static_cast<int>(state.range(0));
    const qel::SeriesSet input = generated(series, 40);
    for (auto _ : state) {
        qel::SeriesSet ts = input;
        qel::Miner miner(1.0 / series, 5, 10, 3, 0, 0.9, 0);
        benchmark::DoNotOptimize(miner.mine(ts));
    }
}
BENCHMARK(BM_ManyTinySeries)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);

// One series per line, values separated by commas.
qel::SeriesSet read_series(const std::string& path) {
    qel::SeriesSet ts;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        qel::Series series;
        std::stringstream values(line);
        for (std::string value; std::getline(values, value, ',');) series.push_back(std::stod(value));
        ts.push_back(std::move(series));
    }
    return ts;
}

struct DataRun {
    const char* file;
    double minsup;
    int seglen;
    int alphabet;
};

// The real data sets: many short series (UCR) and one long recording (taxi), where every
// substring of the one sequence is frequent and the redundancy filter does most of the work.
const DataRun data_runs[] = {
    {"Gun_Point_TRAIN.series.csv", 0.3, 4, 5},
    {"CBF_TEST.series.csv", 0.3, 4, 5},
    {"ECG200_TRAIN.series.csv", 0.3, 4, 5},
    {"nyc-taxi-anomalies.series.csv", 1.0, 24, 5},
};

void register_data_runs(const std::string& dir) {
    for (const DataRun& run : data_runs) {
        const qel::SeriesSet input = read_series(dir + "/" + run.file);
        if (input.empty()) continue;
        benchmark::RegisterBenchmark(
            (std::string("BM_MinerOnData/") + run.file).c_str(),
            [input, run](benchmark::State& state) {
                std::size_t motifs = 0;
                for (auto _ : state) {
                    qel::SeriesSet ts = input;
                    qel::Miner miner(run.minsup, run.seglen, run.alphabet, 3, 0, 0.9, 10);
                    miner.mine(ts);
                    motifs = miner.get_motifs().size();
                }
                state.counters["series"] = static_cast<double>(input.size());
                state.counters["motifs"] = static_cast<double>(motifs);
            })
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--data=", 7) == 0) register_data_runs(argv[i] + 7);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
