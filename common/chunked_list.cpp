#include "common/chunked_list.h"

#include <new>

#include "common/platform.h"

namespace tamsel::detail {

void* map_chunk(std::size_t bytes) {
  void* chunk = platform::map_pages(bytes);
  if (chunk == nullptr) throw std::bad_alloc();
  return chunk;
}

void unmap_chunk(void* chunk, std::size_t bytes) noexcept { platform::release_pages(chunk, bytes); }

}  // namespace tamsel::detail
