#include "common/platform.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>

#if defined(_WIN32)
#include <malloc.h>
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#elif defined(__APPLE__)
#include <malloc/malloc.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <xlocale.h>
#else
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#endif

namespace tamsel::platform {

#if defined(_WIN32)

bool fill_random(unsigned char* buffer, std::size_t size) noexcept {
  while (size > 0) {
    const ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, buffer, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    buffer += chunk;
    size -= chunk;
  }
  return true;
}

void* map_pages(std::size_t bytes) noexcept {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void release_pages(void* pages, std::size_t /*bytes*/) noexcept {
  VirtualFree(pages, 0, MEM_RELEASE);
}

void trim_heap() noexcept { _heapmin(); }

double strtod_c_locale(const char* text) noexcept {
  static const _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
  return _strtod_l(text, nullptr, c_locale);
}

#else

#if defined(__APPLE__)
// getentropy gives at most 256 bytes a call.
bool fill_random(unsigned char* buffer, std::size_t size) noexcept {
  while (size > 0) {
    const std::size_t chunk = size > 256 ? 256 : size;
    if (getentropy(buffer, chunk) != 0) return false;
    buffer += chunk;
    size -= chunk;
  }
  return true;
}

void trim_heap() noexcept { malloc_zone_pressure_relief(nullptr, 0); }
#else
// The system call itself: glibc before 2.25, which the portable wheels target,
// has no getrandom() wrapper, though every kernel they run on has the call.
bool fill_random(unsigned char* buffer, std::size_t size) noexcept {
  while (size > 0) {
    const long got = syscall(SYS_getrandom, buffer, size, 0);
    if (got > 0) {
      buffer += got;
      size -= static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// glibc keeps freed pages resident; musl's allocator returns them by itself.
void trim_heap() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
#endif

void* map_pages(std::size_t bytes) noexcept {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void release_pages(void* pages, std::size_t bytes) noexcept { munmap(pages, bytes); }

double strtod_c_locale(const char* text) noexcept {
  static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
  return strtod_l(text, nullptr, c_locale);
}

#endif

}  // namespace tamsel::platform
