// Level-wise mining of frequent patterns (see patterns.h).
#include "patterns.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "parallel.h"
#include "redundancy.h"

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

bool letter_before(unsigned char a, unsigned char b) {
    return static_cast<signed char>(a) < static_cast<signed char>(b);
}

// Every sequence end to end, each followed by a separator, so that the letter after any
// occurrence can be read without a bounds check. A position is an index into it.
struct Text {
    // One position: its letter (0 to 255, or `separator`) and the sequence it lies in, which
    // is that of every position of an occurrence and of the letter after it.
    struct Cell {
        std::uint32_t series;
        std::uint16_t letter;
    };
    std::vector<Cell> cells;
    // Per sequence, the position of its first letter.
    std::vector<std::size_t> start_of;

    static constexpr std::uint16_t separator = 256;

    explicit Text(const std::vector<Symbols>& sequences) {
        // Positions are stored in 32 bits, and series and segment indexes in an int.
        constexpr std::size_t most_in_int = std::numeric_limits<int>::max();
        std::size_t total = sequences.size();
        bool fits = sequences.size() <= most_in_int;
        for (const Symbols& sequence : sequences) {
            total += sequence.size();
            fits = fits && sequence.size() <= most_in_int;
        }
        if (!fits || total > std::numeric_limits<std::uint32_t>::max()) {
            throw std::length_error("too many letters to mine: " + std::to_string(total));
        }
        // Written by index into cells made at once: a push_back per letter costs several
        // times the writes themselves here.
        cells.resize(total);
        start_of.reserve(sequences.size());
        Cell* cell = cells.data();
        for (std::size_t s = 0; s < sequences.size(); ++s) {
            const std::uint32_t series = static_cast<std::uint32_t>(s);
            start_of.push_back(static_cast<std::size_t>(cell - cells.data()));
            for (char letter : sequences[s]) {
                *cell++ = Cell{series, static_cast<unsigned char>(letter)};
            }
            *cell++ = Cell{series, separator};
        }
    }

    Occurrence occurrence_at(std::uint32_t position) const {
        const std::uint32_t series = cells[position].series;
        return Occurrence{static_cast<int>(series), static_cast<int>(position - start_of[series])};
    }

    // The `length` letters from `position` on.
    Pattern pattern_at(std::uint32_t position, std::size_t length) const {
        Pattern pattern(length);
        for (std::size_t i = 0; i < length; ++i) {
            pattern[i] = static_cast<char>(cells[position + i].letter);
        }
        return pattern;
    }
};

// The occurrences of one level, as start positions end to end. Allocated uninitialised for
// as many as the level can hold, since every slot is written before it is read, and trimmed
// once the level is done.
class PositionBuffer {
public:
    void allocate(std::size_t capacity) {
        slots.reset(new std::uint32_t[capacity]);
        count = capacity;
    }

    // Keeps the first `size` positions, in a smaller allocation if that saves much.
    void trim(std::size_t size) {
        if (size < count / 2) {
            std::unique_ptr<std::uint32_t[]> smaller(new std::uint32_t[size]);
            std::copy(slots.get(), slots.get() + size, smaller.get());
            slots = std::move(smaller);
        }
        count = size;
    }

    std::uint32_t* data() { return slots.get(); }
    const std::uint32_t* data() const { return slots.get(); }
    std::size_t size() const { return count; }
    std::uint32_t operator[](std::size_t i) const { return slots[i]; }

private:
    std::unique_ptr<std::uint32_t[]> slots;
    std::size_t count = 0;
};

// The occurrences of one level as start positions, pattern after pattern: written into one
// buffer while the level is built; once the levels of subtrees mined apart are joined, their
// buffers one after another, never copied. A pattern's positions all lie in one buffer.
class Positions {
public:
    // One buffer of `capacity` positions, to be written through data().
    void allocate(std::size_t capacity) {
        parts.clear();
        parts.emplace_back();
        parts[0].allocate(capacity);
        firsts.assign(1, 0);
    }
    // Keeps the first `size` positions of the one buffer.
    void trim(std::size_t size) { parts[0].trim(size); }
    // The one buffer of a level being built.
    std::uint32_t* data() { return parts[0].data(); }

    // Takes the buffers of `other` after these.
    void append(Positions&& other) {
        for (std::size_t p = 0; p < other.parts.size(); ++p) {
            firsts.push_back(size());
            parts.push_back(std::move(other.parts[p]));
        }
        other = Positions{};
    }

    std::size_t size() const { return parts.empty() ? 0 : firsts.back() + parts.back().size(); }
    // Positions i, i + 1, ... up to the end of the buffer that holds position i.
    const std::uint32_t* from(std::size_t i) const {
        if (parts.empty()) {
            return nullptr;
        }
        // The last buffer that starts at or before i: one before it that starts there too is empty.
        const std::size_t p = static_cast<std::size_t>(std::upper_bound(firsts.begin() + 1, firsts.end(), i) -
                                                       firsts.begin()) - 1;
        return parts[p].data() + (i - firsts[p]);
    }

private:
    std::vector<PositionBuffer> parts;
    // Where each buffer's first position stands among the level's.
    std::vector<std::size_t> firsts;
};

// The occurrences of a pattern that repeats one letter, c^m, inside one run of r >= m c's:
// the r - m + 1 positions from the run's start on. A run of c holds c^m for every m up to r,
// so the stretches of all the levels hold as many entries as the runs hold letters, where
// their positions would number about r^2 / 2 per run.
struct Stretch {
    // Position of the first occurrence: the run's first letter.
    std::uint32_t first;
    // Occurrences, at first, first + 1, and so on.
    std::uint32_t count;
};

// The frequent patterns of one length, ascending. Together the levels form the prefix tree
// of the frequent patterns: every prefix of a frequent pattern is frequent, so pattern j of
// one level extends a pattern of the level below by one letter, and the extensions of one
// pattern stand together in the level above, in the order of their last letter. A pattern's
// letters are those at its first occurrence. A pattern that repeats one letter holds its
// occurrences as stretches, every other one as positions.
struct Level {
    // The positioned patterns' occurrences, pattern after pattern, each ascending.
    Positions occurrences;
    // Pattern j's positions end at ends[j] and begin where pattern j - 1's end.
    std::vector<std::size_t> ends;
    // The one-letter patterns' occurrences, pattern after pattern, each ascending.
    std::vector<Stretch> stretches;
    // Pattern j's stretches end at stretch_ends[j] and begin where pattern j - 1's end.
    std::vector<std::size_t> stretch_ends;
    // Pattern j's last letter.
    std::vector<char> last_letters;
    // Whether pattern j repeats one letter (its occurrences are stretches, not positions).
    std::vector<bool> one_letter;
    // Pattern j's extensions end at child_ends[j] in the level above; empty for the top level.
    std::vector<std::size_t> child_ends;

    std::size_t size() const { return ends.size(); }
    std::size_t begin_of(std::size_t j) const { return j == 0 ? 0 : ends[j - 1]; }
    std::size_t stretch_begin(std::size_t j) const { return j == 0 ? 0 : stretch_ends[j - 1]; }
    // Where pattern j first occurs.
    std::uint32_t first_position(std::size_t j) const {
        return one_letter[j] ? stretches[stretch_begin(j)].first : *occurrences.from(begin_of(j));
    }
    // How many occurrences pattern j has.
    std::size_t count_of(std::size_t j) const {
        if (!one_letter[j]) {
            return ends[j] - begin_of(j);
        }
        std::size_t count = 0;
        for (std::size_t i = stretch_begin(j); i < stretch_ends[j]; ++i) {
            count += stretches[i].count;
        }
        return count;
    }
    // Calls visit(position) for each occurrence of pattern j, ascending.
    template <typename Visit>
    void for_each_position(std::size_t j, Visit visit) const {
        if (!one_letter[j]) {
            const std::uint32_t* positions = occurrences.from(begin_of(j));
            for (std::size_t i = 0; i < ends[j] - begin_of(j); ++i) {
                visit(positions[i]);
            }
            return;
        }
        for (std::size_t i = stretch_begin(j); i < stretch_ends[j]; ++i) {
            for (std::uint32_t k = 0; k < stretches[i].count; ++k) {
                visit(stretches[i].first + k);
            }
        }
    }
    // Pattern j's extensions in the level above: [first, second).
    std::pair<std::size_t, std::size_t> children(std::size_t j) const {
        if (child_ends.empty()) {
            return {0, 0};
        }
        return {j == 0 ? 0 : child_ends[j - 1], child_ends[j]};
    }
};

// The letters counted while one pattern is split, in the order first counted. Each is counted
// once, so there are at most all the letters and the separator: held in place, with no growing
// vector whose call in the tally loop would push the loop's counters out of registers.
class SeenLetters {
public:
    void clear() { count = 0; }
    void add(std::uint16_t letter) { letters[count++] = letter; }
    std::size_t size() const { return count; }
    std::uint16_t* begin() { return letters.data(); }
    std::uint16_t* end() { return letters.data() + count; }

private:
    std::array<std::uint16_t, Text::separator + 1> letters{};
    std::size_t count = 0;
};

// Splits occurrences by the letter that follows them, counting per letter the occurrences and
// the series they lie in, and keeps the letters whose support is enough as new patterns.
class Extender {
public:
    Extender(const Text& text, double needed, InterruptPoll& poll)
        : text(text), needed(needed), poll(poll) {
        last_series_of.fill(-1);
    }

    // Starts a level whose positions will number at most `most`. One slot more takes the
    // writes of move_to_kept_letters past the last position.
    void start(Level& next, std::size_t most) {
        next.occurrences.allocate(most + 1);
        filled = 0;
        stretches_placed = 0;
    }

    // Ends the level started last: its positions and stretches take no more room than they
    // need.
    void finish(Level& next) {
        next.occurrences.trim(filled);
        next.stretches.resize(stretches_placed);
    }

    // The first level, in letter order: every frequent letter, its occurrences as the runs of
    // it in the text.
    void first_level(Level& next) {
        start(next, 0);
        seen.clear();
        const std::vector<Stretch> runs = runs_of_letters();
        const Text::Cell* cells = text.cells.data();
        for (const Stretch& run : runs) {
            const Text::Cell cell = cells[run.first];
            add_run(cell.letter, run.count, last_series_of[cell.letter] != cell.series ? 1 : 0, cell.series);
            ++stretch_tallies[cell.letter];
        }
        sort_seen();
        // Each kept letter's runs go to its pattern, at the place counted for them.
        std::array<std::size_t, Text::separator + 1> place{};
        std::array<bool, Text::separator + 1> kept{};
        for (std::uint16_t letter : seen) {
            kept[letter] = frequent(supports[letter]);
            if (kept[letter]) {
                place[letter] = stretches_placed;
                stretches_placed += stretch_tallies[letter];
                add_pattern(next, letter, true);
            }
            clear_tally(letter);
        }
        next.stretches.resize(stretches_placed);
        for (const Stretch& run : runs) {
            const std::uint16_t letter = cells[run.first].letter;
            if (kept[letter]) {
                next.stretches[place[letter]++] = run;
            }
        }
    }

    // Appends to `next` the frequent one-letter extensions of a pattern of `length` letters,
    // not one letter repeated, whose occurrences are [first, last), in letter order.
    void extend(const std::uint32_t* first, const std::uint32_t* last, std::size_t length, Level& next) {
        const std::size_t count = static_cast<std::size_t>(last - first);
        if (count == 0) {
            return;
        }
        tally_following(first, count, length);
        sort_seen();
        // Each kept letter's occurrences go to its new pattern.
        if (place_kept_letters(next, std::nullopt)) {
            move_to_kept_letters(first, count);
        }
    }

    // extend for `repeated` repeated `length` times, whose occurrences are the stretches
    // [first, last). Within a stretch the letter follows every occurrence but the last, and
    // after the last comes the letter that ends the run (not `repeated`): only that one needs
    // reading. The repetition one letter longer has each stretch less its last occurrence;
    // the other extensions, the stretches' last occurrences that their letter follows.
    void extend_stretches(const Stretch* first, const Stretch* last, std::size_t length, std::uint16_t repeated,
                          Level& next) {
        poll.tick(last - first);
        seen.clear();
        const Text::Cell* cells = text.cells.data();
        std::int64_t repeated_last = -1;
        std::uint32_t repeated_count = 0;
        std::uint32_t repeated_support = 0;
        std::uint32_t continuing = 0;
        for (const Stretch* stretch = first; stretch != last; ++stretch) {
            const Text::Cell after = cells[stretch->first + stretch->count - 1 + length];
            add_run(after.letter, 1, last_series_of[after.letter] != after.series ? 1 : 0, after.series);
            // A stretch of one occurrence ends the repetition; as often as not, so no branch.
            const std::uint32_t continues = stretch->count > 1 ? 1 : 0;
            repeated_count += stretch->count - 1;
            repeated_support += continues & (repeated_last != after.series ? 1 : 0);
            repeated_last = continues != 0 ? after.series : repeated_last;
            continuing += continues;
        }
        if (repeated_count > 0) {
            add_run(repeated, repeated_count, repeated_support, repeated_last);
            stretch_tallies[repeated] = continuing;
        }
        sort_seen();
        const std::uint32_t repeats = repeated_count > 0 && frequent(supports[repeated]) ? 1 : 0;
        // Where the repetition's stretches go if it is kept (see extend_level).
        Stretch* to = next.stretches.data() + stretches_placed;
        if (!place_kept_letters(next, repeated)) {
            return;
        }
        for (const Stretch* stretch = first; stretch != last; ++stretch) {
            const std::uint32_t last_occurrence = stretch->first + stretch->count - 1;
            *to = Stretch{stretch->first, stretch->count - 1};
            to += repeats & (stretch->count > 1 ? 1 : 0);
            place(cells[last_occurrence + length].letter, last_occurrence);
        }
    }

private:
    // Reads the letter after each of the `count` occurrences from `first` on (the separator
    // where its sequence ends) into `following`, and counts each letter's occurrences and
    // series. Occurrences come in ascending order, so their series do too: a series counts
    // for a letter when it is not the last one counted for it. Which letter follows is
    // nothing a processor can predict, so the counts are kept without a branch on it.
    void tally_following(const std::uint32_t* first, std::size_t count, std::size_t length) {
        if (following.size() < count) {
            following.resize(count);
        }
        seen.clear();
        const Text::Cell* cells = text.cells.data() + length;
        std::uint16_t* letter_after = following.data();
        const auto count_one = [&](std::size_t i) {
            const Text::Cell cell = cells[first[i]];
            letter_after[i] = cell.letter;
            add_run(cell.letter, 1, last_series_of[cell.letter] != cell.series ? 1 : 0, cell.series);
        };
        const std::size_t last_ahead = count > prefetch_distance ? count - prefetch_distance : 0;
        for (std::size_t block = 0; block < count; block += poll_block) {
            const std::size_t block_end = std::min(count, block + poll_block);
            poll.tick(static_cast<std::int64_t>(block_end - block));
            // Occurrences lie anywhere in the text: ask for the cell a few occurrences ahead.
            const std::size_t ahead_end = std::max(block, std::min(block_end, last_ahead));
            std::size_t i = block;
            for (; i < ahead_end; ++i) {
#if defined(__GNUC__)
                __builtin_prefetch(cells + first[i + prefetch_distance]);
#endif
                count_one(i);
            }
            for (; i < block_end; ++i) {
                count_one(i);
            }
        }
    }

    // Copies each of the `count` occurrences from `first` on to the place of the letter after
    // it (see place_kept_letters).
    void move_to_kept_letters(const std::uint32_t* first, std::size_t count) {
        poll.tick(static_cast<std::int64_t>(count));
        const std::uint16_t* letter_after = following.data();
        if (positioned_kept == 1) {
            // Most patterns keep one extension: every occurrence is written to the slot after
            // the last kept one, whose index moves on only for the kept letter, so nothing
            // waits on memory. The slot after the pattern's last occurrence takes the writes
            // that follow it: that of the next pattern, not yet written, or the spare one.
            std::uint32_t* to = destination[only_kept];
            std::size_t kept = 0;
            for (std::size_t i = 0; i < count; ++i) {
                to[kept] = first[i];
                kept += letter_after[i] == only_kept ? 1 : 0;
            }
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            place(letter_after[i], first[i]);
        }
    }

    // Writes `position` where the next position of `letter`'s new pattern goes. The position
    // of a letter not kept goes to `discarded`, and stays there until the next overwrites
    // it: a branch on the letter would be mispredicted as often as the letter changes.
    void place(std::uint16_t letter, std::uint32_t position) {
        std::uint32_t* to = destination[letter];
        *to = position;
        destination[letter] = to + advance[letter];
    }

    // Gives each frequent letter of `seen` (sorted) its new pattern and the place its
    // positions go (`discarded` for a letter not kept, and for `repeated`, whose extension
    // repeats one letter and takes stretch_tallies[repeated] stretches), and clears every seen
    // letter's counts; whether any letter was kept.
    bool place_kept_letters(Level& next, std::optional<std::uint16_t> repeated) {
        bool any = false;
        positioned_kept = 0;
        for (std::uint16_t letter : seen) {
            destination[letter] = &discarded;
            advance[letter] = 0;
            if (letter != Text::separator && frequent(supports[letter])) {
                any = true;
                if (letter == repeated) {
                    stretches_placed += stretch_tallies[letter];
                } else {
                    destination[letter] = next.occurrences.data() + filled;
                    advance[letter] = 1;
                    filled += tallies[letter];
                    ++positioned_kept;
                    only_kept = letter;
                }
                add_pattern(next, letter, letter == repeated);
            }
            clear_tally(letter);
        }
        return any;
    }

    // Back to no occurrence of `letter` counted.
    void clear_tally(std::uint16_t letter) {
        tallies[letter] = 0;
        supports[letter] = 0;
        stretch_tallies[letter] = 0;
        last_series_of[letter] = -1;
    }

    // Every run of equal letters in the text, in text order, as where it starts and how long
    // it is; a run of separators is none. Where a run ends is as unpredictable as the letters,
    // so the runs are found without a branch on the letters: each position is written to the
    // slot after the last run found, which moves on only where a run starts.
    std::vector<Stretch> runs_of_letters() {
        const Text::Cell* cells = text.cells.data();
        const std::size_t size = text.cells.size();
        poll.tick(static_cast<std::int64_t>(size));
        std::vector<std::uint32_t> starts(size + 1);
        std::size_t found = 0;
        std::uint32_t before = Text::separator + 1;  // no letter: position 0 starts a run
        for (std::size_t position = 0; position < size; ++position) {
            starts[found] = static_cast<std::uint32_t>(position);
            found += cells[position].letter != before ? 1 : 0;
            before = cells[position].letter;
        }
        starts[found] = static_cast<std::uint32_t>(size);
        std::vector<Stretch> runs(found);
        std::size_t kept = 0;
        for (std::size_t r = 0; r < found; ++r) {
            runs[kept] = Stretch{starts[r], starts[r + 1] - starts[r]};
            kept += cells[starts[r]].letter != Text::separator ? 1 : 0;
        }
        runs.resize(kept);
        return runs;
    }

    void sort_seen() {
        if (seen.size() > 1) {
            std::sort(seen.begin(), seen.end(), [](std::uint16_t a, std::uint16_t b) {
                if (a == Text::separator || b == Text::separator) {
                    return b == Text::separator && a != Text::separator;
                }
                return letter_before(static_cast<unsigned char>(a), static_cast<unsigned char>(b));
            });
        }
    }

    // The kept extension by `letter` of the pattern being split, whose positions end at
    // `filled` and stretches at `stretches_placed`.
    void add_pattern(Level& next, std::uint16_t letter, bool one_letter) {
        next.ends.push_back(filled);
        next.stretch_ends.push_back(stretches_placed);
        next.last_letters.push_back(static_cast<char>(letter));
        next.one_letter.push_back(one_letter);
    }

    static constexpr std::size_t prefetch_distance = 16;
    // Occurrences between two polls, so that one pattern with very many is no exception.
    static constexpr std::size_t poll_block = 4096;

    // Adds a run of `count` occurrences followed by `letter` to the letter's tally.
    void add_run(std::uint16_t letter, std::uint32_t count, std::uint32_t support,
                 std::int64_t last) {
        if (tallies[letter] == 0) {
            seen.add(letter);
        }
        tallies[letter] += count;
        supports[letter] += support;
        last_series_of[letter] = last;
    }

    // Frequent unless fewer series than needed hold it (the comparison as a double).
    bool frequent(std::size_t support) const { return !(needed > static_cast<double>(support)); }

    const Text& text;
    double needed;
    InterruptPoll& poll;
    // Positions written to the level being built.
    std::size_t filled = 0;
    // Stretches given out in the level being built.
    std::size_t stretches_placed = 0;
    // Per letter (and the separator), while a pattern is split: its occurrences, the series
    // they lie in, its stretches (for a repetition), the last series, where its next position
    // is to be written and how far that moves per position (see place).
    std::array<std::uint32_t, Text::separator + 1> tallies{};
    std::array<std::uint32_t, Text::separator + 1> supports{};
    std::array<std::uint32_t, Text::separator + 1> stretch_tallies{};
    std::array<std::int64_t, Text::separator + 1> last_series_of{};
    std::array<std::uint32_t*, Text::separator + 1> destination{};
    std::array<std::uint32_t, Text::separator + 1> advance{};
    // Where the positions of letters not kept go.
    std::uint32_t discarded = 0;
    // The letters of the pattern being split that keep positions, and the last of them.
    std::size_t positioned_kept = 0;
    std::uint16_t only_kept = 0;
    SeenLetters seen;
    // Per occurrence of the pattern being split, the letter after it.
    std::vector<std::uint16_t> following;
};

// The next level: the frequent one-letter extensions of every pattern of `level`, whose
// patterns have `length` letters. Records where each pattern's extensions end.
Level extend_level(Level& level, std::size_t length, Extender& extender, InterruptPoll& poll) {
    Level next;
    // Each position of the next level continues a position of this one or the last
    // occurrence of one of its stretches, and each stretch continues at most one stretch.
    extender.start(next, level.occurrences.size() + level.stretches.size());
    // Room for every stretch to continue, so that extend_stretches writes them without a
    // branch on whether one does; finish gives back what is left over.
    next.stretches.resize(level.stretches.size());
    // Levels hold about as many patterns as the one below while most patterns are frequent.
    next.ends.reserve(level.size());
    next.stretch_ends.reserve(level.size());
    next.last_letters.reserve(level.size());
    next.one_letter.reserve(level.size());
    level.child_ends.reserve(level.size());
    for (std::size_t j = 0; j < level.size(); ++j) {
        poll.tick(1);
        if (level.one_letter[j]) {
            const Stretch* stretches = level.stretches.data();
            extender.extend_stretches(stretches + level.stretch_begin(j), stretches + level.stretch_ends[j], length,
                                      static_cast<unsigned char>(level.last_letters[j]), next);
        } else {
            const std::uint32_t* positions = level.occurrences.from(level.begin_of(j));
            extender.extend(positions, positions + (level.ends[j] - level.begin_of(j)), length, next);
        }
        level.child_ends.push_back(next.size());
    }
    extender.finish(next);
    return next;
}

// Every pattern of `first_length` letters or more, as (length, index), in pattern order: the
// prefix tree depth first, each pattern before its extensions, extensions by letter.
std::vector<std::pair<std::size_t, std::size_t>> every_pattern(const std::vector<Level>& levels,
                                                               std::size_t first_length,
                                                               InterruptPoll& poll) {
    std::vector<std::pair<std::size_t, std::size_t>> all;
    // Per depth on the path: the next pattern to visit and the end of its siblings.
    std::vector<std::pair<std::size_t, std::size_t>> path;
    if (!levels.empty()) {
        path.emplace_back(0, levels[0].size());
    }
    while (!path.empty()) {
        auto& [next, end] = path.back();
        if (next == end) {
            path.pop_back();
            continue;
        }
        const std::size_t length = path.size();
        const std::size_t j = next++;
        poll.tick();
        if (length >= first_length) {
            all.emplace_back(length, j);
        }
        const auto [first, last] = levels[length - 1].children(j);
        if (first != last) {
            path.emplace_back(first, last);
        }
    }
    return all;
}

// A pattern of the levels: (its length, its index in the level of that length).
using PatternAt = std::pair<std::size_t, std::size_t>;

// Level by level: each frequent pattern's extensions by one letter, found in one pass over its
// occurrences. Every frequent pattern's prefix is frequent, so nothing is missed. Grows `levels`
// (whose first level is there) up to `max_len` letters (0: no limit); `cur_len` ends as one
// more than the last length tried.
void grow_levels(std::vector<Level>& levels, Extender& extender, int max_len, int& cur_len, InterruptPoll& poll) {
    while (max_len == 0 || max_len >= cur_len) {
        Level next = extend_level(levels.back(), static_cast<std::size_t>(cur_len) - 1, extender, poll);
        ++cur_len;
        if (next.size() == 0) {
            break;
        }
        levels.push_back(std::move(next));
    }
}

// Pattern j of `level` alone, as the first level of its own subtree.
Level subtree_root(const Level& level, std::size_t j) {
    Level root;
    const std::size_t positions = level.ends[j] - level.begin_of(j);
    root.occurrences.allocate(positions);
    std::copy_n(level.occurrences.from(level.begin_of(j)), positions, root.occurrences.data());
    root.ends.push_back(positions);
    root.stretches.assign(level.stretches.begin() + static_cast<std::ptrdiff_t>(level.stretch_begin(j)),
                          level.stretches.begin() + static_cast<std::ptrdiff_t>(level.stretch_ends[j]));
    root.stretch_ends.push_back(root.stretches.size());
    root.last_letters.push_back(level.last_letters[j]);
    root.one_letter.push_back(level.one_letter[j]);
    return root;
}

// The levels of consecutive subtrees put back together in their order: level m of the whole is
// level m of each subtree, one after another, which is the order mining them together gives.
std::vector<Level> join_subtrees(std::vector<std::vector<Level>>& subtrees) {
    std::size_t depth = 0;
    for (const std::vector<Level>& subtree : subtrees) {
        depth = std::max(depth, subtree.size());
    }
    std::vector<Level> levels(depth);
    for (std::size_t m = 0; m < depth; ++m) {
        Level& whole = levels[m];
        std::size_t stretches = 0;
        std::size_t patterns = 0;
        for (const std::vector<Level>& subtree : subtrees) {
            stretches += m < subtree.size() ? subtree[m].stretches.size() : 0;
            patterns += m < subtree.size() ? subtree[m].size() : 0;
        }
        whole.stretches.reserve(stretches);
        whole.ends.reserve(patterns);
        whole.stretch_ends.reserve(patterns);
        whole.last_letters.reserve(patterns);
        whole.one_letter.reserve(patterns);
        whole.child_ends.reserve(patterns);
        std::size_t child_base = 0;
        for (std::vector<Level>& subtree : subtrees) {
            if (m >= subtree.size()) {
                continue;
            }
            Level& part = subtree[m];
            const std::size_t position_base = whole.occurrences.size();
            const std::size_t stretch_base = whole.stretches.size();
            whole.stretches.insert(whole.stretches.end(), part.stretches.begin(), part.stretches.end());
            for (std::size_t j = 0; j < part.size(); ++j) {
                whole.ends.push_back(part.ends[j] + position_base);
                whole.stretch_ends.push_back(part.stretch_ends[j] + stretch_base);
                whole.last_letters.push_back(part.last_letters[j]);
                whole.one_letter.push_back(part.one_letter[j]);
                // A level never extended (the last that max_len allows) has no children.
                whole.child_ends.push_back(part.child_ends.empty() ? child_base : part.child_ends[j] + child_base);
            }
            whole.occurrences.append(std::move(part.occurrences));
            child_base += m + 1 < subtree.size() ? subtree[m + 1].size() : 0;
        }
    }
    return levels;
}

// Below this many letters, mining in one thread is faster than starting another.
constexpr std::size_t parallel_letters = 1 << 14;

// Every frequent pattern in levels (see grow_levels), the patterns that begin with each
// frequent letter mined as a subtree of their own on `workers`' threads.
std::vector<Level> mine_levels(const Text& text, double needed, int max_len, int& cur_len, Workers& workers,
                               InterruptPoll& poll) {
    Extender extender(text, needed, poll);
    std::vector<Level> levels(1);
    extender.first_level(levels[0]);
    const Level& roots = levels[0];
    if (roots.size() == 0) {
        return {};
    }
    if (workers.size() <= 1 || roots.size() == 1 || text.cells.size() < parallel_letters) {
        grow_levels(levels, extender, max_len, cur_len, poll);
        return levels;
    }
    std::vector<std::vector<Level>> subtrees(roots.size());
    std::vector<int> subtree_len(roots.size(), cur_len);
    workers.run(roots.size(), workers.size(), poll, [&](std::size_t j, InterruptPoll& local) {
        Extender own(text, needed, local);
        subtrees[j].push_back(subtree_root(roots, j));
        grow_levels(subtrees[j], own, max_len, subtree_len[j], local);
    });
    cur_len = *std::max_element(subtree_len.begin(), subtree_len.end());
    return join_subtrees(subtrees);
}

// The levels as the redundancy filter walks them.
PatternTree tree_of(const std::vector<Level>& levels, const Text& text) {
    PatternTree tree;
    tree.levels.resize(levels.size());
    for (std::size_t m = 0; m < levels.size(); ++m) {
        const Level& level = levels[m];
        tree.levels[m].reserve(level.size());
        for (std::size_t j = 0; j < level.size(); ++j) {
            tree.levels[m].push_back(
                PatternTree::Node{static_cast<std::uint32_t>(level.children(j).second), level.last_letters[j]});
        }
    }
    tree.letters_of = [&levels, &text](std::size_t length, std::size_t j) {
        const Level& level = levels[length - 1];
        return text.pattern_at(level.first_position(j), length);
    };
    return tree;
}

// Sorts patterns of the levels into pattern order, by their letters in the text.
void sort_patterns(std::vector<PatternAt>& patterns, const std::vector<Level>& levels, const Text& text,
                   InterruptPoll& poll) {
    const auto first_position = [&levels](PatternAt pattern) {
        return levels[pattern.first - 1].first_position(pattern.second);
    };
    std::sort(patterns.begin(), patterns.end(), [&](const PatternAt& a, const PatternAt& b) {
        poll.tick();
        const Text::Cell* x = text.cells.data() + first_position(a);
        const Text::Cell* y = text.cells.data() + first_position(b);
        for (std::size_t i = 0; i < std::min(a.first, b.first); ++i) {
            if (x[i].letter != y[i].letter) {
                return letter_before(static_cast<unsigned char>(x[i].letter),
                                     static_cast<unsigned char>(y[i].letter));
            }
        }
        return a.first < b.first;
    });
}

// The patterns that the length and redundancy filter keeps, in pattern order. Patterns shorter
// than min_len are dropped; the rest pass the redundancy filter, unless max_overlap (at least
// 1, or NaN) can drop nothing since a ratio never exceeds 1.
std::vector<PatternAt> filter_levels(const std::vector<Level>& levels, const Text& text, int min_len,
                                     double max_overlap, InterruptPoll& poll) {
    const std::size_t first_length = static_cast<std::size_t>(std::max(min_len, 1));
    if (levels.size() < first_length) {
        return {};
    }
    if (!(max_overlap < 1.0)) {
        return every_pattern(levels, first_length, poll);
    }
    std::vector<PatternAt> kept = filter_redundant(tree_of(levels, text), min_len, max_overlap, poll);
    sort_patterns(kept, levels, text, poll);
    return kept;
}

// The letters and occurrences of the `kept` patterns, in their order.
MinedPatterns collect(const std::vector<PatternAt>& kept, const std::vector<Level>& levels, const Text& text,
                      InterruptPoll& poll) {
    MinedPatterns found;
    for (const auto& pattern : kept) {
        const Level& level = levels[pattern.first - 1];
        const std::uint32_t first = level.first_position(pattern.second);
        poll.tick(static_cast<std::int64_t>(pattern.first + level.count_of(pattern.second)));
        for (std::size_t i = 0; i < pattern.first; ++i) {
            found.letters.push_back(static_cast<char>(text.cells[first + i].letter));
        }
        found.letter_ends.push_back(found.letters.size());
        level.for_each_position(pattern.second, [&](std::uint32_t position) {
            found.occurrences.push_back(text.occurrence_at(position));
        });
        found.occurrence_ends.push_back(found.occurrences.size());
    }
    return found;
}

}  // namespace

bool PatternOrder::operator()(const Pattern& a, const Pattern& b) const {
    return letters_before(a.data(), a.size(), b.data(), b.size());
}

PatternMiner::PatternMiner(double minsup, int min_len, int max_len, double max_overlap)
    : minsup(minsup), min_len(min_len), max_len(max_len), max_overlap(max_overlap) {}

void PatternMiner::set_interrupt_check(InterruptCheck check) { interrupt_check = std::move(check); }

void PatternMiner::set_threads(int threads) { this->threads = threads; }

int PatternMiner::get_cur_len() const { return cur_len; }

void PatternMiner::mine(const std::vector<Symbols>& sequences) {
    Workers workers(threads > 0 ? threads : available_threads());
    mine(sequences, workers);
}

void PatternMiner::mine(const std::vector<Symbols>& sequences, Workers& workers) {
    // A non-positive support makes every substring of every sequence frequent, which is
    // hardly meant without a length limit: refused.
    if (max_len == 0 && !(minsup > 0.0)) {
        throw std::invalid_argument("minsup must be positive when max_len is 0");
    }
    // Each call describes its own sequences; an interrupted call leaves no result.
    survivors = MinedPatterns{};
    cur_len = 2;

    InterruptPoll poll(interrupt_check);
    const Text text(sequences);
    // A pattern that occurs nowhere is never frequent, whatever minsup says (NaN counts as 0).
    const double needed = std::max(1.0, static_cast<double>(sequences.size()) * minsup);
    const std::vector<Level> levels = mine_levels(text, needed, max_len, cur_len, workers, poll);
    const std::vector<PatternAt> kept = filter_levels(levels, text, min_len, max_overlap, poll);
    survivors = collect(kept, levels, text, poll);
}

std::vector<Motif> PatternMiner::get_motifs() const {
    const MinedPatterns& all = survivors;
    std::vector<Motif> motifs;
    motifs.reserve(all.letter_ends.size());
    for (std::size_t i = 0; i < all.letter_ends.size(); ++i) {
        const auto letter = [&all](std::size_t k) {
            return all.letters.begin() + static_cast<std::ptrdiff_t>(k);
        };
        const auto occurrence = [&all](std::size_t k) {
            return all.occurrences.begin() + static_cast<std::ptrdiff_t>(k);
        };
        const std::size_t letter_begin = i == 0 ? 0 : all.letter_ends[i - 1];
        const std::size_t occurrence_begin = i == 0 ? 0 : all.occurrence_ends[i - 1];
        motifs.emplace_back(Pattern(letter(letter_begin), letter(all.letter_ends[i])),
                            Occurrences(occurrence(occurrence_begin),
                                        occurrence(all.occurrence_ends[i])));
    }
    return motifs;
}

FrequentPatterns PatternMiner::get_frequent() const {
    FrequentPatterns frequent;
    for (Motif& motif : get_motifs()) {
        Pattern key = motif.pattern;
        frequent.emplace_hint(frequent.end(), std::move(key), std::move(motif));
    }
    return frequent;
}

}  // namespace qel
