// Speed of the device-data collection with the built-in collectors against
// a stub platform: the script services answer at once with fixed texts and
// the device properties are a phone's, so the figures cover the collectors'
// own work (the real /proc, /sys and file-system reads, the event history)
// and RiskSdk::collect's collector thread, but no script thread.
//
//   build-release/bench/collect_bench
//
// BM_Collect is one whole collect; BM_Collector/<name> runs one collector
// on the calling thread, so the sum of those against BM_Collect shows what
// the run's thread start and hand-offs cost; BM_ThreadStartJoin is one
// thread start (an asynchronous launch of a no-op, awaited) on its own.
#include <benchmark/benchmark.h>
#include <sys/time.h>

#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/types.h"
#include "collect/collectors/collectors.h"
#include "core/risk_sdk.h"
#include "situation/event_list.h"

namespace {

constexpr char kAppKey[] = "3f9a1c2e7b4d4e8f9a0b1c2d3e4f5a6b";
constexpr int kHeldEvents = 20;
constexpr int kThreadedRepetitions = 41;

risk::StringMap phone_properties() {
  return {
      {"deviceType", "phone"},
      {"manufacture", "Example"},
      {"K19", "EXAMPLE"},
      {"K18", "Example Mate 60 Pro"},
      {"productSeries", "ALN"},
      {"K20", "ALN-AL10"},
      {"softwareModel", "ALN-AL10"},
      {"hardwareModel", "ALN-AL10-HW"},
      {"K1315", "bootloader-1.0.0.118"},
      {"K21", "arm64-v8a"},
      {"K1061", "2024-05-01"},
      {"K22", "ALN-AL10 4.1.0.120(SP8C00E118R5P3)"},
      {"K1084", "default"},
      {"osReleaseType", "Release"},
      {"osFullName", "OpenHarmony-4.1.7.5"},
      {"K13", "ALN-AL10_4.1.0.120_C00E118R5P3_P3"},
      {"K1073", "user"},
      {"K1068", "builder"},
      {"K15", "build-host-07"},
      {"K16", "2024-05-21 10:13:44"},
      {"buildRootHash", "9b1d6f3e0c2a4b5d8e7f6a5b4c3d2e1f0a9b8c7d"},
      {"distributionOSName", "ExampleOS"},
      {"K11", "4.2.0"},
      {"distributionOSApiName", "4.1.0(12)"},
      {"distributionOSReleaseType", "Release"},
      {"majorVersion", "4"},
      {"seniorVersion", "1"},
      {"featureVersion", "7"},
      {"buildVersion", "5"},
      {"sdkApiVersion", "12"},
      {"firstApiVersion", "9"},
      {"distributionOSApiVersion", "40200012"},
  };
}

risk::CollectorSources stub_sources() {
  risk::CollectorSources sources;
  sources.get_oaid = [] { return std::string("6f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0"); };
  sources.get_time_info = [] {
    return std::string("{\"timezone\":\"Asia/Shanghai\",\"timeFormat\":\"24\"}");
  };
  sources.get_app_signature = [] { return std::string("2f4e6a8c0b1d3f5e7a9c1b3d5f7e9a0c"); };
  sources.device_properties = [] { return phone_properties(); };
  return sources;
}

// An SDK with the built-in collectors, a remembered installation id and a
// few held events, as after some minutes of an app's life.
class StubSdk : public risk::RiskSdk {
 public:
  StubSdk() {
    initialize();
    register_builtin_collectors(*this, stub_sources());
    risk::SdkFacts facts;
    facts.app_name = "com.example.shop";
    facts.app_version_name = "5.12.0";
    facts.app_version_code = 5012000;
    facts.sdk_version = kSdkVersion;
    set_facts(std::make_shared<const risk::SdkFacts>(facts));
    properties_[risk::kInstallationIdProperty] = "0c8e4d2a-6b1f-4a3e-9d7c-5f2e1b0a9c8d";
    for (int i = 0; i < kHeldEvents; ++i) {
      char message[96];
      std::snprintf(message, sizeof message, "watcher %d: access to /proc/self/maps", i);
      event_list()->add_event(3 + i % 4, 100 + i, message);
    }
  }
  ~StubSdk() override { shutdown(); }

  std::string get_sdk_property(const std::string& key) override { return properties_[key]; }
  void set_sdk_property(const std::string& key, const std::string& value) override {
    properties_[key] = value;
  }

 private:
  risk::StringMap properties_;  // touched by one collector thread at a time
};

StubSdk& sdk() {
  static StubSdk* instance = new StubSdk;  // collectors' threads may outlive main's statics
  return *instance;
}

void BM_Collect(benchmark::State& state) {
  risk::RiskApp* app = sdk().get_app(kAppKey);
  const risk::StringMap params = {{"channel", "store"}};
  size_t keys = 0;
  for (auto _ : state) {
    risk::StringMap result;
    sdk().collect(*app, params, result);
    keys = result.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["keys"] = static_cast<double>(keys);
}
// Thread starts have a long tail on a busy machine (a new thread may wait a
// scheduler tick for a processor): one collect per repetition, so that the
// median of the repetitions is the typical collect.
BENCHMARK(BM_Collect)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(kThreadedRepetitions)
    ->ReportAggregatesOnly(true);

void BM_ThreadStartJoin(benchmark::State& state) {
  for (auto _ : state) std::async(std::launch::async, [] {}).get();
}
BENCHMARK(BM_ThreadStartJoin)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(10 * kThreadedRepetitions)
    ->ReportAggregatesOnly(true);

void BM_Collector(benchmark::State& state, const risk::Collector& fn) {
  risk::RiskApp* app = sdk().get_app(kAppKey);
  for (auto _ : state) {
    risk::StringMap result;
    fn(*app, result, nullptr);
    benchmark::DoNotOptimize(result);
  }
}

void register_collector_benchmarks() {
  static const auto collectors = risk::builtin_collectors(stub_sources());
  // In run order (the reverse of registration).
  for (auto it = collectors.rbegin(); it != collectors.rend(); ++it) {
    benchmark::RegisterBenchmark(("BM_Collector/" + it->first).c_str(), BM_Collector, it->second)
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_collector_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
