#include "collect/collector.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "core/risk_sdk.h"

namespace risk {
namespace {

constexpr auto kPatience = std::chrono::seconds(30);

Mutex g_log_mutex;
CondVar g_log_changed{&g_log_mutex};
std::vector<std::string> g_log_lines GUARDED_BY(g_log_mutex);

void capture_log(const char*, const char* text) {
  MutexLock hold(&g_log_mutex);
  g_log_lines.emplace_back(text);
  g_log_changed.notify_all();
}

bool log_contains(const std::string& line) {
  MutexLock hold(&g_log_mutex);
  for (const std::string& seen : g_log_lines) {
    if (seen == line) return true;
  }
  return false;
}

// Blocks until line has been logged; false after the (generous) patience.
bool wait_for_log(const std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  MutexLock hold(&g_log_mutex);
  for (;;) {
    const bool seen = std::count(g_log_lines.begin(), g_log_lines.end(), line) != 0;
    if (seen || !g_log_changed.wait_until(deadline)) return seen;
  }
}

// The skip list as a service seals it, made with OpenSSL rather than our own
// AES: AES-256-ECB under the 32 key bytes, PKCS#7, standard Base64.
std::string seal_skip_list(const std::string& names, const char* key = kSkipListKey) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> sealed(names.size() + 32);
  int first = 0;
  int last = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key),
                     nullptr);
  EVP_EncryptUpdate(ctx, sealed.data(), &first,
                    reinterpret_cast<const unsigned char*>(names.data()),
                    static_cast<int>(names.size()));
  EVP_EncryptFinal_ex(ctx, sealed.data() + first, &last);
  EVP_CIPHER_CTX_free(ctx);
  std::vector<unsigned char> text(4 * ((first + last + 2) / 3) + 1);
  int length = EVP_EncodeBlock(text.data(), sealed.data(), first + last);
  return std::string(reinterpret_cast<const char*>(text.data()), length);
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class CollectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      MutexLock hold(&g_log_mutex);
      g_log_lines.clear();
    }
    set_log_hook(&capture_log);
    app_ = sdk_.get_app("app-key");
  }
  void TearDown() override { set_log_hook(nullptr); }

  // A collector that stores key = value and notes that it ran.
  void add_writer(const std::string& name, const std::string& key, int sleep = 0) {
    sdk_.register_collector(
        name, [this, name, key, sleep](RiskApp& app, StringMap& out, void* ctx) {
          EXPECT_EQ(&app, app_);
          EXPECT_EQ(ctx, nullptr);
          EXPECT_EQ(++running_, 1) << name << " overlaps another collector";
          EXPECT_NE(std::this_thread::get_id(), caller_) << name << " ran on the caller's thread";
          if (sleep > 0) sleep_ms(sleep);
          ran_.push_back(name);
          threads_.push_back(std::this_thread::get_id());
          out[key] = name;
          --running_;
        });
  }

  // The threads the collectors ran on, in run order.
  std::vector<std::thread::id> threads() const { return threads_; }

  StringMap collect(const StringMap& params) {
    StringMap result;
    caller_ = std::this_thread::get_id();
    sdk_.collect(*app_, params, result);
    return result;
  }

  RiskSdk sdk_;
  RiskApp* app_ = nullptr;
  std::thread::id caller_;
  std::atomic<int> running_{0};
  std::vector<std::string> ran_;          // written by one collector at a time
  std::vector<std::thread::id> threads_;  // likewise
};

TEST_F(CollectTest, RunsCollectorsOneAtATimeNewestFirst) {
  add_writer("device_info", "K1", 20);
  add_writer("oaid", "K2", 20);
  add_writer("extra", "K3", 20);
  StringMap result = collect({});
  EXPECT_EQ(ran_, (std::vector<std::string>{"extra", "oaid", "device_info"}));
  EXPECT_EQ(result.at("K1"), "device_info");
  EXPECT_EQ(result.at("K450"), "");
  EXPECT_TRUE(log_contains("async collect timeout: 500"));
}

// One thread serves the whole run: a thread start per collector would put
// a start and a wake-up of the caller on every collector's path.
TEST_F(CollectTest, CollectorsShareOneThreadOfTheRun) {
  add_writer("c", "K3");
  add_writer("b", "K2");
  add_writer("a", "K1");
  collect({});
  const std::vector<std::thread::id> run = threads();
  ASSERT_EQ(run.size(), 3u);
  EXPECT_EQ(run[1], run[0]);
  EXPECT_EQ(run[2], run[0]);
}

// The limit counts from each collector's own start, not from the run's:
// three collectors within it each stay unreported though together they
// take longer than it.
TEST_F(CollectTest, EachLimitCountsFromTheCollectorsOwnStart) {
  add_writer("third", "K3", 200);
  add_writer("second", "K2", 200);
  add_writer("first", "K1", 200);
  StringMap result = collect({{"PRIVATE_COLLECT_TIMEOUT", "500"}});
  EXPECT_EQ(result.at("K450"), "");
  EXPECT_GE(std::stoll(result.at("K300")), 600);
}

TEST_F(CollectTest, DuplicateNamesBothRun) {
  add_writer("same", "K1");
  add_writer("same", "K2");
  StringMap result = collect({});
  EXPECT_EQ(ran_.size(), 2u);
  EXPECT_EQ(result.count("K1") + result.count("K2"), 2u);
}

TEST_F(CollectTest, SealedSkipListSkipsNamedCollectors) {
  add_writer("cpu_info", "K30");
  add_writer("fonts_hash", "K60");
  add_writer("mem_info", "K66-1");
  add_writer("uuid", "K58");
  StringMap result = collect({{"PRIVATE_BLACK", seal_skip_list("mem_info|fonts_hash|no_such")}});
  EXPECT_EQ(ran_, (std::vector<std::string>{"uuid", "cpu_info"}));
  EXPECT_EQ(result.count("K60"), 0u);
  EXPECT_EQ(result.count("K66-1"), 0u);
  EXPECT_EQ(result.at("K30"), "cpu_info");
  // The skip list is a setting, not caller data.
  EXPECT_EQ(result.count("user_PRIVATE_BLACK"), 0u);
}

TEST_F(CollectTest, UnusableSkipListSkipsNothing) {
  add_writer("mem_info", "K66-1");
  add_writer("cpu_info", "K30");
  const std::string sealed = seal_skip_list("mem_info|cpu_info");
  const std::vector<std::string> unusable = {
      "not base64 at all!", sealed.substr(0, 20),                               // not whole blocks
      "",                                                                       // empty: no list
      seal_skip_list("mem_info|cpu_info", "0123456789abcdef0123456789abcdef"),  // other key
  };
  for (const std::string& value : unusable) {
    ran_.clear();
    StringMap result = collect({{"PRIVATE_BLACK", value}});
    EXPECT_EQ(ran_.size(), 2u) << "PRIVATE_BLACK=" << value;
  }
  // The intact list does skip both: the cases above failed for their own reasons.
  ran_.clear();
  collect({{"PRIVATE_BLACK", sealed}});
  EXPECT_TRUE(ran_.empty());
}

// Blocks until collect has reported it late, so lateness does not depend on
// the machine's speed.
std::atomic<bool> g_late_collector_done{false};

TEST_F(CollectTest, LateCollectorIsReportedButAwaitedWithItsKeys) {
  g_late_collector_done = false;
  std::thread::id late_thread;
  std::thread::id after_thread;
  sdk_.register_collector("after", [&after_thread](RiskApp&, StringMap& out, void*) {
    // The late one ended before this one started.
    EXPECT_TRUE(g_late_collector_done.load());
    EXPECT_EQ(out.count("K-late"), 1u);
    out["K-after"] = "1";
    after_thread = std::this_thread::get_id();
  });
  sdk_.register_collector("slow", [&late_thread](RiskApp&, StringMap& out, void*) {
    EXPECT_TRUE(wait_for_log("action 'slow' timed out 50"));
    sleep_ms(100);  // still running well after the report
    out["K-late"] = "delivered";
    late_thread = std::this_thread::get_id();
    g_late_collector_done = true;
  });
  StringMap result = collect({{"PRIVATE_COLLECT_TIMEOUT", "50"}});
  EXPECT_EQ(result.at("K450"), "slow,");
  EXPECT_EQ(result.at("K-late"), "delivered");
  EXPECT_EQ(result.at("K-after"), "1");
  EXPECT_TRUE(log_contains("async collect timeout: 50"));
  EXPECT_GE(std::stoll(result.at("K300")), 100);  // covers the late collector's whole run
  // The thread that ran the late one goes on with the next.
  EXPECT_EQ(after_thread, late_thread);
}

// After a late collector the next one's limit is watched from its own
// start: a second late one is reported while it still runs, and a quick one
// after them is not.
TEST_F(CollectTest, CollectorAfterALateOneIsWatchedToo) {
  add_writer("quick", "K3");
  sdk_.register_collector("slow_b", [](RiskApp&, StringMap& out, void*) {
    EXPECT_TRUE(wait_for_log("action 'slow_b' timed out 300"));
    out["K2"] = "b";
  });
  sdk_.register_collector("slow_a", [](RiskApp&, StringMap& out, void*) {
    EXPECT_TRUE(wait_for_log("action 'slow_a' timed out 300"));
    out["K1"] = "a";
  });
  StringMap result = collect({{"PRIVATE_COLLECT_TIMEOUT", "300"}});
  EXPECT_EQ(result.at("K450"), "slow_a,slow_b,");
  EXPECT_EQ(result.at("K1"), "a");
  EXPECT_EQ(result.at("K2"), "b");
  EXPECT_EQ(result.at("K3"), "quick");
}

TEST_F(CollectTest, LateThrowingCollectorIsIgnored) {
  sdk_.register_collector("thrower", [](RiskApp&, StringMap& out, void*) {
    EXPECT_TRUE(wait_for_log("action 'thrower' timed out 0"));
    out["K1"] = "x";
    throw std::runtime_error("too late to matter");
  });
  StringMap result;
  EXPECT_NO_THROW(result = collect({{"PRIVATE_COLLECT_TIMEOUT", "0"}}));
  EXPECT_EQ(result.at("K450"), "thrower,");
  EXPECT_EQ(result.at("K1"), "x");
  EXPECT_TRUE(log_contains("collector 'thrower' failed: too late to matter"));
}

TEST_F(CollectTest, LimitIsReadLikeAtoi) {
  add_writer("slow_b", "Kb", 100);
  add_writer("slow_a", "Ka", 100);
  struct Case {
    const char* text;
    const char* logged;
  };
  const Case cases[] = {
      {"0", "async collect timeout: 0"},       {"abc", "async collect timeout: 0"},
      {"", "async collect timeout: 0"},        {"-5", "async collect timeout: -5"},
      {"  20ms", "async collect timeout: 20"},
  };
  for (const Case& c : cases) {
    StringMap result = collect({{"PRIVATE_COLLECT_TIMEOUT", c.text}});
    EXPECT_TRUE(log_contains(c.logged)) << c.text;
    // Both sleep 100 ms, longer than every limit here; both still deliver.
    EXPECT_EQ(result.at("K450"), "slow_a,slow_b,") << c.text;
    EXPECT_EQ(result.at("Ka"), "slow_a");
    EXPECT_EQ(result.at("Kb"), "slow_b");
  }
  collect({{"PRIVATE_COLLECT_TIMEOUT", "99999999999999999999"}});
  EXPECT_TRUE(log_contains("async collect timeout: 2147483647"));
}

TEST_F(CollectTest, CallerDataIsCopiedUnderUserPrefix) {
  StringMap result = {{"K300", "stale"}, {"K450", "stale,"}};
  caller_ = std::this_thread::get_id();
  sdk_.collect(*app_,
               {{"KEY_A", "1"},
                {"PRIVATE_B", "2"},
                {"c", "3"},
                {"key_d", ""},
                {"", "e"},
                {"Private_x", "4"}},
               result);
  EXPECT_EQ(result.at("user_c"), "3");
  EXPECT_EQ(result.at("user_key_d"), "");
  EXPECT_EQ(result.at("user_"), "e");
  EXPECT_EQ(result.at("user_Private_x"), "4");
  EXPECT_EQ(result.count("user_KEY_A"), 0u);
  EXPECT_EQ(result.count("user_PRIVATE_B"), 0u);
  EXPECT_EQ(result.count("KEY_A"), 0u);
  EXPECT_EQ(result.at("K450"), "");
  EXPECT_NE(result.at("K300"), "stale");
  EXPECT_EQ(result.size(), 6u);
}

TEST_F(CollectTest, ThrowingCollectorStopsCollectWithPartialResult) {
  add_writer("third", "K3");
  sdk_.register_collector("second", [](RiskApp&, StringMap& out, void*) {
    out["K2"] = "partial";
    throw std::runtime_error("boom");
  });
  add_writer("first", "K1");
  StringMap result;
  caller_ = std::this_thread::get_id();
  try {
    sdk_.collect(*app_, {{"c", "3"}}, result);
    ADD_FAILURE() << "collect did not rethrow";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "boom");
  }
  EXPECT_EQ(ran_, (std::vector<std::string>{"first"}));
  EXPECT_EQ(result, (StringMap{{"K1", "first"}, {"K2", "partial"}}));
  EXPECT_TRUE(log_contains("collector 'second' failed: boom"));
}

TEST(PutValueTest, SkipsEmptyKeysEmptyValuesAndNull) {
  StringMap map = {{"k", "old"}};
  put_value(map, "k", "null");
  put_value(map, "k", "");
  put_value(map, "", "v");
  put_value(map, nullptr, "v");
  put_value(map, "k", static_cast<const char*>(nullptr));
  EXPECT_EQ(map, (StringMap{{"k", "old"}}));
  put_value(map, "a", "nul");
  put_value(map, "b", "NULL");
  put_value(map, std::string("k"), std::string("new"));
  EXPECT_EQ(map, (StringMap{{"a", "nul"}, {"b", "NULL"}, {"k", "new"}}));
}

TEST(MergeJsonObjectTest, StoresOnlyUsableStringMembers) {
  StringMap map;
  merge_json_object(map, R"({"a": "x", "b": 1, "c": "null", "d": "", "e": {"f": "g"}})");
  EXPECT_EQ(map, (StringMap{{"a", "x"}}));
}

TEST(MergeJsonObjectTest, IgnoresEverythingButObjects) {
  StringMap map = {{"keep", "1"}};
  for (const char* text : {"", "null", "[\"a\"]", "42", "\"s\"", "{\"a\": \"x\"",
                           "{\"a\": \"x\"} x", "// c\n{\"a\": \"x\"}"}) {
    merge_json_object(map, text);
  }
  EXPECT_EQ(map, (StringMap{{"keep", "1"}}));
}

}  // namespace
}  // namespace risk
