// The strict JSON decoder on 2 MiB texts (the largest control frame) in the
// shapes that cost a value-building parser the most, against the baseline of
// one flat string of the same size, which the parser only copies, and against
// the library's own parser without any check. Shapes of many values are
// refused at the value limit; each shape is also refused by a fault at its
// very end. Bytes per second are reported for every case; their ratio to the
// baseline is the figure to watch.
#include <benchmark/benchmark.h>

#include <string>

#include "json/strict_json.h"

namespace {

constexpr std::size_t kFrameBytes = 2 * 1024 * 1024;

// `open`, then `item` separated by commas as often as fits, then `close`.
std::string repeated(std::string_view open, std::string_view item,
                     std::string_view close) {
  std::string text(open);
  text += item;
  while (text.size() + 1 + item.size() + close.size() <= kFrameBytes) {
    text += ',';
    text += item;
  }
  return text += close;
}

std::string shape(int which) {
  switch (which) {
    case 0:
      return "\"" + std::string(kFrameBytes - 2, 's') + "\"";
    case 1:
      return repeated("[", "{}", "]");
    case 2:
      return repeated("[", "[]", "]");
    case 3:
      return repeated("[", "0", "]");
    case 4:
      return repeated("[", std::string(62, '[') + std::string(62, ']'), "]");
    case 5: {
      std::string members = "{";
      for (std::size_t i = 0; members.size() < kFrameBytes - 32; ++i) {
        if (i > 0) members += ',';
        members += "\"k" + std::to_string(i) + "\":0";
      }
      return members + "}";
    }
    default: {
      // The most expensive text within the value limit: 4000 long member
      // names sharing all but their last digits.
      const std::string prefix(kFrameBytes / 4000 - 16, 'p');
      std::string members = "{";
      for (int i = 0; i < 4000; ++i) {
        members += "\"" + prefix + std::to_string(i) + "\":\"v\",";
      }
      members.back() = '}';
      return members;
    }
  }
}

constexpr const char* kShapeNames[] = {
    "flat_string_baseline", "empty_objects", "empty_arrays",           "zeros",
    "nested_63_deep",       "distinct_keys", "long_common_prefix_keys"};

// Accepted (the flat string, the long keys) or refused at the value limit.
void BM_Decode(benchmark::State& state) {
  const std::string text = shape(static_cast<int>(state.range(0)));
  state.SetLabel(std::string(kShapeNames[state.range(0)]) +
                 (ravik::parse_strict_json(text) ? " accepted" : " refused"));
  for (auto _ : state) {
    auto value = ravik::parse_strict_json(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The library's own parser on the same text, with none of the checks: what
// the checks and the value builder add.
void BM_LibraryParse(benchmark::State& state) {
  const std::string text = shape(static_cast<int>(state.range(0)));
  state.SetLabel(kShapeNames[state.range(0)]);
  for (auto _ : state) {
    auto value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The same text as member "k" of an object that repeats "k" at its end.
void BM_RefuseAtEnd(benchmark::State& state) {
  std::string text = shape(static_cast<int>(state.range(0)));
  state.SetLabel(kShapeNames[state.range(0)]);
  text = "{\"k\":" + text + ",\"k\":0}";
  for (auto _ : state) {
    auto value = ravik::parse_strict_json(text);
    if (value) state.SkipWithError("a bad text was accepted");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_Decode)->DenseRange(0, 6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryParse)->DenseRange(0, 6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefuseAtEnd)->DenseRange(0, 6)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
