// Reads arbitrary bytes as each of the three documents. Any outcome is fine as
// long as reading ends without a crash, leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "documents/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)tamsel::read_schema(text);
  (void)tamsel::read_policy(text);
  (void)tamsel::read_governance(text);
  return 0;
}
