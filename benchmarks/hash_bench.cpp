// The policy hash in the core: rendering the canonical text and digesting it,
// against libcrypto's SHA-256 alone over as many bytes. Also the heap bytes
// that a compiled policy keeps, counted by replacing the global allocator of
// this program.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "benchmarks/bench_texts.h"
#include "compiler/canonical.h"
#include "documents/readers.h"

// ---- counting allocator: live and peak bytes of the whole program ----

namespace {
std::atomic<long long> live_bytes{0};
std::atomic<long long> peak_bytes{0};

void note_allocated(void* p) {
  const long long now = live_bytes += static_cast<long long>(malloc_usable_size(p));
  long long peak = peak_bytes.load(std::memory_order_relaxed);
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
}

void* counted_alloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  note_allocated(p);
  return p;
}

void counted_free(void* p) noexcept {
  if (p != nullptr) {
    live_bytes -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
  }
}
}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
  try {
    return counted_alloc(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t /*size*/) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t /*size*/) noexcept { counted_free(p); }

namespace {

// ---- benchmarks ----

// What policy_hash() does: the text rendered in pieces straight into the
// digest. hash_peak_bytes is the most heap that one call holds at once.
void bm_canonical_text_sha256(benchmark::State& state, const tamsel::CompiledPolicy& policy,
                              int rules, std::size_t length) {
  long long peak = 0;
  for (auto _ : state) {
    const long long before = live_bytes.load();
    peak_bytes.store(before);
    auto digest = tamsel::canonical_sha256_hex(policy);
    benchmark::DoNotOptimize(digest);
    peak = std::max(peak, peak_bytes.load() - before);
  }
  state.counters["rules"] = rules;
  state.counters["hash_peak_bytes"] = static_cast<double>(peak);
  state.counters["text_bytes"] = static_cast<double>(length);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}

void bm_canonical_text(benchmark::State& state, const tamsel::CompiledPolicy& policy, int rules) {
  std::size_t length = 0;
  for (auto _ : state) {
    const std::string text = tamsel::canonical_text(policy);
    length = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["rules"] = rules;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}

// Rendering alone: the pieces handed to a sink that only counts them, so the
// figure holds neither the digest nor the growth of a string.
class CountingSink final : public tamsel::TextSink {
 public:
  void write(std::string_view piece) override { bytes += piece.size(); }
  std::size_t bytes = 0;
};

void bm_canonical_render(benchmark::State& state, const tamsel::CompiledPolicy& policy, int rules) {
  std::size_t length = 0;
  for (auto _ : state) {
    CountingSink sink;
    tamsel::render_canonical(policy, sink);
    length = sink.bytes;
    benchmark::DoNotOptimize(length);
  }
  state.counters["rules"] = rules;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}

void bm_evp_sha256(benchmark::State& state, std::size_t length, int rules) {
  const std::string data(length, 'x');
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  for (auto _ : state) {
    if (EVP_Digest(data.data(), data.size(), digest, &digest_length, EVP_sha256(), nullptr) != 1) {
      state.SkipWithError("EVP_Digest failed");
      return;
    }
    benchmark::DoNotOptimize(digest);
  }
  state.counters["rules"] = rules;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}

// One construction, counted: the bytes the compiled policy keeps once every
// temporary is gone, and the highest live heap during construction.
void bm_compiled_memory(benchmark::State& state, const bench::Texts& texts) {
  for (auto _ : state) {
    const long long before = live_bytes.load();
    peak_bytes.store(before);
    auto compiled = bench::construct(texts);
    if (!compiled) {
      state.SkipWithError(compiled.error().c_str());
      return;
    }
    const long long kept = live_bytes.load() - before;
    state.counters["rules"] = texts.rules;
    state.counters["compiled_bytes"] = static_cast<double>(kept);
    state.counters["bytes_per_rule"] = static_cast<double>(kept) / texts.rules;
    state.counters["construction_peak_bytes"] = static_cast<double>(peak_bytes.load() - before);
    state.counters["text_bytes"] = static_cast<double>(texts.bytes());
  }
}

// Reading the policy text alone: the highest live heap while reading, and the
// bytes of the policy tree that it gives, to tell the reader's share of the
// construction peak.
void bm_policy_read_memory(benchmark::State& state, const bench::Texts& texts) {
  for (auto _ : state) {
    const long long before = live_bytes.load();
    peak_bytes.store(before);
    auto policy = tamsel::read_policy(texts.policy);
    if (!policy) {
      state.SkipWithError(policy.error().message.c_str());
      return;
    }
    state.counters["rules"] = texts.rules;
    state.counters["read_peak_bytes"] = static_cast<double>(peak_bytes.load() - before);
    state.counters["tree_bytes"] = static_cast<double>(live_bytes.load() - before);
    state.counters["policy_text_bytes"] = static_cast<double>(texts.policy.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  static const std::vector<bench::Texts> all = bench::load_texts();
  if (all.empty()) {
    std::fprintf(stderr, "no texts under %s: run benchmarks/prepare.py first\n",
                 bench::texts_dir().c_str());
    return 1;
  }
  static std::vector<tamsel::CompiledPolicy> policies;
  policies.reserve(all.size());  // the benchmarks keep references into it
  for (const auto& texts : all) {
    auto compiled = bench::construct(texts);
    if (!compiled) {
      std::fprintf(stderr, "the %d-rule policy does not construct: %s\n", texts.rules,
                   compiled.error().c_str());
      return 1;
    }
    policies.push_back(std::move(*compiled));
    const auto& policy = policies.back();
    const std::string n = std::to_string(texts.rules);
    const std::size_t length = tamsel::canonical_text(policy).size();
    benchmark::RegisterBenchmark(("canonical_text_sha256/" + n).c_str(), bm_canonical_text_sha256,
                                 std::cref(policy), texts.rules, length);
    benchmark::RegisterBenchmark(("canonical_text/" + n).c_str(), bm_canonical_text,
                                 std::cref(policy), texts.rules);
    benchmark::RegisterBenchmark(("canonical_render/" + n).c_str(), bm_canonical_render,
                                 std::cref(policy), texts.rules);
    benchmark::RegisterBenchmark(("evp_sha256/" + n).c_str(), bm_evp_sha256, length, texts.rules);
    benchmark::RegisterBenchmark(("compiled_memory/" + n).c_str(), bm_compiled_memory, texts)
        ->Iterations(1);
    benchmark::RegisterBenchmark(("policy_read_memory/" + n).c_str(), bm_policy_read_memory, texts)
        ->Iterations(1);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
