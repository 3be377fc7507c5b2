#include <gtest/gtest.h>

#include <string>

#include "common/names.h"
#include "common/sha256.h"

namespace tamsel {
namespace {

TEST(KeyedHash, SameKeySameHashAndKeysDiffer) {
  const KeyedHash fixed(1, 2);
  EXPECT_EQ(fixed("refund"), KeyedHash(1, 2)("refund"));
  EXPECT_NE(fixed("refund"), fixed("refunds"));
  EXPECT_NE(fixed(""), fixed(std::string(1, '\0')));
  // Two fresh hashers never share a key, so they disagree on some name.
  const KeyedHash a;
  const KeyedHash b;
  EXPECT_NE(a("refund"), b("refund"));
}

TEST(NameMap, LooksUpByExactBytes) {
  NameMap<int> map;
  map.emplace("Refund", 1);
  map.emplace(std::string("a\0b", 3), 2);
  EXPECT_EQ(map.count("refund"), 0U);
  EXPECT_EQ(map.find(std::string_view("Refund"))->second, 1);
  EXPECT_EQ(map.find(std::string_view("a\0b", 3))->second, 2);
  EXPECT_EQ(map.count(std::string_view("a")), 0U);
}

struct DigestCase {
  std::string_view input;
  std::string_view hex;
};

TEST(Sha256, KnownDigests) {
  const DigestCase cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  for (const auto& c : cases) EXPECT_EQ(sha256_hex(c.input), std::string(c.hex));
}

}  // namespace
}  // namespace tamsel
