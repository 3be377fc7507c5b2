// A list of plain values in chunks of fixed size, which never move: growing
// costs no copy and no second buffer, so the peak is the list itself.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace tamsel {

template <class T>
class ChunkedList {
 public:
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t index) const {
    return chunks_[index >> kChunkBits][index & kChunkMask];
  }
  T& operator[](std::size_t index) { return chunks_[index >> kChunkBits][index & kChunkMask]; }
  void push_back(const T& value) {
    if (size_ == capacity_) grow();
    chunks_[size_ >> kChunkBits][size_ & kChunkMask] = value;
    ++size_;
  }
  // Keeps the chunks for reuse.
  void clear() { size_ = 0; }

 private:
  static constexpr std::size_t kChunkBits = 12;
  static constexpr std::size_t kChunkMask = (std::size_t{1} << kChunkBits) - 1;

  [[gnu::noinline]] void grow() {
    chunks_.push_back(std::make_unique<T[]>(kChunkMask + 1));
    capacity_ += kChunkMask + 1;
  }

  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tamsel
