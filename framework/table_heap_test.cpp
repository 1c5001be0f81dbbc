#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "framework/table_heap.h"

namespace {

// Blocks of every size class and beyond, allocated, written and freed in random order: each
// block keeps its own bytes (no two live blocks overlap) and is aligned for any cell.
TEST(TableHeap, LiveBlocksKeepTheirBytesWhateverTheOrder) {
    struct Block {
        unsigned char* data;
        size_t size;
        unsigned char mark;
    };
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        std::vector<Block> live;
        auto intact = [](const Block& b) {
            for (size_t i = 0; i < b.size; ++i)
                if (b.data[i] != static_cast<unsigned char>(b.mark + i)) return false;
            return true;
        };
        for (int step = 0; step < 20000; ++step) {
            if (live.empty() || rng() % 3 != 0) {
                size_t size = rng() % 8 == 0 ? rng() % 9000 : rng() % 600;
                Block b{static_cast<unsigned char*>(kv::TableHeapAlloc(size)), size, static_cast<unsigned char>(rng())};
                ASSERT_EQ(0u, reinterpret_cast<uintptr_t>(b.data) % 8) << "seed " << seed << ", step " << step;
                for (size_t i = 0; i < size; ++i) b.data[i] = static_cast<unsigned char>(b.mark + i);
                live.push_back(b);
            } else {
                size_t at = rng() % live.size();
                ASSERT_TRUE(intact(live[at])) << "seed " << seed << ", step " << step;
                kv::TableHeapFree(live[at].data, live[at].size);
                live[at] = live.back();
                live.pop_back();
            }
        }
        for (const Block& b : live) {
            ASSERT_TRUE(intact(b)) << "seed " << seed;
            kv::TableHeapFree(b.data, b.size);
        }
    }
}

}  // namespace
