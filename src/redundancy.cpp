// The redundancy filter: the tree walk PatternMiner runs, and the plain pairwise loop (see
// redundancy.h).
#include "redundancy.h"

#include <algorithm>
#include <string>
#include <utility>

#include "patterns.h"

namespace qel {

namespace {

// What the redundancy filter has decided about a pattern.
enum class Fate : unsigned char {
    shorter,  // below min_len: neither kept nor compared
    waiting,  // not yet reached in the longest-first order
    kept,
    removed,
};

// Drops every pattern whose LCS with a kept pattern at least as long covers more than
// max_overlap of its letters. Patterns are taken longest first, equal lengths ascending; each
// one not dropped by then is kept and drops the later ones close to it.
//
// Instead of comparing a kept pattern p with every other pattern, the filter walks the prefix
// tree depth first, carrying the bit-parallel LCS column of p against the path, and leaves a
// subtree when no pattern in it can be close enough to p: a pattern r needs
// lcs(p, r) >= need[|r|], and each letter of the path that p cannot match lowers the best
// reachable lcs by one. Subtrees without a waiting pattern are marked and never entered
// again. The patterns dropped are exactly those of the pairwise loop.
class RedundancyFilter {
public:
    RedundancyFilter(PatternTree tree, int min_len, double max_overlap, InterruptPoll& poll)
        : top(tree.levels.size()),
          first_length(static_cast<std::size_t>(std::max(min_len, 1))),
          letters_of(std::move(tree.letters_of)),
          poll(poll) {
        set_bounds(max_overlap);
        set_nodes(tree);
        set_deepest();
    }

    // Decides every pattern's fate; returns the kept ones as (length, index), longest first.
    std::vector<std::pair<std::size_t, std::size_t>> run() {
        std::vector<std::pair<std::size_t, std::size_t>> kept;
        for (std::size_t length = top; length >= first_length; --length) {
            for (std::size_t j = 0; j < nodes[length].size(); ++j) {
                if (nodes[length][j].fate == Fate::waiting) {
                    nodes[length][j].fate = Fate::kept;
                    kept.emplace_back(length, j);
                    remove_close_to(length, j);
                }
            }
        }
        return kept;
    }

private:
    // need and reach for every length up to the top.
    void set_bounds(double max_overlap) {
        need.assign(top + 1, 0);
        reach.assign(top + 1, -1);
        long long most_slack = -1;
        for (std::size_t m = 1; m <= top; ++m) {
            // The least lcs l whose ratio l / m, computed as the pairwise loop does, exceeds
            // max_overlap (l = m always does, max_overlap being below 1).
            const double letters = static_cast<double>(m);
            std::size_t l =
                static_cast<std::size_t>(std::clamp(max_overlap * letters, 0.0, letters));
            while (l > 0 && static_cast<double>(l - 1) / letters > max_overlap) {
                --l;
            }
            while (l < m && !(static_cast<double>(l) / letters > max_overlap)) {
                ++l;
            }
            need[m] = l;
            if (m >= first_length) {
                most_slack = std::max(most_slack, static_cast<long long>(m - l));
                reach[m] = most_slack;
            }
        }
    }

    // The tree again, one compact node per pattern, siblings side by side; each level of
    // `tree` is freed once copied, so that the two are never whole at once.
    void set_nodes(PatternTree& tree) {
        nodes.resize(top + 1);
        const std::size_t roots = top == 0 ? 0 : tree.levels[0].size();
        nodes[0].push_back(Node{static_cast<std::uint32_t>(roots), 0, 0, Fate::shorter, false});
        for (std::size_t m = 1; m <= top; ++m) {
            std::vector<PatternTree::Node>& level = tree.levels[m - 1];
            nodes[m].resize(level.size());
            for (std::size_t j = 0; j < level.size(); ++j) {
                Node& node = nodes[m][j];
                node.child_end = level[j].child_end;
                node.deepest = static_cast<std::uint32_t>(m);
                node.letter = level[j].letter;
                node.fate = m >= first_length ? Fate::waiting : Fate::shorter;
                node.done = false;
            }
            std::vector<PatternTree::Node>().swap(level);
        }
    }

    // Each node's deepest extension, from the level below the top down.
    void set_deepest() {
        for (std::size_t m = top - 1; m >= 1 && m < top; --m) {
            for (std::size_t j = 0; j < nodes[m].size(); ++j) {
                Node& node = nodes[m][j];
                for (std::size_t child = child_begin(m, j); child < node.child_end; ++child) {
                    node.deepest = std::max(node.deepest, nodes[m + 1][child].deepest);
                }
            }
        }
    }

    // One pattern of the tree as the walk needs it.
    struct Node {
        // Its extensions end at child_end in the next level (and begin where the previous
        // node's end).
        std::uint32_t child_end;
        // The length of its longest extension (its own if none).
        std::uint32_t deepest;
        char letter;
        Fate fate;
        // Nothing in its subtree is waiting any more.
        bool done;
    };

    // One node of the walk: the extensions of the pattern at this depth still to visit.
    struct Frame {
        std::size_t next;
        std::size_t end;
        std::size_t node;
        // Nothing in the subtree visited so far is waiting, and nothing was left unvisited.
        bool settled;
    };

    std::size_t child_begin(std::size_t m, std::size_t j) const {
        return j == 0 ? 0 : nodes[m][j - 1].child_end;
    }

    void remove_close_to(std::size_t length, std::size_t j) {
        const CommonSubsequence p(letters_of(length, j));
        const std::size_t words = p.column_words();
        // Per depth of the path: its LCS column (in `columns`, or shared with the depth above
        // when the letter is not in p and changes nothing) and its LCS with p.
        columns.resize((length + 1) * words);
        column_at.resize(length + 1);
        common_at.resize(length + 1);
        frames.resize(length + 1);
        p.start(columns.data());
        column_at[0] = columns.data();
        common_at[0] = 0;
        frames[0] = Frame{0, nodes[0][0].child_end, 0, true};
        std::size_t depth = 0;
        while (true) {
            Frame& frame = frames[depth];
            if (frame.next == frame.end) {
                if (depth == 0) {
                    return;
                }
                if (frame.settled) {
                    nodes[depth][frame.node].done = true;
                } else {
                    frames[depth - 1].settled = false;
                }
                --depth;
                continue;
            }
            const std::size_t m = depth + 1;
            const std::size_t index = frame.next++;
            Node& node = nodes[m][index];
            if (node.done) {
                continue;
            }
            poll.tick(static_cast<std::int64_t>(words));
            std::size_t common = common_at[depth];
            if (p.contains(node.letter)) {
                CommonSubsequence::Word* column = columns.data() + m * words;
                common += p.step(column_at[depth], column, node.letter) ? 1 : 0;
                column_at[m] = column;
            } else {
                column_at[m] = column_at[depth];
            }
            common_at[m] = common;
            if (node.fate == Fate::waiting && common >= need[m]) {
                node.fate = Fate::removed;
            }
            const bool waiting = node.fate == Fate::waiting;
            const std::size_t first = child_begin(m, index);
            // Past `length` every pattern is longer than p, so it was settled before p.
            if (m == length || first == node.child_end) {
                if (waiting) {
                    frame.settled = false;
                } else {
                    node.done = true;
                }
                continue;
            }
            // A longer r below can drop at most its slack in letters p does not match.
            const std::size_t below = std::min<std::size_t>(node.deepest, length);
            if (static_cast<long long>(m - common) > reach[below]) {
                frame.settled = false;
                continue;
            }
            frames[m] = Frame{first, node.child_end, index, !waiting};
            depth = m;
        }
    }

    // Letters in the longest pattern.
    std::size_t top;
    // Shortest length the filter compares.
    std::size_t first_length;
    // See PatternTree::letters_of.
    std::function<Pattern(std::size_t, std::size_t)> letters_of;
    InterruptPoll& poll;
    // need[m]: the least lcs with a kept pattern that drops a pattern of m letters.
    std::vector<std::size_t> need;
    // reach[m]: the most letters (m' - need[m']) an unmatched path may hold and still lead to a
    // droppable pattern of at most m letters; -1 where no length up to m is compared.
    std::vector<long long> reach;
    // Per length, its patterns; nodes[0] holds the root alone.
    std::vector<std::vector<Node>> nodes;
    // Scratch for the walk, per depth: an LCS column, the column in use, the LCS, a frame.
    std::vector<CommonSubsequence::Word> columns;
    std::vector<const CommonSubsequence::Word*> column_at;
    std::vector<std::size_t> common_at;
    std::vector<Frame> frames;
};

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> filter_redundant(PatternTree tree, int min_len, double max_overlap,
                                                                  InterruptPoll& poll) {
    return RedundancyFilter(std::move(tree), min_len, max_overlap, poll).run();
}

CommonSubsequence::CommonSubsequence(const char* a, std::size_t size)
    : words((size + word_bits - 1) / word_bits), bits(size), slot_of_letter{} {
    // One bit mask per distinct letter of a, bit i set where a[i] is that letter.
    for (std::size_t i = 0; i < size; ++i) {
        int& slot = slot_of_letter[static_cast<unsigned char>(a[i])];
        if (slot == 0) {
            masks.resize(masks.size() + words, 0);
            slot = static_cast<int>(masks.size() / words);
        }
        masks[(static_cast<std::size_t>(slot) - 1) * words + i / word_bits] |= Word{1} << (i % word_bits);
    }
    first_live = words == 0 ? 0 : live_bits(0);
}

CommonSubsequence::CommonSubsequence(const Pattern& a) : CommonSubsequence(a.data(), a.size()) {}

void CommonSubsequence::start(Word* column) const { std::fill(column, column + words, ~Word{0}); }

bool CommonSubsequence::step_words(const Word* column, Word* next, int slot) const {
    if (slot == 0) {
        std::copy(column, column + words, next);  // a letter a lacks changes nothing
        return false;
    }
    const Word* mask = &masks[(static_cast<std::size_t>(slot) - 1) * words];
    // Bit i of the column is 0 where the LCS of a[0..i] with the letters so far exceeds that
    // of a[0..i-1]. The LCS grows with this letter iff a has it past the highest 0 bit: there
    // the letter extends a longest common subsequence.
    bool grew = true;
    for (std::size_t w = words; w-- > 0;) {
        const Word zeros = ~column[w] & live_bits(w);
        if (zeros != 0) {
            grew = ((mask[w] >> highest_bit(zeros)) >> 1) != 0;
            for (std::size_t above = w + 1; above < words && !grew; ++above) {
                grew = mask[above] != 0;
            }
            break;
        }
    }
    // Each letter updates the whole column with one multi-word add:
    // V = (V + U) | (V & ~M), U = V & M, M its mask.
    Word carry = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const Word v = column[w];
        const Word matched = v & mask[w];
        const Word partial = v + matched;
        const Word sum = partial + carry;
        carry = (partial < matched || sum < partial) ? 1 : 0;
        next[w] = sum | (v & ~mask[w]);
    }
    return grew;
}

CommonSubsequence::Word CommonSubsequence::live_bits(std::size_t w) const {
    const std::size_t used = std::min(word_bits, bits - w * word_bits);
    return used == word_bits ? ~Word{0} : (Word{1} << used) - 1;
}

double CommonSubsequence::length(const Pattern& b) const {
    std::vector<Word> column(words);
    start(column.data());
    std::size_t common = 0;
    for (char letter : b) {
        common += step(column.data(), column.data(), letter) ? 1 : 0;
    }
    return static_cast<double>(common);
}

double lcs(const Pattern& a, const Pattern& b) { return CommonSubsequence(a).length(b); }

// The plain longest-first pairwise filter: the reference PatternMiner's tree walk is held to,
// and the filter of a frequent set gathered elsewhere (the distributed driver's).
std::vector<bool> redundant_patterns(const std::vector<Pattern>& longest_first, double max_overlap,
                                     InterruptPoll& poll) {
    // Listed patterns are distinct, so "already removed" is a flag per listed pattern rather
    // than a search through the removed ones.
    std::vector<bool> removed(longest_first.size(), false);
    // A ratio never exceeds 1, so such a bound (or NaN) removes nothing: skip the pairs.
    if (!(max_overlap < 1.0)) {
        return removed;
    }
    for (std::size_t i = 0; i < longest_first.size(); ++i) {
        if (removed[i]) {
            continue;
        }
        const Pattern& p = longest_first[i];
        const CommonSubsequence common_with_p(p);
        for (std::size_t j = 0; j < longest_first.size(); ++j) {
            const Pattern& r = longest_first[j];
            if (r.size() > p.size() || j == i || removed[j]) {
                continue;
            }
            poll.tick(static_cast<std::int64_t>(r.size()));
            const double ratio = common_with_p.length(r) / static_cast<double>(r.size());
            if (ratio > max_overlap) {
                removed[j] = true;
            }
        }
    }
    return removed;
}

std::vector<Pattern> keep_patterns(std::vector<Pattern> frequent, int min_len, double max_overlap,
                                   InterruptPoll& poll) {
    // PatternMiner lists its patterns level by level, longest first and each level ascending;
    // among equally long patterns that overlap, the first listed is the one kept, so the
    // order is part of the result.
    const PatternOrder ascending;
    std::sort(frequent.begin(), frequent.end(), [&ascending](const Pattern& a, const Pattern& b) {
        return a.size() != b.size() ? a.size() > b.size() : ascending(a, b);
    });
    frequent.erase(std::unique(frequent.begin(), frequent.end()), frequent.end());
    frequent.erase(std::remove_if(frequent.begin(), frequent.end(),
                                  [min_len](const Pattern& p) { return min_len > static_cast<int>(p.size()); }),
                   frequent.end());
    const std::vector<bool> removed = redundant_patterns(frequent, max_overlap, poll);
    std::vector<Pattern> kept;
    for (std::size_t i = 0; i < frequent.size(); ++i) {
        if (!removed[i]) {
            kept.push_back(std::move(frequent[i]));
        }
    }
    std::sort(kept.begin(), kept.end(), ascending);
    return kept;
}

}  // namespace qel
