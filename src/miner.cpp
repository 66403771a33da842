#include "miner.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

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

std::vector<Motif> Miner::mine(SeriesSet& ts) {
    // Earlier motifs name series positions of an earlier series set: mapping them onto this
    // one could read past its series.
    motifs.clear();
    InterruptPoll poll(interrupt_check);
    for (Series& series : ts) {
        poll.tick(static_cast<std::int64_t>(series.size()) + 1);
        znorm_series(series);
    }
    mine_patterns(sax(ts, seglen, alphabet));
    map_patterns(ts);
    sort_patterns();
    return select_best();
}

void Miner::set_interrupt_check(InterruptCheck check) { interrupt_check = std::move(check); }

void Miner::mine_patterns(const std::vector<Symbols>& sequences) {
    PatternMiner miner(minsup, min_len, max_len, max_overlap);
    miner.set_interrupt_check(interrupt_check);
    miner.mine(sequences);
    for (auto& entry : miner.get_frequent()) {
        motifs.push_back(std::move(entry.second));
    }
}

void Miner::map_patterns(const SeriesSet& ts) {
    InterruptPoll poll(interrupt_check);
    for (Motif& motif : motifs) {
        poll.tick();
        motif.map(ts, seglen, poll);
    }
}

void Miner::sort_patterns() { rank_motifs(motifs); }

void rank_motifs(std::vector<Motif>& motifs) {
    // A stable sort with NaN after every number is a strict order even when naed is NaN (a
    // motif without occurrences), and makes the ranking the same on every run and machine.
    std::stable_sort(motifs.begin(), motifs.end(), [](const Motif& a, const Motif& b) {
        const double x = a.get_naed();
        const double y = b.get_naed();
        return x < y || (!std::isnan(x) && std::isnan(y));
    });
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

}  // namespace qel
