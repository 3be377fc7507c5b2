// The construction texts that prepare.py writes, shared by the C++ benchmarks
// so that they measure the same bytes as the Python ones, and the construction
// that both C++ benchmarks time.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/expected.h"
#include "construction/construct.h"

namespace bench {

struct Texts {
  int rules = 0;
  std::string schema;
  std::string policy;
  std::string governance;
  [[nodiscard]] std::size_t bytes() const {
    return schema.size() + policy.size() + governance.size();
  }
};

inline std::filesystem::path texts_dir() {
  if (const char* dir = std::getenv("TAMSEL_BENCH_TEXTS")) {
    return dir;
  }
  return std::filesystem::path(__FILE__).parent_path() / "results" / "texts";
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// One entry per folder named by its rule count, in ascending order; empty when
// prepare.py has not run.
inline std::vector<Texts> load_texts() {
  std::vector<Texts> all;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(texts_dir(), ec)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory() || name.empty() ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    all.push_back({std::stoi(name), read_file(entry.path() / "schema.yaml"),
                   read_file(entry.path() / "policy.yaml"),
                   read_file(entry.path() / "governance.yaml")});
  }
  std::sort(all.begin(), all.end(),
            [](const Texts& a, const Texts& b) { return a.rules < b.rules; });
  return all;
}

// The constructor's pipeline over the prepared texts (which always hold a
// governance document). The error is the message the caller would see.
inline tamsel::Expected<tamsel::CompiledPolicy, std::string> construct(const Texts& texts) {
  auto compiled = tamsel::construct_policy(texts.schema, texts.policy, texts.governance);
  if (!compiled) return tamsel::unexpected(std::move(compiled.error().message));
  return std::move(*compiled);
}

}  // namespace bench
