#include <gtest/gtest.h>

#include <cstdint>

#include "common/chunked_list.h"

namespace tamsel {
namespace {

// Elements keep their places across chunks, and an element's index is found
// again from its address; an address from elsewhere gives the size.
TEST(ChunkedList, IndexOfAnElementAcrossChunks) {
  ChunkedList<std::uint32_t> list;
  constexpr std::uint32_t kCount = 40000;  // three chunks of 16384
  for (std::uint32_t i = 0; i < kCount; ++i) list.push_back(i * 3);
  const std::uint32_t* first = &list[0];
  for (const std::uint32_t index : {0U, 1U, 16383U, 16384U, 16385U, 32767U, 32768U, kCount - 1}) {
    EXPECT_EQ(list[index], index * 3);
    EXPECT_EQ(list.index_of(&list[index]), index);
  }
  EXPECT_EQ(&list[0], first);  // growing moved nothing
  const std::uint32_t elsewhere = 0;
  EXPECT_EQ(list.index_of(&elsewhere), list.size());
  list.clear();
  EXPECT_TRUE(list.empty());
  list.push_back(7);
  EXPECT_EQ(&list[0], first);  // cleared chunks are reused
}

}  // namespace
}  // namespace tamsel
