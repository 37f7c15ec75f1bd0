// Speed of the JSON layer on an object of 60 string members, the shape of
// the field maps the library writes and reads.
//
//   build/crypto/json/json_bench
//
// Prints the time of one dump and of one parse in microseconds.

#include <benchmark/benchmark.h>

#include <string>

#include "crypto/json/json11.h"

namespace {

json11::Json SixtyStringMembers() {
  json11::Json::object members;
  for (int i = 0; i < 60; ++i) {
    members["K" + std::to_string(1000 + i)] =
        "value of member " + std::to_string(i) + " with some text";
  }
  return json11::Json(std::move(members));
}

void BM_DumpObjectOf60Strings(benchmark::State& state) {
  const json11::Json value = SixtyStringMembers();
  for (auto _ : state) {
    std::string text = value.dump();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(value.dump().size()));
}
BENCHMARK(BM_DumpObjectOf60Strings)->Unit(benchmark::kMicrosecond);

void BM_ParseObjectOf60Strings(benchmark::State& state) {
  const std::string text = SixtyStringMembers().dump();
  for (auto _ : state) {
    std::string err;
    json11::Json value = json11::Json::parse(text, err);
    benchmark::DoNotOptimize(value);
    if (!err.empty()) state.SkipWithError("parse failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseObjectOf60Strings)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
