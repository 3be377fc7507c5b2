// A list of plain values in chunks of fixed size, which never move: growing
// costs no copy and no second buffer, so the peak is the list itself.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace tamsel {

namespace detail {
// Chunks are mapped from the system and unmapped when the list ends, so that
// the memory of a large document's events goes back to the system at once
// instead of staying in the heap beneath the trees built after it.
void* map_chunk(std::size_t bytes);
void unmap_chunk(void* chunk, std::size_t bytes) noexcept;
}  // namespace detail

template <class T>
class ChunkedList {
 public:
  ChunkedList() = default;
  ~ChunkedList() {
    for (T* chunk : chunks_) detail::unmap_chunk(chunk, kChunkBytes);
  }
  ChunkedList(ChunkedList&& other) noexcept
      : chunks_(std::move(other.chunks_)),
        size_(other.size_),
        next_(other.next_),
        chunk_end_(other.chunk_end_) {
    other.chunks_.clear();
    other.size_ = 0;
    other.next_ = other.chunk_end_ = nullptr;
  }
  ChunkedList& operator=(ChunkedList&&) = delete;
  ChunkedList(const ChunkedList&) = delete;
  ChunkedList& operator=(const ChunkedList&) = delete;

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t index) const {
    return chunks_[index >> kChunkBits][index & kChunkMask];
  }
  T& operator[](std::size_t index) { return chunks_[index >> kChunkBits][index & kChunkMask]; }
  // The index of an element of the list, found chunk by chunk.
  [[nodiscard]] std::size_t index_of(const T* element) const {
    for (std::size_t chunk = 0; chunk < chunks_.size(); ++chunk) {
      const T* first = chunks_[chunk];
      if (element >= first && element < first + kChunkMask + 1) {
        return (chunk << kChunkBits) + static_cast<std::size_t>(element - first);
      }
    }
    return size_;
  }
  void push_back(const T& value) {
    // Chunks are unmapped without running destructors.
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    if (next_ == chunk_end_) next_chunk();
    new (next_) T(value);
    ++next_;
    ++size_;
  }
  // Keeps the chunks for reuse.
  void clear() {
    size_ = 0;
    next_ = chunk_end_ = nullptr;
  }

 private:
  static constexpr std::size_t kChunkBits = 14;
  static constexpr std::size_t kChunkMask = (std::size_t{1} << kChunkBits) - 1;
  static constexpr std::size_t kChunkBytes = sizeof(T) << kChunkBits;

  // Moves on to the chunk that the element at size_ goes in, mapping it first
  // when the list has never reached it.
  [[gnu::noinline]] void next_chunk() {
    const std::size_t chunk = size_ >> kChunkBits;
    if (chunk == chunks_.size()) {
      chunks_.reserve(chunks_.size() + 1);
      chunks_.push_back(static_cast<T*>(detail::map_chunk(kChunkBytes)));
    }
    next_ = chunks_[chunk];
    chunk_end_ = next_ + kChunkMask + 1;
  }

  std::vector<T*> chunks_;
  std::size_t size_ = 0;
  T* next_ = nullptr;  // where the next element goes, in the chunk that ends at chunk_end_
  T* chunk_end_ = nullptr;
};

}  // namespace tamsel
