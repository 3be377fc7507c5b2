// SHA-256 through OpenSSL's libcrypto, as lower-case hexadecimal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;  // libcrypto's EVP_MD_CTX

namespace tamsel {

// A digest fed in pieces. libcrypto fails only when out of memory; a failure
// is remembered and reported by hex_digest().
class Sha256 {
 public:
  Sha256() noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();
  Sha256(Sha256&&) = delete;
  Sha256& operator=(Sha256&&) = delete;

  void update(std::string_view data) noexcept;
  // The 64-character lower-case hex digest of everything fed, or nothing when
  // libcrypto failed on the way. Ends the digest: call it once.
  std::optional<std::string> hex_digest();

 private:
  evp_md_ctx_st* context_;  // null when libcrypto could not set it up
  bool ok_;
};

// The digest of one text in one piece.
std::optional<std::string> sha256_hex(std::string_view data);

}  // namespace tamsel
