#include "common/chunked_list.h"

#include <sys/mman.h>

#include <new>

namespace tamsel::detail {

void* map_chunk(std::size_t bytes) {
  void* chunk = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (chunk == MAP_FAILED) throw std::bad_alloc();
  return chunk;
}

void unmap_chunk(void* chunk, std::size_t bytes) noexcept { munmap(chunk, bytes); }

}  // namespace tamsel::detail
