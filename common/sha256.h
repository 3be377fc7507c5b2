// SHA-256 through OpenSSL's libcrypto, as lower-case hexadecimal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamsel {

// The 64-character lower-case hex digest, or nothing when libcrypto fails
// (it fails only when out of memory).
std::optional<std::string> sha256_hex(std::string_view data);

}  // namespace tamsel
