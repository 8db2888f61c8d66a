// The agent's block bitmap: the driver's bit order, and the runs a backup
// reads, cut to what one transfer fits.
#include <block_bitmap.h>

#include <gtest/gtest.h>

#include <stdexcept>

namespace velmora::agent {
namespace {

TEST(BlockBitmap, AllSetStopsAtTheLastBlock) {
    BlockBitmap map(13, true);
    EXPECT_EQ(map.count(), 13u);
    ASSERT_EQ(map.bytes().size(), 2u);
    EXPECT_EQ(map.bytes()[1], 0x1f) << "bits past block 12 stay clear";
}

TEST(BlockBitmap, RunsAreCutAtTheLimitAndAtGaps) {
    BlockBitmap map(40);
    for (uint32_t b : {0u, 1u, 2u, 3u, 4u, 9u, 31u, 32u, 39u})
        map.set(b);
    EXPECT_TRUE(map.test(9));
    EXPECT_EQ(map.bytes()[1], 0x02) << "block n is bit n % 8 of byte n / 8";
    const auto runs = map.runs(3);
    ASSERT_EQ(runs.size(), 5u);
    const BlockBitmap::Run expected[] = {{0, 3}, {3, 2}, {9, 1}, {31, 2}, {39, 1}};
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].start, expected[i].start) << "run " << i;
        EXPECT_EQ(runs[i].length, expected[i].length) << "run " << i;
    }
}

TEST(BlockBitmap, ARunLimitOfZeroIsRefused) {
    BlockBitmap map(8, true);
    EXPECT_THROW(map.runs(0), std::invalid_argument);
}

}  // namespace
}  // namespace velmora::agent
