#include "collect/collectors/collectors.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/sysfile.h"
#include "base/thread_annotations.h"
#include "core/risk_sdk.h"
#include "crypto/json/json11.h"
#include "situation/event_list.h"

namespace risk {
namespace {

using json11::Json;

const std::string kTestData = std::string(RISK_SOURCE_DIR) + "/collect/testdata";
const std::string kPhone = kTestData + "/phone";
const std::string kServer = kTestData + "/server";

// 2023-11-14T22:13:20.987654Z.
constexpr time_t kWallSeconds = 1700000000;
constexpr suseconds_t kWallMicros = 987654;

// MD5 by OpenSSL, lowercase hex: the reference for "K60".
std::string openssl_md5_hex(const std::string& text) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// Base64 of the AES-256-ECB (PKCS#7) sealing of text under key, by OpenSSL.
std::string openssl_seal_skip_list(const std::string& text) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> sealed(text.size() + 32);
  int first = 0;
  int last = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr,
                     reinterpret_cast<const unsigned char*>(kSkipListKey), nullptr);
  EVP_EncryptUpdate(ctx, sealed.data(), &first, reinterpret_cast<const unsigned char*>(text.data()),
                    int(text.size()));
  EVP_EncryptFinal_ex(ctx, sealed.data() + first, &last);
  EVP_CIPHER_CTX_free(ctx);
  std::vector<unsigned char> base64(4 * ((first + last + 2) / 3) + 1);
  const int size = EVP_EncodeBlock(base64.data(), sealed.data(), first + last);
  return std::string(reinterpret_cast<char*>(base64.data()), size_t(size));
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A temporary directory removed with everything below it.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/collectors_test.XXXXXX";
    const char* made = ::mkdtemp(name);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  // Creates the directories of path below the root and returns the full path.
  std::string file(const std::string& relative) const {
    const std::string full = path_ + "/" + relative;
    std::system(("mkdir -p \"$(dirname '" + full + "')\"").c_str());
    return full;
  }

 private:
  std::string path_;
};

// An SDK whose persistent properties live in memory, recording every access
// in the shared call log.
class MemorySdk : public RiskSdk {
 public:
  explicit MemorySdk(std::vector<std::string>* calls) : calls_(calls) {}

  std::string get_sdk_property(const std::string& key) override {
    MutexLock hold(&mutex_);
    calls_->push_back(std::string("get_property ") + key);
    auto found = store_.find(key);
    return found != store_.end() ? found->second : std::string();
  }
  void set_sdk_property(const std::string& key, const std::string& value) override {
    MutexLock hold(&mutex_);
    calls_->push_back(std::string("set_property ") + key);
    store_[key] = value;
  }
  std::map<std::string, std::string> store() {
    MutexLock hold(&mutex_);
    return store_;
  }

 private:
  std::vector<std::string>* calls_;
  Mutex mutex_;
  std::map<std::string, std::string> store_ GUARDED_BY(mutex_);
};

class CollectorsTest : public ::testing::Test {
 protected:
  CollectorsTest() : sdk_(&calls_) {
    sdk_.initialize();
    app_ = sdk_.get_app("app-key");
    sources_.root = kPhone;
    sources_.clock = [this]() {
      calls_.push_back("clock");
      struct timeval tv {};
      tv.tv_sec = kWallSeconds;
      tv.tv_usec = kWallMicros;
      return tv;
    };
    sources_.uname = [this](std::string* release, std::string* version) {
      calls_.push_back("uname");
      *release = "5.10.43-test";
      *version = "#1 SMP PREEMPT Tue Mar 1 00:00:00 UTC 2022";
      return true;
    };
    sources_.get_oaid = [this]() {
      calls_.push_back("getOaid");
      return oaid_;
    };
    sources_.get_time_info = [this]() {
      calls_.push_back("getTimeInfo");
      return time_info_;
    };
    sources_.get_app_signature = [this]() {
      calls_.push_back("getAppSignature");
      return signature_;
    };
    sources_.device_properties = [this]() {
      calls_.push_back("device_properties");
      return device_properties_;
    };
  }

  // Runs the built-in collector called name alone into a fresh map.
  StringMap run(const std::string& name) {
    StringMap out;
    for (auto& collector : builtin_collectors(sources_)) {
      if (collector.first == name) {
        collector.second(*app_, out, nullptr);
        return out;
      }
    }
    ADD_FAILURE() << "no collector " << name;
    return out;
  }

  std::vector<std::string> calls_;
  MemorySdk sdk_;
  RiskApp* app_ = nullptr;
  CollectorSources sources_;
  std::string oaid_;
  std::string time_info_;
  std::string signature_;
  StringMap device_properties_;
};

// "xxxxxxxx-xxxx-4xxx-[89ab]xxx-xxxxxxxxxxxx" in lowercase hexadecimal.
bool is_uuid_v4(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return text[14] == '4' && std::string("89ab").find(text[19]) != std::string::npos;
}

std::vector<std::string> keys_of(const StringMap& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  return keys;
}

// ------------------------------------------------------------ registration

TEST_F(CollectorsTest, RegistersTheElevenInOrder) {
  std::vector<std::string> names;
  for (const auto& collector : builtin_collectors(sources_)) names.push_back(collector.first);
  EXPECT_EQ(names, (std::vector<std::string>{"event_history", "hard_id_list", "app_info",
                                             "cpu_info", "fonts_hash", "mem_info", "app_sign_md5",
                                             "uuid", "times_info", "oaid", "device_info"}));
}

TEST_F(CollectorsTest, CollectRunsThemFromDeviceInfoToEventHistory) {
  register_builtin_collectors(sdk_, sources_);
  StringMap result;
  sdk_.collect(*app_, StringMap{}, result);
  // The services each collector calls, in the order they were called.
  EXPECT_EQ(calls_, (std::vector<std::string>{
                        "device_properties",                                     // device_info
                        "getOaid",                                               // oaid
                        "clock", "getTimeInfo", "clock",                         // times_info
                        std::string("get_property ") + kInstallationIdProperty,  // uuid
                        std::string("set_property ") + kInstallationIdProperty,
                        "getAppSignature",  // app_sign_md5
                        "uname",            // hard_id_list
                    }));
  EXPECT_EQ(result["K450"], "");
  // Every key the phone fixture yields, and the bookkeeping keys of collect.
  EXPECT_EQ(keys_of(result),
            (std::vector<std::string>{"K200",  "K202",  "K205",  "K290", "K291", "K292", "K293",
                                      "K30",   "K300",  "K31",   "K33",  "K34",  "K35",  "K36",
                                      "K37",   "K39",   "K41",   "K450", "K58",  "K60",  "K66-1",
                                      "K66-2", "K67-1", "K67-2", "K850"}));
}

TEST_F(CollectorsTest, SkipListLeavesOutMemoryAndFonts) {
  register_builtin_collectors(sdk_, sources_);
  StringMap result;
  sdk_.collect(*app_, StringMap{{"PRIVATE_BLACK", openssl_seal_skip_list("mem_info|fonts_hash")}},
               result);
  for (const char* key : {"K66-1", "K66-2", "K67-1", "K67-2", "K60"}) {
    EXPECT_EQ(result.count(key), 0u) << key;
  }
  EXPECT_EQ(result.count("K31"), 1u);
  EXPECT_EQ(result.count("K58"), 1u);
}

// ---------------------------------------------------------------- cpu_info

TEST_F(CollectorsTest, CpuInfoTakesTheLastBlockAndIgnoresLowercaseProcessor) {
  const StringMap out = run("cpu_info");
  EXPECT_EQ(out.at("K31"), "fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid");
  // The "Processor" line comes first; the four "processor" lines after it
  // must not replace it.
  EXPECT_EQ(out.at("K37"), "AArch64 Processor rev 4");
  EXPECT_EQ(out.at("K33"), "Hisilicon Kirin 990");
  EXPECT_EQ(out.at("K36"), "kirin990");
  EXPECT_EQ(out.count("K32"), 0u);
  EXPECT_EQ(out.at("K30"), std::to_string(get_nprocs_conf()));
  EXPECT_EQ(out.at("K34"), "2600000");
  EXPECT_EQ(out.at("K35"), "300000");
  EXPECT_EQ(out.at("K39"), "1800000");
  EXPECT_EQ(out.at("K41"), "0-3");
  // No thermal zone: no "K40", the rest unaffected.
  EXPECT_EQ(out.count("K40"), 0u);
  EXPECT_EQ(out.size(), 9u);
}

TEST_F(CollectorsTest, CpuInfoNamesAreCaseSensitiveAndPutSkipsEmptyAndNull) {
  sources_.root = kServer;
  const StringMap out = run("cpu_info");
  // The second "flags" line wins; "Flags" is another name.
  EXPECT_EQ(out.at("K32"), "fpu vme de pse tsc msr sse4_2 hypervisor lahf_lm");
  EXPECT_EQ(out.count("K31"), 0u);
  EXPECT_EQ(out.count("K37"), 0u);  // "Processor" without a colon
  EXPECT_EQ(out.at("K40"), "41000");
  EXPECT_EQ(out.count("K34"), 0u);  // first line empty
  EXPECT_EQ(out.count("K35"), 0u);  // "null"
  EXPECT_EQ(out.count("K39"), 0u);  // missing
  EXPECT_EQ(out.at("K41"), "0-1");
}

TEST_F(CollectorsTest, CpuInfoWithoutAnyFileStillCountsProcessors) {
  sources_.root = kTestData + "/missing";
  const StringMap out = run("cpu_info");
  EXPECT_EQ(keys_of(out), std::vector<std::string>{"K30"});
}

// ---------------------------------------------------------------- mem_info

TEST_F(CollectorsTest, MemInfoKeepsTheUnitAndMultipliesBlocks) {
  const StringMap out = run("mem_info");
  EXPECT_EQ(out.at("K66-1"), "512 kB");
  EXPECT_EQ(out.at("K66-2"), "128 kB");
  struct statfs stats {};
  ASSERT_EQ(::statfs((kPhone + "/data").c_str(), &stats), 0);
  const unsigned long long size = stats.f_bsize;
  const unsigned long long total = stats.f_blocks * size;
  const unsigned long long free = std::stoull(out.at("K67-1"));
  // Free space moves while the test runs; it stays a whole number of
  // blocks, no more than the total.
  EXPECT_EQ(free % size, 0u);
  EXPECT_LE(free, total);
  EXPECT_EQ(out.at("K67-2"), std::to_string(total));
}

TEST_F(CollectorsTest, MemInfoStoresAnEmptyTotalAndSkipsMissingLines) {
  sources_.root = kServer;
  const StringMap out = run("mem_info");
  // "always": the empty value of "MemTotal:" is stored.
  ASSERT_EQ(out.count("K66-1"), 1u);
  EXPECT_EQ(out.at("K66-1"), "");
  EXPECT_EQ(out.count("K66-2"), 0u);
  EXPECT_EQ(out.count("K67-1"), 0u);  // no /data below the root
  EXPECT_EQ(out.count("K67-2"), 0u);
}

// -------------------------------------------------------------- fonts_hash

// The MD5 of names joined in one of their possible listing orders, "" when
// hash matches none (the file system decides the order).
std::string matching_listing(const std::string& hash, std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  do {
    std::string text;
    for (const auto& name : names) text += name + "_";
    if (openssl_md5_hex(text) == hash) return text;
  } while (std::next_permutation(names.begin(), names.end()));
  return "";
}

TEST_F(CollectorsTest, FontsHashListsFilesButNotTheSubdirectory) {
  const StringMap out = run("fonts_hash");
  ASSERT_EQ(out.count("K60"), 1u);
  // "a.ttf_b.ttf_" when the file system lists a.ttf first; neither the
  // subdirectory nor the font inside it takes part.
  EXPECT_NE(matching_listing(out.at("K60"), {"a.ttf", "b.ttf"}), "") << out.at("K60");
}

TEST_F(CollectorsTest, FontsHashOfAnEmptyDirectoryIsTheEmptyDigest) {
  TempDir root;
  ASSERT_EQ(::mkdir(root.file("system/fonts").c_str(), 0755), 0);
  sources_.root = root.path();
  EXPECT_EQ(run("fonts_hash").at("K60"), openssl_md5_hex(""));
  EXPECT_EQ(openssl_md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(CollectorsTest, FontsHashIncludesSymbolicLinks) {
  TempDir root;
  write_file(root.file("system/fonts/x.ttf"), "x");
  ASSERT_EQ(::symlink("x.ttf", root.file("system/fonts/y.ttf").c_str()), 0);
  ASSERT_EQ(::mkdir(root.file("system/fonts/dir").c_str(), 0755), 0);
  sources_.root = root.path();
  EXPECT_NE(matching_listing(run("fonts_hash").at("K60"), {"x.ttf", "y.ttf"}), "");
}

TEST_F(CollectorsTest, FontsHashWithoutTheDirectoryWritesNothing) {
  sources_.root = kServer;
  EXPECT_TRUE(run("fonts_hash").empty());
}

// -------------------------------------------------------------- times_info

TEST_F(CollectorsTest, TimesInfoTakesBootTimeFromUptimeAndClock) {
  const StringMap out = run("times_info");
  EXPECT_EQ(out.at("K200"), "1700000000987");
  EXPECT_EQ(out.at("K202"), "1699999900");  // T - 100 (100.75 truncated)
  EXPECT_EQ(out.at("K205"), "100.75 200.00");
  EXPECT_EQ(out.size(), 3u);
}

TEST_F(CollectorsTest, TimesInfoMergesStringMembersBetweenClockAndUptime) {
  time_info_ = R"({"K200": "script", "K202": "script", "zone": "Asia/Shanghai", "offset": 480,)"
               R"( "dst": "null", "empty": ""})";
  const StringMap out = run("times_info");
  EXPECT_EQ(out.at("K200"), "script");      // the merge comes after "K200"
  EXPECT_EQ(out.at("K202"), "1699999900");  // and before the uptime
  EXPECT_EQ(out.at("zone"), "Asia/Shanghai");
  EXPECT_EQ(out.count("offset"), 0u);
  EXPECT_EQ(out.count("dst"), 0u);
  EXPECT_EQ(out.count("empty"), 0u);
}

TEST_F(CollectorsTest, TimesInfoWithEmptyUptimeWritesOnlyTheClock) {
  sources_.root = kServer;
  time_info_ = "[1, 2]";
  const StringMap out = run("times_info");
  EXPECT_EQ(keys_of(out), std::vector<std::string>{"K200"});
}

TEST_F(CollectorsTest, TimesInfoHoldsUptimeInSinglePrecision) {
  TempDir root;
  // Floats above 2^24 are 2 apart: 16777217.60 becomes 16777218, where a
  // double would give 16777217.
  write_file(root.file("proc/uptime"), "16777217.60 5.00\n");
  sources_.root = root.path();
  const StringMap out = run("times_info");
  EXPECT_EQ(out.at("K202"), std::to_string(kWallSeconds - 16777218));
  EXPECT_EQ(out.at("K205"), "16777217.60 5.00");
}

TEST_F(CollectorsTest, TimesInfoMissingNumbersCountAsZero) {
  TempDir root;
  write_file(root.file("proc/uptime"), "  up  \n");
  sources_.root = root.path();
  const StringMap out = run("times_info");
  EXPECT_EQ(out.at("K202"), std::to_string(kWallSeconds));
  EXPECT_EQ(out.at("K205"), "up");
}

TEST_F(CollectorsTest, TimesInfoSkipsBootTimeOfAnUptimeNoIntegerHolds) {
  TempDir root;
  write_file(root.file("proc/uptime"), "nan 1\n");
  sources_.root = root.path();
  StringMap out = run("times_info");
  EXPECT_EQ(out.count("K202"), 0u);
  EXPECT_EQ(out.at("K205"), "nan 1");
  write_file(root.file("proc/uptime"), "1e30 1\n");
  out = run("times_info");
  EXPECT_EQ(out.count("K202"), 0u);
}

// -------------------------------------------------------------------- oaid

TEST_F(CollectorsTest, OaidStoresARealIdentifier) {
  oaid_ = "7a1f3c2e-9b4d-4e6f-8a0b-1c2d3e4f5a6b";
  EXPECT_EQ(run("oaid"), (StringMap{{"K353", oaid_}}));
}

TEST_F(CollectorsTest, OaidSkipsTheZeroIdentifierAndNoAnswer) {
  oaid_ = "00000000-0000-0000-0000-000000000000";
  EXPECT_TRUE(run("oaid").empty());
  oaid_ = "";
  EXPECT_TRUE(run("oaid").empty());
  sources_.get_oaid = nullptr;
  EXPECT_TRUE(run("oaid").empty());
}

// -------------------------------------------------------------------- uuid

TEST_F(CollectorsTest, UuidIsCreatedOnceAndComesBack) {
  const StringMap first = run("uuid");
  ASSERT_EQ(first.count("K58"), 1u);
  const std::string id = first.at("K58");
  EXPECT_TRUE(is_uuid_v4(id)) << id;
  EXPECT_EQ(sdk_.store().at(kInstallationIdProperty), id);

  calls_.clear();
  const StringMap second = run("uuid");
  EXPECT_EQ(second.at("K58"), id);
  // Read, not written again.
  EXPECT_EQ(calls_,
            std::vector<std::string>{std::string("get_property ") + kInstallationIdProperty});
}

TEST_F(CollectorsTest, UuidReportsAStoredIdentifierUnchanged) {
  sdk_.set_sdk_property(kInstallationIdProperty, "from-the-service");
  calls_.clear();
  EXPECT_EQ(run("uuid"), (StringMap{{"K58", "from-the-service"}}));
  EXPECT_EQ(calls_.size(), 1u);
}

// A store read answers only once the other readers have read too (or after
// a moment), so that readers that are not serialised all find the store
// still empty.
class CrowdedSdk : public MemorySdk {
 public:
  CrowdedSdk(std::vector<std::string>* calls, int crowd) : MemorySdk(calls), crowd_(crowd) {}
  std::string get_sdk_property(const std::string& key) override {
    std::string value = MemorySdk::get_sdk_property(key);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
    MutexLock hold(&mutex_);
    ++read_;
    read_changed_.notify_all();
    while (read_ < crowd_) {
      if (!read_changed_.wait_until(deadline)) break;
    }
    return value;
  }

 private:
  const int crowd_;
  Mutex mutex_;
  CondVar read_changed_{&mutex_};
  int read_ GUARDED_BY(mutex_) = 0;
};

TEST(UuidAtFirstStart, ApplicationsCollectingAtOnceShareOneIdentifier) {
  constexpr int kApps = 6;
  std::vector<std::string> calls;
  CrowdedSdk sdk(&calls, kApps);
  sdk.initialize();
  Collector uuid;
  for (auto& collector : builtin_collectors(CollectorSources())) {
    if (collector.first == "uuid") uuid = collector.second;
  }
  ASSERT_TRUE(uuid);
  std::vector<StringMap> results(kApps);
  std::vector<std::thread> threads;
  for (int i = 0; i < kApps; ++i) {
    RiskApp* app = sdk.get_app("app-" + std::to_string(i));
    ASSERT_NE(app, nullptr);
    threads.emplace_back([&, app, i] { uuid(*app, results[i], nullptr); });
  }
  for (auto& thread : threads) thread.join();

  const std::string stored = sdk.store()[kInstallationIdProperty];
  EXPECT_TRUE(is_uuid_v4(stored)) << stored;
  for (int i = 0; i < kApps; ++i) EXPECT_EQ(results[i]["K58"], stored) << "application " << i;
  EXPECT_EQ(std::count(calls.begin(), calls.end(),
                       std::string("set_property ") + kInstallationIdProperty),
            1);
}

// ------------------------------------------------------------ app_sign_md5

TEST_F(CollectorsTest, AppSignIsStoredAsItComes) {
  signature_ = "3082 01a4 ABCDEF";
  EXPECT_EQ(run("app_sign_md5"), (StringMap{{"K7", signature_}}));
  signature_ = "";
  EXPECT_TRUE(run("app_sign_md5").empty());
}

// ---------------------------------------------------------------- app_info

TEST_F(CollectorsTest, AppInfoWritesZeroWhenVersionCodeWasNeverSet) {
  SdkFacts facts;
  facts.app_name = "Demo";
  sdk_.set_facts(std::make_shared<const SdkFacts>(facts));
  EXPECT_EQ(run("app_info"), (StringMap{{"K2", "Demo"}, {"K850", "0"}}));
}

TEST_F(CollectorsTest, AppInfoWritesVersionCodeUnsigned) {
  SdkFacts facts;
  facts.app_version_name = "1.2.3";
  facts.app_version_code = 4294967297;
  sdk_.set_facts(std::make_shared<const SdkFacts>(facts));
  EXPECT_EQ(run("app_info"), (StringMap{{"K4", "1.2.3"}, {"K850", "4294967297"}}));
  facts.app_version_code = -1;
  sdk_.set_facts(std::make_shared<const SdkFacts>(facts));
  EXPECT_EQ(run("app_info").at("K850"), "18446744073709551615");
}

// ------------------------------------------------------------ hard_id_list

TEST_F(CollectorsTest, HardIdsReadTheKernelFilesAndUname) {
  EXPECT_EQ(run("hard_id_list"),
            (StringMap{{"K290", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"},
                       {"K291", "11111111-2222-4333-8444-555555555555"},
                       {"K292", "5.10.43-test"},
                       {"K293", "#1 SMP PREEMPT Tue Mar 1 00:00:00 UTC 2022"}}));
}

TEST_F(CollectorsTest, HardIdsWithoutUnameLeaveBothFieldsOut) {
  sources_.uname = [](std::string* release, std::string* version) {
    *release = "written before failing";
    *version = "written before failing";
    return false;
  };
  const StringMap out = run("hard_id_list");
  EXPECT_EQ(out.count("K292"), 0u);
  EXPECT_EQ(out.count("K293"), 0u);
  EXPECT_EQ(out.size(), 2u);
}

TEST_F(CollectorsTest, HardIdsOfThisMachineMatchItsKernelFiles) {
  sources_ = CollectorSources{};
  const StringMap out = run("hard_id_list");
  const std::string boot_id = read_text("/proc/sys/kernel/random/boot_id");
  if (!boot_id.empty()) {
    EXPECT_EQ(out.at("K290"), boot_id);
  }
  const std::string fresh = read_text("/proc/sys/kernel/random/uuid");
  if (!fresh.empty()) {
    EXPECT_EQ(out.at("K291").size(), 36u);
    EXPECT_NE(out.at("K291"), fresh);  // a new one on every read
  }
  EXPECT_EQ(out.at("K292"), read_text("/proc/sys/kernel/osrelease"));
  EXPECT_EQ(out.at("K293"), read_text("/proc/sys/kernel/version"));
}

// ----------------------------------------------------------- event_history

TEST_F(CollectorsTest, EventHistoryIsAbsentForAnEmptyList) {
  EXPECT_TRUE(run("event_history").empty());
}

TEST_F(CollectorsTest, EventHistoryCarriesTheHeldEvents) {
  sdk_.event_list()->add_event(701, 1, "tracer attached: pid=42 comm=gdb");
  sdk_.event_list()->add_event(702, 1, "cpu flag: hypervisor");
  const StringMap out = run("event_history");
  ASSERT_EQ(out.count("K350"), 1u);
  std::string error;
  const Json events = Json::parse(out.at("K350"), error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_EQ(events.array_items().size(), 2u);
  EXPECT_EQ(events[0]["event"].int_value(), 701);
  EXPECT_EQ(events[0]["code"].int_value(), 1);
  EXPECT_EQ(events[0]["msg"].string_value(), "tracer attached: pid=42 comm=gdb");
  EXPECT_EQ(events[1]["event"].int_value(), 702);
}

TEST(EventHistory, AbsentBeforeTheListExists) {
  RiskSdk sdk;  // not initialised: no event list
  RiskApp app("k", &sdk);
  StringMap out;
  for (auto& collector : builtin_collectors(CollectorSources{})) {
    if (collector.first == "event_history") collector.second(app, out, nullptr);
  }
  EXPECT_TRUE(out.empty());
}

// ------------------------------------------------------------- device_info

TEST_F(CollectorsTest, DeviceInfoPutsEveryNonEmptyProperty) {
  device_properties_ = {
      {"K19", "X"}, {"K20", ""}, {"deviceType", "null"}, {"majorVersion", "12"}, {"NULL", "nul"}};
  EXPECT_EQ(run("device_info"), (StringMap{{"K19", "X"}, {"NULL", "nul"}, {"majorVersion", "12"}}));
}

TEST_F(CollectorsTest, UnsetServicesGiveNoKeys) {
  CollectorSources bare;
  bare.root = kTestData + "/missing";
  sources_ = bare;
  for (const char* name : {"device_info", "oaid", "app_sign_md5"}) {
    EXPECT_TRUE(run(name).empty()) << name;
  }
}

}  // namespace
}  // namespace risk
