#include "platform/memory/bulk_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ps::platform {
namespace {

using Bulk = std::vector<std::uint64_t, BulkAllocator<std::uint64_t>>;

// Every element of `v` holds `tag` and its index: nothing overlaps, nothing
// was cut off the block's ends.
bool Holds(const Bulk& v, std::uint64_t tag) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != (tag << 40 | i)) return false;
  }
  return true;
}

void Fill(Bulk* v, std::uint64_t tag) {
  for (std::size_t i = 0; i < v->size(); ++i) (*v)[i] = tag << 40 | i;
}

TEST(BulkMemoryTest, BlocksOfEverySizeHoldTheirOwnData) {
  const std::size_t word = sizeof(std::uint64_t);
  const std::size_t sizes[] = {
      1000 / word,                    // the heap
      kBulkBytes / word - 1,          // the largest heap block
      kBulkBytes / word,              // the smallest bulk block
      (3u << 20) / word + 1,          // past a whole huge page
      (2u << 20) / word,              // exactly one
      (6u << 20) / word - 7,          // a /16's results, about
  };
  std::vector<Bulk> blocks;
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    blocks.emplace_back(sizes[i]);
    Fill(&blocks.back(), i + 1);
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_TRUE(Holds(blocks[i], i + 1)) << "block " << i << " of " << sizes[i] << " words";
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(blocks[i].data()) % alignof(std::max_align_t), 0u);
  }
  // Growing moves the data from heap to bulk blocks and between bulk blocks.
  Bulk grown;
  for (std::size_t i = 0; i < (5u << 20) / word; ++i) grown.push_back(std::uint64_t{9} << 40 | i);
  EXPECT_TRUE(Holds(grown, 9));
  grown.clear();
  grown.shrink_to_fit();
  for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_TRUE(Holds(blocks[i], i + 1));
}

}  // namespace
}  // namespace ps::platform
