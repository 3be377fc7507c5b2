// Reading a 10,000-rule policy against libyaml's bare event loop over the same
// text: the loop is the floor that any reader built on libyaml pays.
#include <benchmark/benchmark.h>
#include <yaml.h>

#include <string>

#include "documents/readers.h"

namespace {

// Each rule varies its scope, condition form, literal kind and subject form.
std::string condition_for(int i) {
  const std::string amount = i % 2 == 0 ? "[action, amount]" : "{domain: action, field: amount}";
  const std::string literal = i % 3 == 0   ? "{literal: " + std::to_string(i * 10) + "}"
                              : i % 3 == 1 ? "{literal: \"EUR\"}"
                                           : "{literal: true}";
  switch (i % 3) {
    case 0:
      return "\n      subject: " + amount +
             "\n      operator: greater_than\n      value: " + literal + "\n";
    case 1:
      return "\n      all:\n        - [" + amount + ", less_than, " + literal +
             "]\n        - [[actor, role], equals, {subject: [snapshot, role]}]\n";
    default:
      return "\n      any:\n        - subject: {domain: actor, field: frozen}\n"
             "          operator: equals\n          value: " +
             literal + "\n        - [[actor, trust], less_than, {literal: 2.5}]\n";
  }
}

std::string policy_text(int rules) {
  std::string text = "version: 1\nrules:\n";
  for (int i = 0; i < rules; ++i) {
    text += "  - id: rule_" + std::to_string(i) + "\n";
    text += i % 4 == 0   ? "    scope: {global: true}\n"
            : i % 4 == 1 ? "    scope: {actor: agent}\n"
                         : "    scope:\n      action: refund\n";
    text += "    when:" + condition_for(i);
    text += i % 2 == 0 ? "    effect: block\n" : "    effect: require_approval\n";
  }
  return text;
}

const std::string& policy() {
  static const std::string text = policy_text(10000);
  return text;
}

void BM_ReadPolicy(benchmark::State& state) {
  const std::string& text = policy();
  for (auto _ : state) {
    auto read = tamsel::read_policy(text);
    if (!read) state.SkipWithError(read.error().message.c_str());
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadPolicy)->Unit(benchmark::kMillisecond);

void BM_BareEventLoop(benchmark::State& state) {
  const std::string& text = policy();
  for (auto _ : state) {
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    yaml_event_t event;
    bool done = false;
    while (!done && yaml_parser_parse(&parser, &event) != 0) {
      done = event.type == YAML_STREAM_END_EVENT;
      yaml_event_delete(&event);
    }
    yaml_parser_delete(&parser);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_BareEventLoop)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
