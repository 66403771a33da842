// Fuzz input bytes to what the core's entries take: a series set, letter sequences, settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sax.h"

namespace qel::fuzz {

// The settings every entry is called with, as the bytes chose them; whether they are usable
// is the core's to decide.
struct Settings {
    double minsup = 1.0;
    int seglen = 1;
    int alphabet = 3;
    int min_len = 1;
    int max_len = 0;
    double max_overlap = 0.9;
    int k = 0;
};

// One decoded input.
struct FuzzInput {
    Settings settings;
    // Up to 12 series of up to 300 points, for sax and Miner.
    SeriesSet series;
    // Up to 12 sequences of up to 255 letters (any byte), for PatternMiner.
    std::vector<Symbols> sequences;
};

// Decodes any byte string; missing bytes read as zeros. fuzz/make_corpus.py writes the same
// layout.
FuzzInput decode(const std::uint8_t* data, std::size_t size);

}  // namespace qel::fuzz
