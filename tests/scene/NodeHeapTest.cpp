#include "scene/NodeHeap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "TestUtil.h"

namespace quenlo {
namespace {

// Blocks of two sizes, each filled with its own pattern, freed in random
// order: no block overlaps another, and the slabs go back once empty.
TEST(NodeHeap, BlocksStayApartAndEmptySlabsGoBack) {
    const size_t before = NodeSlabCount();
    struct TBlock {
        unsigned char* P;
        size_t Bytes;
    };
    std::vector<TBlock> blocks;
    for (size_t i = 0; i < 30000; ++i) {
        const size_t bytes = i % 3 ? 336 : 200;
        auto* p = static_cast<unsigned char*>(AllocateNode(bytes));
        ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        std::memset(p, int(i & 0xFF), bytes);
        blocks.push_back({p, bytes});
    }
    std::shuffle(blocks.begin(), blocks.end(), std::mt19937(7));
    for (size_t i = 0; i < blocks.size(); ++i) {
        const TBlock& b = blocks[i];
        ASSERT_TRUE(std::all_of(b.P, b.P + b.Bytes, [&](unsigned char c) { return c == b.P[0]; }));
        FreeNode(b.P, b.Bytes);
        if (i == blocks.size() / 2) {  // freed blocks are handed out again
            void* again = AllocateNode(336);
            FreeNode(again, 336);
        }
    }
    if (!test::kSanitized) {
        EXPECT_LE(NodeSlabCount(), before + 2);  // one kept per size at most
    }
    void* big = AllocateNode(kMaxPooledNode + 1);  // from the general heap
    FreeNode(big, kMaxPooledNode + 1);
}

}  // namespace
}  // namespace quenlo
