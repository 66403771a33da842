#include "miner.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "memory.h"
#include "parallel.h"
#include "patterns.h"

namespace qel {

Miner::Miner(double minsup, int seglen, int alphabet, int min_len, int max_len, double max_overlap,
             int k)
    : minsup(minsup),
      seglen(seglen),
      alphabet(alphabet),
      min_len(min_len),
      max_len(max_len),
      max_overlap(max_overlap),
      k(k) {}

void Miner::set_interrupt_check(InterruptCheck check) { interrupt_check = std::move(check); }

void Miner::set_threads(int threads) { this->threads = threads; }

namespace {

// Whether every value is finite, two at a time: v - v is 0 for a finite v and NaN for an
// infinity or a NaN. A search that stops at the first bad value is several times slower on
// the series that hold none, which is nearly every series.
bool all_finite(const Series& series) {
    const double* values = series.data();
    std::size_t k = 0;
    bool finite = true;
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    using Mask = long long __attribute__((vector_size(16)));
    Mask bad = {0, 0};
    for (; k + 2 <= series.size(); k += 2) {
        Pair value;
        std::memcpy(&value, values + k, sizeof value);
        const Pair zero = value - value;
        bad |= zero != zero;
    }
    finite = (bad[0] | bad[1]) == 0;
#endif
    for (; k < series.size(); ++k) {
        finite = finite && std::isfinite(values[k]);
    }
    return finite;
}

// A NaN or an infinity makes its whole series NaN once z-normalised: it would read as a run
// of 'a' and its occurrences would measure as distance 0, a perfect motif made of nothing.
// Missing points are the caller's to drop or fill.
void check_finite(const SeriesSet& ts) {
    for (std::size_t s = 0; s < ts.size(); ++s) {
        if (all_finite(ts[s])) {
            continue;
        }
        const auto bad = std::find_if(ts[s].begin(), ts[s].end(), [](double v) { return !std::isfinite(v); });
        if (bad != ts[s].end()) {
            const std::string value = std::isnan(*bad) ? "NaN" : (*bad > 0 ? "inf" : "-inf");
            throw std::invalid_argument("series " + std::to_string(s) + " holds " + value + " at point " +
                                        std::to_string(bad - ts[s].begin()) +
                                        ": mining needs finite values (drop or fill missing points first)");
        }
    }
}

// Mapping keeps every motif's measures and holds one motif's working space per thread: refused
// before the first allocation when that exceeds the memory there is even on one thread; on
// fewer threads than `threads` where only that fits. Motifs after the first that mapping
// refuses for its seglen are not counted: mapping stops there, as it always did. Returns the
// threads mapping may use.
int check_mapping_memory(const std::vector<Motif>& motifs, int seglen, int threads) {
    double kept = 0.0;
    double temporary = 0.0;
    std::size_t counted = 0;
    for (const Motif& motif : motifs) {
        const Motif::MappingBytes bytes = motif.mapping_bytes(seglen);
        if (bytes.kept == 0.0 && bytes.temporary == 0.0) {
            break;
        }
        kept += bytes.kept;
        temporary = std::max(temporary, bytes.temporary);
        ++counted;
    }
    check_memory("mapping " + std::to_string(counted) + (counted == 1 ? " motif" : " motifs") + " (seglen " +
                     std::to_string(seglen) + ")",
                 kept + temporary);
    return threads_within(kept, temporary, threads, memory_bytes());
}

}  // namespace

std::vector<Motif> Miner::mine(SeriesSet& ts) {
    // Earlier motifs name series positions of an earlier series set: mapping them onto this
    // one could read past its series. The new ones replace them once ranked.
    motifs.clear();
    // Parameters before data: an unusable alphabet is named even when a value is not finite.
    sax({}, 1, alphabet);  // checks the alphabet alone
    check_finite(ts);
    InterruptPoll poll(interrupt_check);
    // Kept for the whole call, so that no step waits for threads to start.
    Workers workers(threads > 0 ? threads : available_threads());
    std::vector<Motif> found;
    {
        std::vector<Symbols> sequences = discretise(ts, workers, poll);
        PatternMiner patterns(minsup, min_len, max_len, max_overlap);
        patterns.set_interrupt_check(interrupt_check);
        patterns.mine(sequences, workers);
        found = patterns.get_motifs();
    }
    const int mapping = check_mapping_memory(found, seglen, mapping_threads(found, seglen, workers.size()));
    map_motifs(found, ts, seglen, mapping, workers, poll);
    rank_motifs(found, poll);
    motifs = std::move(found);
    return select_best();
}

std::vector<Symbols> Miner::discretise(SeriesSet& ts, Workers& workers, InterruptPoll& poll) const {
    // Unusable parameters fail as they would after normalising every series first.
    bool usable = alphabet >= 0 && alphabet <= max_alphabet && seglen > 0;
    for (const Series& series : ts) {
        usable = usable && series.size() / static_cast<std::size_t>(seglen) <
                               static_cast<std::size_t>(INT_MAX);
    }
    if (!usable) {
        for (Series& series : ts) {
            poll.tick(static_cast<std::int64_t>(series.size()) + 1);
            znorm_series(series);
        }
        return sax(ts, seglen, alphabet);
    }
    return znorm_rows(ts, seglen, alphabet, poll, workers);
}

std::vector<Motif> Miner::get_motifs() const { return motifs; }

std::vector<Motif> Miner::select_best() const {
    if (k == 0) {
        return motifs;
    }
    const int count = static_cast<int>(motifs.size());
    const int selected = k < count ? k : count;
    if (selected < 0) {
        throw std::length_error("cannot create std::vector larger than max_size()");
    }
    return std::vector<Motif>(motifs.begin(), motifs.begin() + selected);
}

void rank_motifs(std::vector<Motif>& motifs) {
    InterruptPoll poll{InterruptCheck{}};
    rank_motifs(motifs, poll);
}

void rank_motifs(std::vector<Motif>& motifs, InterruptPoll& poll) {
    // A stable sort with NaN after every number is a strict order even when naed is NaN (a
    // motif without occurrences), and makes the ranking the same on every run and machine.
    // Sorting (naed, place) pairs keeps the motifs still until they move once, to their rank.
    std::vector<std::pair<double, std::size_t>> keys;
    keys.reserve(motifs.size());
    for (std::size_t i = 0; i < motifs.size(); ++i) {
        keys.emplace_back(motifs[i].get_naed(), i);
    }
    std::stable_sort(keys.begin(), keys.end(), [&poll](const auto& a, const auto& b) {
        poll.tick();
        return a.first < b.first || (!std::isnan(a.first) && std::isnan(b.first));
    });
    std::vector<Motif> ranked;
    ranked.reserve(motifs.size());
    for (const auto& key : keys) {
        ranked.push_back(std::move(motifs[key.second]));
    }
    motifs = std::move(ranked);
}

}  // namespace qel
