#include "motif.h"

#include <gtest/gtest.h>

namespace qel {
namespace {

TEST(MotifRecord, FreshMotifHoldsOnlyItsPattern) {
    const Motif motif(Pattern{'a', 'b'});
    EXPECT_EQ(motif.pattern, (Pattern{'a', 'b'}));
    EXPECT_EQ(motif.get_length(), 0);
    EXPECT_EQ(motif.get_naed(), 0.0);
    EXPECT_EQ(motif.get_support(), 0);
    EXPECT_TRUE(motif.get_representative().empty());
    EXPECT_TRUE(motif.get_indexes().empty());
    EXPECT_TRUE(motif.get_average_occurrences().empty());
    EXPECT_TRUE(motif.get_best_matches().empty());
}

TEST(MotifRecord, RecordsPositionsPerSeriesInOrderWithRepeats) {
    Motif motif(Pattern{'a'});
    motif.record_index(0, 5);
    motif.record_index(0, 5);
    motif.record_index(3, 2);
    EXPECT_EQ(motif.get_indexes(), (OccurrenceIndex{{0, {5, 5}}, {3, {2}}}));
    EXPECT_EQ(motif.get_support(), 2);
}

TEST(MotifRecord, CopiesAreIndependent) {
    Motif original(Pattern{'a'});
    original.record_index(1, 4);
    Motif copy = original;
    copy.record_index(1, 7);
    EXPECT_EQ(original.get_indexes(), (OccurrenceIndex{{1, {4}}}));
    EXPECT_EQ(copy.get_indexes(), (OccurrenceIndex{{1, {4, 7}}}));
}

}  // namespace
}  // namespace qel
