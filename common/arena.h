// Values kept in chunks that never move or shrink: a span into an arena stays
// valid for the arena's life, however often the arena itself is moved. Nothing
// is freed before the arena is.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace tamsel {

template <class T>
class Arena {
 public:
  Arena() = default;
  Arena(Arena&&) noexcept = default;
  Arena& operator=(Arena&&) noexcept = default;
  // A copy would view the original's chunks; nothing needs one.
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() = default;

  // Room for count more values in the current chunk, so that a total known in
  // advance takes one allocation of exactly its size.
  void reserve(std::size_t count) {
    if (count > room_) start_chunk(count);
  }

  // Copies values into the arena; an empty span takes no room.
  std::span<const T> keep(std::span<const T> values) {
    if (values.empty()) return {};
    if (values.size() > room_) start_chunk(std::max(values.size(), next_chunk_size()));
    T* const kept = next_;
    std::copy(values.begin(), values.end(), kept);
    next_ += values.size();
    room_ -= values.size();
    return {kept, values.size()};
  }

 private:
  // Chunks grow from a small first one, so a small policy stays small and a
  // large one makes few allocations; what the last chunk leaves unused is at
  // most one chunk.
  static constexpr std::size_t kFirstChunkBytes = 256;
  static constexpr std::size_t kLargestChunkBytes = 65536;

  [[nodiscard]] std::size_t next_chunk_size() const {
    const std::size_t bytes =
        std::min(kLargestChunkBytes, kFirstChunkBytes << std::min<std::size_t>(chunks_.size(), 8));
    return std::max<std::size_t>(1, bytes / sizeof(T));
  }

  void start_chunk(std::size_t count) {
    chunks_.push_back(std::make_unique_for_overwrite<T[]>(count));
    next_ = chunks_.back().get();
    room_ = count;
  }

  std::vector<std::unique_ptr<T[]>> chunks_;
  T* next_ = nullptr;
  std::size_t room_ = 0;
};

// Texts kept in an arena of bytes.
class TextArena {
 public:
  void reserve(std::size_t bytes) { bytes_.reserve(bytes); }
  // An empty text views a literal: its data are never null, which byte
  // functions given a length of zero still do not accept.
  std::string_view keep(std::string_view text) {
    if (text.empty()) return "";
    const std::span<const char> kept = bytes_.keep(std::span<const char>(text.data(), text.size()));
    return {kept.data(), kept.size()};
  }

 private:
  Arena<char> bytes_;
};

}  // namespace tamsel
