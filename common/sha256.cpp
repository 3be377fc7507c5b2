#include "common/sha256.h"

#include <openssl/evp.h>

namespace tamsel {
namespace {

std::string to_hex(const unsigned char* digest, unsigned int length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(std::size_t{length} * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

}  // namespace

Sha256::Sha256() noexcept
    : context_(EVP_MD_CTX_new()),
      ok_(context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1) {}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }  // accepts null

void Sha256::update(std::string_view data) noexcept {
  ok_ = ok_ && EVP_DigestUpdate(context_, data.data(), data.size()) == 1;
}

std::optional<std::string> Sha256::hex_digest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool done = ok_ && EVP_DigestFinal_ex(context_, digest, &length) == 1;
  ok_ = false;  // the context is spent
  if (!done) return std::nullopt;
  return to_hex(digest, length);
}

std::optional<std::string> sha256_hex(std::string_view data) {
  Sha256 digest;
  digest.update(data);
  return digest.hex_digest();
}

}  // namespace tamsel
