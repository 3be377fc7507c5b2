// Reads arbitrary bytes as each of the three documents. Any outcome is fine as
// long as reading ends without a crash, leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "documents/events.h"
#include "documents/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)tamsel::read_schema(text);
  (void)tamsel::read_policy(text);
  (void)tamsel::read_governance(text);
  // Counting to a limit agrees with counting without one, up to the limit.
  const tamsel::ValueCount all = tamsel::count_values(text, UINT64_MAX);
  const std::uint64_t limit = all.values / 2;
  const tamsel::ValueCount some = tamsel::count_values(text, limit);
  if (all.past || some.values != limit || some.past.has_value() != (all.values > limit))
    std::abort();
  return 0;
}
