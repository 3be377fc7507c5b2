// The canonical text of a compiled policy: the text that the policy hash digests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "compiler/model.h"

namespace tamsel {

// Receives the canonical text in consecutive pieces.
class TextSink {
 public:
  virtual void write(std::string_view piece) = 0;

 protected:
  TextSink() = default;
  TextSink(const TextSink&) = default;
  TextSink& operator=(const TextSink&) = default;
  TextSink(TextSink&&) = default;
  TextSink& operator=(TextSink&&) = default;
  ~TextSink() = default;
};

// Renders the text into sink through one buffer of a few kilobytes, so that
// no policy needs its whole text in memory at once. Entries of action_rules
// and actor_rules are written in ascending byte order of their keys, so equal
// documents always give equal texts.
void render_canonical(const CompiledPolicy& policy, TextSink& sink);

// The whole text in one string.
std::string canonical_text(const CompiledPolicy& policy);

// The SHA-256 of the text as 64 lower-case hex characters, rendered straight
// into the digest; nothing when libcrypto fails (only for want of memory).
std::optional<std::string> canonical_sha256_hex(const CompiledPolicy& policy);

}  // namespace tamsel
