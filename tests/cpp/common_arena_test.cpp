#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/arena.h"

namespace tamsel {
namespace {

// Texts of sizes around the chunk sizes: empty, small, a first chunk's worth
// and more, and one larger than any chunk.
std::vector<std::string> sample_texts() {
  std::vector<std::string> texts;
  for (const std::size_t size : {0, 1, 7, 255, 256, 257, 4096, 65535, 65536, 200000}) {
    texts.emplace_back(size, static_cast<char>('a' + size % 26));
  }
  for (int i = 0; i < 5000; ++i) texts.push_back("t" + std::to_string(i));
  return texts;
}

TEST(TextArena, ViewsHoldTheirTextsAcrossChunksAndMoves) {
  const std::vector<std::string> texts = sample_texts();
  TextArena arena;
  std::vector<std::string_view> views;
  for (const std::string& text : texts) views.push_back(arena.keep(text));
  TextArena moved(std::move(arena));
  TextArena assigned;
  assigned.keep("dropped with the arena it was kept in");
  assigned = std::move(moved);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(views[i], texts[i]) << i;
    EXPECT_NE(views[i].data(), nullptr) << i;  // memcmp and memcpy take no null, even for 0 bytes
    if (!texts[i].empty()) {
      EXPECT_NE(views[i].data(), texts[i].data()) << i;
    }
  }
  // A later text never lands on an earlier one.
  const std::string_view later = assigned.keep("later");
  for (const std::string_view view : views) {
    EXPECT_TRUE(later.data() >= view.data() + view.size() || later.data() + 5 <= view.data());
  }
}

TEST(TextArena, ReservedTextsFollowEachOtherInOneAllocation) {
  TextArena arena;
  arena.reserve(12);
  const std::string_view first = arena.keep("abcd");
  const std::string_view second = arena.keep("efghijkl");
  EXPECT_EQ(second.data(), first.data() + first.size());
  EXPECT_EQ(std::string(first.data(), 12), "abcdefghijkl");
}

TEST(Arena, KeepsValueLists) {
  Arena<int> arena;
  std::vector<std::span<const int>> kept;
  for (int n = 0; n < 3000; ++n) {
    std::vector<int> values(static_cast<std::size_t>(n % 40), n);
    kept.push_back(arena.keep(values));
  }
  const Arena<int> moved(std::move(arena));
  for (int n = 0; n < 3000; ++n) {
    ASSERT_EQ(kept[n].size(), static_cast<std::size_t>(n % 40));
    for (const int value : kept[n]) ASSERT_EQ(value, n);
  }
}

static_assert(!std::is_copy_constructible_v<TextArena> && !std::is_copy_assignable_v<TextArena>,
              "a copy would view the original's chunks");
static_assert(std::is_nothrow_move_constructible_v<TextArena>);

}  // namespace
}  // namespace tamsel
