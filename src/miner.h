// The driver: z-normalise, discretise, mine patterns, map them onto the numbers, rank, select.
#pragma once

#include <vector>

#include "motif.h"
#include "sax.h"

namespace qel {

// Turns a series set into motifs ranked by ascending naed (best first).
class Miner {
public:
    Miner(double minsup, int seglen, int alphabet, int min_len, int max_len, double max_overlap,
          int k);

    // Z-normalises `ts` in place, mines it from an empty `motifs`, and returns the best k
    // motifs (all of them for k 0). A negative k fails once `motifs` is ranked; a NaN or
    // infinite value fails at once (std::invalid_argument naming its series and point).
    std::vector<Motif> mine(SeriesSet& ts);

    // Called throughout `mine` (and handed to the pattern miner); when it throws, mining
    // stops, the exception propagates, and the next `mine` starts afresh.
    void set_interrupt_check(InterruptCheck check);

    // The threads `mine` may use: 0 (the default) for available_threads() (parallel.h). The
    // motifs are the same whatever the number.
    void set_threads(int threads);

    // Every motif of the last `mine`, in rank order.
    std::vector<Motif> get_motifs() const;

private:
    // Z-normalises `ts` in place and discretises it.
    std::vector<Symbols> discretise(SeriesSet& ts, Workers& workers, InterruptPoll& poll) const;
    std::vector<Motif> select_best() const;

    // Minimum support as a fraction of the number of series.
    double minsup;
    // Points per letter of the discretisation.
    int seglen;
    // Letters of the discretisation (0 to 10).
    int alphabet;
    // Shortest pattern, in letters, that is kept.
    int min_len;
    // Longest pattern, in letters, that is mined; 0 sets no limit.
    int max_len;
    // Bound of the pattern redundancy filter.
    double max_overlap;
    // How many motifs `mine` returns; 0 means all.
    int k;
    // See set_interrupt_check.
    InterruptCheck interrupt_check;
    // See set_threads.
    int threads = 0;
    // The motifs of the last `mine`, in rank order; empty after an interrupted one.
    std::vector<Motif> motifs;
};

// Orders motifs by ascending naed, NaN last, equal naed in their present order.
void rank_motifs(std::vector<Motif>& motifs);
// The same, polling `poll` while it compares.
void rank_motifs(std::vector<Motif>& motifs, InterruptPoll& poll);

}  // namespace qel
