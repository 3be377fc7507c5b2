// Maps keyed by names. Lookups compare bytes exactly; the hash is keyed with a
// fresh random key per map so that hostile names cannot force collisions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace tamsel {

// SipHash-1-3 keyed by (k0, k1). fresh() draws a new key: a per-thread seed
// taken once from getrandom, advanced by one for every map.
class KeyedHash {
 public:
  using is_transparent = void;

  KeyedHash();  // a fresh key
  KeyedHash(std::uint64_t k0, std::uint64_t k1) : k0_(k0), k1_(k1) {}

  std::size_t operator()(std::string_view text) const noexcept;

 private:
  std::uint64_t k0_;
  std::uint64_t k1_;
};

template <class V>
using NameMap = std::unordered_map<std::string, V, KeyedHash, std::equal_to<>>;

// A set of names viewed in texts that outlive it.
using NameViewSet = std::unordered_set<std::string_view, KeyedHash, std::equal_to<>>;

}  // namespace tamsel
