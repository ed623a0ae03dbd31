// The pool of large blocks: aligned, disjoint, reused by size, accounted.

#include "large_block_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using quelmar::LargeBlockPool;

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

TEST(LargeBlockPoolTest, BlocksAreAlignedDisjointWritableAndReusedBySize) {
  const LargeBlockPool::Usage before = LargeBlockPool::usage();
  // Sizes as the properties ask for them, and the edges of the rounding
  // and of a region (2 MB): the largest gets a mapping of its own.
  const std::size_t sizes[] = {0, 1, 64, 65, 16384, 65536, 2u << 20, (2u << 20) + 1};
  std::vector<std::pair<char*, std::size_t>> blocks;
  for (std::size_t size : sizes) {
    auto* block = static_cast<char*>(LargeBlockPool::allocate(size));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0u, address(block) % 64) << size;
    std::memset(block, 0x5a, size);
    blocks.emplace_back(block, size);
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    for (std::size_t k = i + 1; k < blocks.size(); ++k) {
      const std::uintptr_t a = address(blocks[i].first);
      const std::uintptr_t b = address(blocks[k].first);
      const std::size_t a_len = blocks[i].second == 0 ? 1 : blocks[i].second;
      const std::size_t b_len = blocks[k].second == 0 ? 1 : blocks[k].second;
      EXPECT_TRUE(a + a_len <= b || b + b_len <= a) << sizes[i] << " and " << sizes[k];
    }
  }
  EXPECT_GE(LargeBlockPool::usage().bytes_in_use - before.bytes_in_use, 2u * (2u << 20));

  // A released block serves the next request of its rounded size.
  LargeBlockPool::release(blocks[5].first, blocks[5].second);
  EXPECT_EQ(blocks[5].first, LargeBlockPool::allocate(65536));
  LargeBlockPool::release(nullptr, 64);  // ignored

  for (auto& [block, size] : blocks) LargeBlockPool::release(block, size);
  const LargeBlockPool::Usage after = LargeBlockPool::usage();
  EXPECT_EQ(before.bytes_in_use, after.bytes_in_use);
  // The block of its own is unmapped; the regions stay for the next blocks.
  EXPECT_LE(after.bytes_reserved - before.bytes_reserved, 2u * (2u << 20));
}

TEST(LargeBlockPoolTest, ArraysAreConstructedZeroAndSurviveConcurrentUse) {
  // Blocks handed back dirty come out of make_pooled_array value-initialised.
  {
    auto dirty = quelmar::make_pooled_array<std::atomic<double>>(8192);
    for (std::size_t i = 0; i < 8192; ++i) dirty[i].store(1.5, std::memory_order_relaxed);
  }
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong, t] {
      for (int round = 0; round < 50; ++round) {
        auto bins = quelmar::make_pooled_array<std::atomic<double>>(8192);
        for (std::size_t i = 0; i < 8192; i += 97) {
          if (bins[i].load(std::memory_order_relaxed) != 0.0) ++wrong;
          bins[i].store(t + round, std::memory_order_relaxed);
        }
        for (std::size_t i = 0; i < 8192; i += 97) {
          if (bins[i].load(std::memory_order_relaxed) != t + round) ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
