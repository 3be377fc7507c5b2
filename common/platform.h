#ifndef TAMSEL_COMMON_PLATFORM_H_
#define TAMSEL_COMMON_PLATFORM_H_

// The few calls that differ between operating systems, each in one place:
// Linux is what ships; the macOS and Windows counterparts keep the core
// compiling there.

#include <cstddef>

namespace tamsel::platform {

// Fills buffer from the operating system's random source; false when it has none.
bool fill_random(unsigned char* buffer, std::size_t size) noexcept;

// Zero-filled, page-aligned memory straight from the operating system, or
// nullptr; given back with release_pages and the same size.
void* map_pages(std::size_t bytes) noexcept;
void release_pages(void* pages, std::size_t bytes) noexcept;

// strtod in the C locale, whatever locale the host process has set.
double strtod_c_locale(const char* text) noexcept;

// Hands freed heap memory back to the operating system where the allocator
// keeps it otherwise.
void trim_heap() noexcept;

}  // namespace tamsel::platform

#endif  // TAMSEL_COMMON_PLATFORM_H_
