// Construction in the core against libyaml's bare event loop over the same
// three texts: the least work any reader built on libyaml must do.
#include <benchmark/benchmark.h>
#include <yaml.h>

#include <cstdio>
#include <string>

#include "benchmarks/bench_texts.h"
#include "documents/readers.h"

namespace {

// Parses every event of the text and drops it; false on a parse error.
bool bare_event_loop(const std::string& text) {
  yaml_parser_t parser;
  if (yaml_parser_initialize(&parser) == 0) {
    return false;
  }
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  bool ok = true;
  for (bool done = false; !done;) {
    yaml_event_t event;
    if (yaml_parser_parse(&parser, &event) == 0) {
      ok = false;
      break;
    }
    done = event.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&event);
  }
  yaml_parser_delete(&parser);
  return ok;
}

void set_counters(benchmark::State& state, const bench::Texts& texts) {
  state.counters["rules"] = texts.rules;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * texts.bytes()));
}

void bm_libyaml_events(benchmark::State& state, const bench::Texts& texts) {
  for (auto _ : state) {
    bool ok = bare_event_loop(texts.schema) && bare_event_loop(texts.policy) &&
              bare_event_loop(texts.governance);
    if (!ok) {
      state.SkipWithError("libyaml failed on the texts");
      return;
    }
  }
  set_counters(state, texts);
}

void bm_read_documents(benchmark::State& state, const bench::Texts& texts) {
  for (auto _ : state) {
    auto schema = tamsel::read_schema(texts.schema);
    auto policy = tamsel::read_policy(texts.policy);
    auto governance = tamsel::read_governance(texts.governance);
    if (!schema || !policy || !governance) {
      state.SkipWithError("a document cannot be read");
      return;
    }
    benchmark::DoNotOptimize(policy->rules.data());
  }
  set_counters(state, texts);
}

void bm_construct(benchmark::State& state, const bench::Texts& texts) {
  for (auto _ : state) {
    auto compiled = bench::construct(texts);
    if (!compiled) {
      state.SkipWithError(compiled.error().c_str());
      return;
    }
    benchmark::DoNotOptimize(compiled->global_rules.data());
  }
  set_counters(state, texts);
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
  for (const auto& texts : all) {
    const std::string n = std::to_string(texts.rules);
    benchmark::RegisterBenchmark(("libyaml_events/" + n).c_str(), bm_libyaml_events, texts);
    benchmark::RegisterBenchmark(("read_documents/" + n).c_str(), bm_read_documents, texts);
    benchmark::RegisterBenchmark(("construct/" + n).c_str(), bm_construct, texts);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
