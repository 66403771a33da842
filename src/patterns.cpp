#include "patterns.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>
#include <utility>
#include <stdexcept>

namespace qel {

namespace {

// Whether the letters [a, a + a_size) sort before [b, b + b_size), letters read as signed.
bool letters_before(const char* a, std::size_t a_size, const char* b, std::size_t b_size) {
    // Mined patterns share long prefixes, so equal stretches are skipped a block at a time
    // (memcmp's own order is unsigned and only tells equal from unequal here).
    constexpr std::size_t block = 16;
    const std::size_t common = std::min(a_size, b_size);
    std::size_t i = 0;
    while (i + block <= common && std::memcmp(a + i, b + i, block) == 0) {
        i += block;
    }
    for (; i < common; ++i) {
        if (a[i] != b[i]) {
            return static_cast<signed char>(a[i]) < static_cast<signed char>(b[i]);
        }
    }
    return a_size < b_size;
}

}  // namespace

bool PatternOrder::operator()(const Pattern& a, const Pattern& b) const {
    return letters_before(a.data(), a.size(), b.data(), b.size());
}

PatternMiner::PatternMiner(double minsup, int min_len, int max_len, double max_overlap)
    : minsup(minsup), min_len(min_len), max_len(max_len), max_overlap(max_overlap) {}

FrequentPatterns PatternMiner::get_frequent() const { return frequent; }

int PatternMiner::get_cur_len() const { return cur_len; }

void PatternMiner::set_interrupt_check(InterruptCheck check) { interrupt_check = std::move(check); }

void PatternMiner::mine(const std::vector<Symbols>& sequences) {
    // A non-positive support makes every substring of every sequence frequent, which is
    // hardly meant without a length limit: refused.
    if (max_len == 0 && !(minsup > 0.0)) {
        throw std::invalid_argument("minsup must be positive when max_len is 0");
    }
    // Each call describes its own sequences: left-over levels would join candidates from
    // patterns that the previous filter erased.
    frequent.clear();
    frequent_by_len.assign(2, {});
    cur_len = 2;

    // A pattern that occurs nowhere is never frequent, whatever minsup says (NaN counts as 0).
    InterruptPoll poll(interrupt_check);
    abs_minsup = std::max(1.0, static_cast<double>(sequences.size()) * minsup);
    mine_1_patterns(sequences);
    if (!frequent_by_len[1].empty()) {
        while (max_len == 0 || max_len >= cur_len) {
            frequent_by_len.emplace_back();
            for (Pattern& candidate : get_candidates()) {
                const auto entry = frequent.try_emplace(candidate, candidate).first;
                find_candidate(entry, sequences, poll);
                prune_infrequent(entry);
            }
            ++cur_len;
            if (frequent_by_len[static_cast<std::size_t>(cur_len) - 1].empty()) {
                break;
            }
        }
    }
    remove_redundant(poll);
}

void PatternMiner::mine_1_patterns(const std::vector<Symbols>& sequences) {
    // A letter's motif is looked up by byte rather than by a one-letter key per position;
    // map nodes never move, so the pointers stay valid while letters are added.
    std::array<Motif*, 256> motif_of_letter{};
    for (std::size_t s = 0; s < sequences.size(); ++s) {
        const Symbols& sequence = sequences[s];
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            const char letter = sequence[i];
            Motif*& motif = motif_of_letter[static_cast<unsigned char>(letter)];
            if (motif == nullptr) {
                const Pattern single{letter};
                motif = &frequent.try_emplace(single, single).first->second;
            }
            motif->record_index(static_cast<int>(s), static_cast<int>(i));
        }
    }
    for (auto entry = frequent.begin(); entry != frequent.end();) {
        prune_infrequent(entry++);
    }
}

std::vector<Pattern> PatternMiner::get_candidates() const {
    const std::vector<Pattern>& level = frequent_by_len[static_cast<std::size_t>(cur_len) - 1];
    std::vector<Pattern> candidates;
    // q joins every p of the level whose first n - 2 letters are q's last n - 2. The level is
    // ascending, so those p stand together and a binary search finds them instead of a scan
    // of every pair; the joins come out ascending and each once.
    for (const Pattern& q : level) {
        const char* overlap = q.data() + 1;
        const std::size_t overlap_size = q.size() - 1;
        const auto p_before_overlap = [overlap, overlap_size](const Pattern& p, const Pattern&) {
            return letters_before(p.data(), p.size() - 1, overlap, overlap_size);
        };
        auto p = std::lower_bound(level.begin(), level.end(), q, p_before_overlap);
        for (; p != level.end() && p->size() == q.size() &&
               std::equal(overlap, overlap + overlap_size, p->begin());
             ++p) {
            Pattern candidate = q;
            candidate.push_back(p->back());
            candidates.push_back(std::move(candidate));
        }
    }
    return candidates;
}

void PatternMiner::find_candidate(FrequentPatterns::iterator entry,
                                  const std::vector<Symbols>& sequences, InterruptPoll& poll) {
    // Every occurrence of the candidate starts with an occurrence of its prefix, so only the
    // prefix's positions need reading; the prefix is a frequent pattern of the last level.
    const Pattern& candidate = entry->first;
    Motif& motif = entry->second;
    const Pattern prefix(candidate.begin(), candidate.end() - 1);
    const OccurrenceIndex& prefix_index = frequent.at(prefix).get_indexes();
    const std::size_t n = static_cast<std::size_t>(cur_len);
    for (const auto& [series, positions] : prefix_index) {
        const Symbols& sequence = sequences[static_cast<std::size_t>(series)];
        poll.tick(static_cast<std::int64_t>(positions.size()));
        for (int position : positions) {
            const std::size_t start = static_cast<std::size_t>(position);
            if (start + n > sequence.size()) {
                continue;
            }
            if (std::equal(candidate.begin(), candidate.end(), sequence.begin() + start)) {
                motif.record_index(series, position);
            }
        }
    }
}

void PatternMiner::prune_infrequent(FrequentPatterns::iterator entry) {
    const double support = static_cast<double>(entry->second.get_support());
    if (abs_minsup > support) {
        frequent.erase(entry);
    } else {
        frequent_by_len[entry->first.size()].push_back(entry->first);
    }
}

std::vector<Pattern> PatternMiner::remove_short() {
    // The longest length that holds patterns: the last level if the loop stopped at max_len,
    // the one before it if the loop stopped on an empty level (0 if no letter was frequent).
    int top = cur_len - 1;
    if (frequent_by_len[static_cast<std::size_t>(top)].empty()) {
        --top;
    }
    std::vector<Pattern> kept;
    for (int k = top; k >= 1; --k) {
        for (const Pattern& pattern : frequent_by_len[static_cast<std::size_t>(k)]) {
            if (min_len > k) {
                frequent.erase(pattern);
            } else {
                kept.push_back(pattern);
            }
        }
    }
    return kept;
}

void PatternMiner::remove_redundant(InterruptPoll& poll) {
    // Longest first: a pattern can be dropped only by one at least as long, and one that
    // acts is never dropped later, since equal lengths give equal ratios both ways.
    const std::vector<Pattern> kept = remove_short();
    const std::vector<bool> removed = redundant_patterns(kept, max_overlap, poll);
    for (std::size_t i = 0; i < kept.size(); ++i) if (removed[i]) frequent.erase(kept[i]);
}

CommonSubsequence::CommonSubsequence(const Pattern& a)
    : words((a.size() + word_bits - 1) / word_bits), slot_of_letter{} {
    // One bit mask per distinct letter of a, bit i set where a[i] is that letter.
    for (std::size_t i = 0; i < a.size(); ++i) {
        int& slot = slot_of_letter[static_cast<unsigned char>(a[i])];
        if (slot == 0) {
            masks.resize(masks.size() + words, 0);
            slot = static_cast<int>(masks.size() / words);
        }
        masks[(static_cast<std::size_t>(slot) - 1) * words + i / word_bits] |= Word{1} << (i % word_bits);
    }
    bits = a.size();
}

double CommonSubsequence::length(const Pattern& b) const {
    // Bit-parallel form of the LCS table (Allison and Dix; Hyyro): bit i of `column` is 0
    // where the table's row entry grows at i, so the zeros count the common subsequence.
    // Each letter of b updates a whole column with one multi-word add: V = (V + U) | (V & ~M)
    // with U = V & M, M the letter's mask over a.
    std::vector<Word> column(words, ~Word{0});
    for (char letter : b) {
        const int slot = slot_of_letter[static_cast<unsigned char>(letter)];
        if (slot == 0) {
            continue;  // a letter a lacks changes nothing
        }
        const Word* mask = &masks[(static_cast<std::size_t>(slot) - 1) * words];
        Word carry = 0;
        for (std::size_t w = 0; w < words; ++w) {
            const Word matched = column[w] & mask[w];
            const Word partial = column[w] + matched;
            const Word sum = partial + carry;
            carry = (partial < matched || sum < partial) ? 1 : 0;
            column[w] = sum | (column[w] & ~mask[w]);
        }
    }
    std::size_t zeros = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const std::size_t used = std::min(word_bits, bits - w * word_bits);
        const Word live = used == word_bits ? ~Word{0} : (Word{1} << used) - 1;
        zeros += used - std::bitset<word_bits>(column[w] & live).count();
    }
    return static_cast<double>(zeros);
}

double lcs(const Pattern& a, const Pattern& b) { return CommonSubsequence(a).length(b); }


// ---- The filter on its own, for a frequent set gathered elsewhere ---------------------------

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
