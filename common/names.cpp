#include "common/names.h"

#include <chrono>
#include <cstring>

#include "common/platform.h"

namespace tamsel {
namespace {

struct SeedState {
  std::uint64_t k0;
  std::uint64_t k1;
};

std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Without an OS random source, the thread's stack address and the clock still
// make keys that a document author cannot predict in advance.
SeedState fallback_seed() {
  int local = 0;
  const auto address = reinterpret_cast<std::uintptr_t>(&local);
  const auto now = static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  return {mix64(address ^ now), mix64(now + 0x9e3779b97f4a7c15ULL)};
}

SeedState draw_seed() {
  unsigned char bytes[16];
  if (!platform::fill_random(bytes, sizeof bytes)) return fallback_seed();
  SeedState seed{};
  std::memcpy(&seed.k0, bytes, 8);
  std::memcpy(&seed.k1, bytes + 8, 8);
  return seed;
}

SeedState next_key() {
  thread_local SeedState state = draw_seed();
  const SeedState key = state;
  ++state.k0;
  return key;
}

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

KeyedHash::KeyedHash() {
  const SeedState key = next_key();
  k0_ = key.k0;
  k1_ = key.k1;
}

// SipHash-1-3: one compression round per word, three finalisation rounds.
std::size_t KeyedHash::operator()(std::string_view text) const noexcept {
  SipState s{k0_ ^ 0x736f6d6570736575ULL, k1_ ^ 0x646f72616e646f6dULL, k0_ ^ 0x6c7967656e657261ULL,
             k1_ ^ 0x7465646279746573ULL};
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const std::size_t whole = size & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(bytes + i));
  std::uint64_t last = static_cast<std::uint64_t>(size & 0xFF) << 56;
  for (std::size_t i = whole; i < size; ++i) {
    last |= static_cast<std::uint64_t>(bytes[i]) << (8 * (i - whole));
  }
  s.absorb(last);
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return static_cast<std::size_t>(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
}

}  // namespace tamsel
