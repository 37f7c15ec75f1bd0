// Checks the wire bytes against tools independent of this code: Python's
// zipfile and `unzip -t` for archives, `protoc --decode` for messages,
// OpenSSL for the gm cipher and the signatures. The archives under
// core/testdata/ were written by `python3 core/testdata/make_archives.py`.
#include "core/wire.h"

#include <gtest/gtest.h>
#include <minizip/zip.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/strings.h"
#include "core/risk_sdk.h"
#include "core/testing/fake_platform.h"
#include "crypto/cipher_scheme.h"

// The largest single allocation through operator new, so that a test can
// see whether unpack_archive believed an archive's size claim.
static std::atomic<size_t> g_largest_allocation{0};

__attribute__((noinline)) void* operator new(size_t n) {
  size_t seen = g_largest_allocation.load();
  while (n > seen && !g_largest_allocation.compare_exchange_weak(seen, n)) {
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace risk {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string testdata(const std::string& name) {
  return read_file(std::string(RISK_SOURCE_DIR) + "/core/testdata/" + name);
}

// A file under /tmp removed when the object goes.
class TempFile {
 public:
  explicit TempFile(const std::string& content = std::string()) {
    char name[] = "/tmp/wire_test_XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    if (fd >= 0) {
      size_t done = 0;
      while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      ::close(fd);
    }
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct CommandResult {
  int exit_code = -1;
  std::string out;
};

// Runs command through the shell and collects its standard output.
CommandResult run(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) result.out.append(buf, n);
  int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool have_tool(const std::string& name) {
  return run("command -v " + name + " >/dev/null 2>&1").exit_code == 0;
}

std::string random_bytes(size_t n, std::mt19937& rng) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

// Lists the archive at path as Python's zipfile sees it and extracts "data"
// to out_path: "<entries> <name> <method> <extra> <comment> <archive comment>
// <size>" for the first entry.
constexpr char kZipfileReport[] = R"(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
bad = z.testzip()
i = z.infolist()[0]
print(len(z.infolist()), i.filename, i.compress_type, len(i.extra), len(i.comment),
      len(z.comment), i.file_size, bad)
open(sys.argv[2], 'wb').write(z.read('data'))
)";

std::string zipfile_report(const std::string& archive, std::string& content) {
  TempFile zip(archive);
  TempFile script(kZipfileReport);
  TempFile out;
  CommandResult r = run("python3 " + script.path() + " " + zip.path() + " " + out.path());
  content = read_file(out.path());
  return r.exit_code == 0 ? r.out : "python3 failed: " + r.out;
}

// ---------------------------------------------------------------------------

class PackArchiveTest : public ::testing::Test {
 protected:
  static std::vector<std::string> payloads() {
    unsigned seed = std::random_device()();
    std::printf("random seed %u\n", seed);
    std::mt19937 rng(seed);
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "K" + std::to_string(i) + "=value;";
    return {
        std::string(),
        std::string("x"),
        std::string("a\0b\0c", 5),
        text,
        random_bytes(200 * 1024, rng),  // incompressible, past the 64 KiB steps
        std::string(1 << 20, '\0'),     // highly compressible
    };
  }
};

TEST_F(PackArchiveTest, PythonZipfileReadsOneDeflatedDataEntry) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 not installed";
  for (const std::string& payload : payloads()) {
    std::string archive = pack_archive(payload);
    ASSERT_FALSE(archive.empty());
    std::string content;
    EXPECT_EQ(zipfile_report(archive, content),
              "1 data 8 0 0 0 " + std::to_string(payload.size()) + " None\n");
    EXPECT_TRUE(content == payload) << "payload of " << payload.size() << " bytes";
  }
}

// The archive minizip writes to a file when it deflates the entry itself,
// with the entry information all zero.
std::string minizip_archive(const std::string& payload) {
  TempFile file;
  zipFile zip = zipOpen(file.path().c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) return "no archive";
  zip_fileinfo info{};
  int rc = zipOpenNewFileInZip(zip, "data", &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 5);
  if (rc == ZIP_OK && !payload.empty()) {
    rc = zipWriteInFileInZip(zip, payload.data(), static_cast<unsigned>(payload.size()));
  }
  if (rc == ZIP_OK) rc = zipCloseFileInZip(zip);
  if (zipClose(zip, nullptr) != ZIP_OK || rc != ZIP_OK) return "failed";
  return read_file(file.path());
}

TEST_F(PackArchiveTest, SameBytesAsMinizipDeflatingTheEntryItself) {
  const std::vector<std::string> all = payloads();
  std::vector<std::string> expected;
  for (const std::string& payload : all) expected.push_back(minizip_archive(payload));
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_TRUE(pack_archive(all[i]) == expected[i]) << "payload of " << all[i].size() << " bytes";
  }
  // Packs at once: one has the kept working memory, the others take their own.
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < all.size(); ++i) {
          if (pack_archive(all[i]) != expected[i]) ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(PackArchiveTest, UnzipTestAcceptsArchive) {
  if (!have_tool("unzip")) GTEST_SKIP() << "unzip not installed";
  for (const std::string& payload : payloads()) {
    TempFile zip(pack_archive(payload));
    EXPECT_EQ(run("unzip -tq " + zip.path() + " >/dev/null 2>&1").exit_code, 0)
        << "payload of " << payload.size() << " bytes";
  }
}

TEST_F(PackArchiveTest, ArchiveHasNoExtraFieldsAndDeflateLevelFive) {
  // Local header: method at 8, name length at 26, extra length at 28; the
  // general purpose flags at 6 carry the deflate level (bits 1-2 are 0 for
  // levels 3 to 7).
  std::string archive = pack_archive("payload");
  ASSERT_GE(archive.size(), 34u);
  EXPECT_TRUE(has_prefix(archive, "PK\x03\x04"));
  auto u16 = [&](size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(archive[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(archive[at + 1])) << 8;
  };
  EXPECT_EQ(u16(6) & 0x6u, 0u);
  EXPECT_EQ(u16(8), 8u);
  EXPECT_EQ(u16(26), 4u);
  EXPECT_EQ(u16(28), 0u);
  EXPECT_EQ(archive.compare(30, 4, "data"), 0);
}

// ---------------------------------------------------------------------------

class UnpackArchiveTest : public ::testing::Test {
 protected:
  const std::string payload_ = testdata("payload.bin");
};

TEST_F(UnpackArchiveTest, ReadsArchivesWrittenByPythonZipfile) {
  ASSERT_EQ(payload_.size(), 5100u);
  for (const char* name : {"deflated.zip", "stored.zip", "streamed.zip", "second_entry.zip"}) {
    std::string archive = testdata(name);
    ASSERT_FALSE(archive.empty()) << name;
    EXPECT_TRUE(unpack_archive(archive) == payload_) << name;
  }
  EXPECT_EQ(unpack_archive(testdata("handmade.zip")), "tiny");
}

TEST_F(UnpackArchiveTest, RejectsMissingOrEmptyEntry) {
  EXPECT_EQ(unpack_archive(""), "");
  EXPECT_EQ(unpack_archive("this is not a zip archive at all"), "");
  for (const char* name : {"capital_data.zip", "data_dir.zip", "empty_entry.zip"}) {
    std::string archive = testdata(name);
    ASSERT_FALSE(archive.empty()) << name;
    EXPECT_TRUE(unpack_archive(archive).empty()) << name;
  }
}

TEST_F(UnpackArchiveTest, RejectsEntryDeclaringFourGibibytesWithoutAllocatingIt) {
  // Each holds a valid four-byte deflate stream but claims 4 GiB - 1, 4 GiB
  // or 4 GiB + 4 (which a 32-bit size field would read as 4).
  for (const char* name :
       {"declared_4gib.zip", "declared_4gib_zip64.zip", "declared_4gib_plus_4.zip"}) {
    std::string archive = testdata(name);
    ASSERT_FALSE(archive.empty()) << name;
    g_largest_allocation = 0;
    EXPECT_TRUE(unpack_archive(archive).empty()) << name;
    EXPECT_LE(g_largest_allocation.load(), kMaxEntrySize) << name;
  }
}

TEST_F(UnpackArchiveTest, RejectsCrcMismatch) {
  EXPECT_TRUE(unpack_archive(testdata("crc_mismatch.zip")).empty());
}

TEST_F(UnpackArchiveTest, RejectsEveryTruncation) {
  for (const std::string& archive : {testdata("deflated.zip"), pack_archive(payload_)}) {
    ASSERT_TRUE(unpack_archive(archive) == payload_);
    for (size_t n = 0; n < archive.size(); ++n) {
      EXPECT_TRUE(unpack_archive(archive.substr(0, n)).empty()) << "length " << n;
    }
  }
}

TEST_F(UnpackArchiveTest, CorruptedByteGivesPayloadOrNothing) {
  // Whatever byte is damaged, the answer is either the true content (the byte
  // was not needed) or empty; never altered content.
  std::string archive = testdata("deflated.zip");
  size_t accepted = 0;
  for (size_t i = 0; i < archive.size(); ++i) {
    for (unsigned char mask : {0x01, 0x80, 0xFF}) {
      std::string damaged = archive;
      damaged[i] = static_cast<char>(damaged[i] ^ mask);
      std::string out = unpack_archive(damaged);
      EXPECT_TRUE(out.empty() || out == payload_) << "byte " << i << " mask " << int(mask);
      accepted += !out.empty();
    }
  }
  std::printf("%zu of %zu damaged archives still gave the payload\n", accepted, archive.size() * 3);
}

TEST_F(UnpackArchiveTest, EntrySizeLimitIsInclusive) {
  std::string at_limit(kMaxEntrySize, 'z');
  EXPECT_TRUE(unpack_archive(pack_archive(at_limit)) == at_limit);
  EXPECT_TRUE(unpack_archive(pack_archive(at_limit + "z")).empty());
}

// ---------------------------------------------------------------------------
// Messages, checked with protoc.

std::string protoc_command(const std::string& mode) {
  std::string src = RISK_SOURCE_DIR;
  return "protoc --proto_path=" + src + " " + mode + " " + src + "/core/risk.proto";
}

// protoc --encode=risk.<type> of text; empty when protoc fails.
std::string protoc_encode(const std::string& type, const std::string& text) {
  TempFile in(text);
  CommandResult r = run(protoc_command("--encode=risk." + type) + " < " + in.path());
  return r.exit_code == 0 ? r.out : std::string();
}

// protoc --decode=risk.<type> of bytes; an error text when protoc fails.
std::string protoc_decode(const std::string& type, const std::string& bytes) {
  TempFile in(bytes);
  CommandResult r = run(protoc_command("--decode=risk." + type) + " < " + in.path() + " 2>&1");
  return r.exit_code == 0 ? r.out : "protoc failed: " + r.out;
}

// bytes as a text-format string literal, every byte octal-escaped.
std::string text_literal(const std::string& bytes) {
  std::string out = "\"";
  char buf[8];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "\\%03o", c);
    out += buf;
  }
  return out + "\"";
}

// The lines of protoc's text output except the one holding the body.
std::string without_body(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    if (text.compare(start, 6, "body: ") != 0) out += text.substr(start, end - start);
    start = end;
  }
  return out;
}

class SerializeRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_tool("protoc")) GTEST_SKIP() << "protoc not installed";
    facts_.sdk_version = "v4_9_2r_a07c3e51";
    facts_.app_name = "Demo \"App\"";
    facts_.app_version_name = "1.2.3";
    facts_.app_version_code = 42;
    facts_.os_type = 2;
    facts_.os_version = "OpenHarmony-4.1.0";
    sdk_.set_facts(std::make_shared<const SdkFacts>(facts_));
    sdk_.initialize();  // sdk_variant 2
  }

  SdkFacts facts_;
  RiskSdk sdk_;
  RiskApp app_{"ak-123", &sdk_};
};

TEST_F(SerializeRequestTest, ProtocReadsEveryHeaderFieldAndEntriesInKeyOrder) {
  // Inserted out of order; one key sorts after the ASCII ones byte-wise;
  // empty values are dropped; "null" and spaces are kept as they are.
  StringMap data;
  data["K\xC3\xA9"] = "\xE4\xB8\xAD";
  data["K2"] = "two words";
  data["K10"] = "";
  data["K1"] = "null";
  data["Kz"] = "a\\b\"c";
  data["K3"] = "";
  std::string bytes = serialize_request(app_, "prev-token", data);

  EXPECT_EQ(without_body(protoc_decode("TokenRequest", bytes)),
            "header {\n"
            "  sdk_version: \"v4_9_2r_a07c3e51\"\n"
            "  app_version_name: \"1.2.3\"\n"
            "  app_version_code: 42\n"
            "  app_key: \"ak-123\"\n"
            "  os_type: OS_TYPE_HARMONY\n"
            "  os_version: \"OpenHarmony-4.1.0\"\n"
            "  ulvok: \"prev-token\"\n"
            "  format_version: 1\n"
            "  app_name: \"Demo \\\"App\\\"\"\n"
            "  sdk_variant: SDK_VARIANT_2\n"
            "}\n"
            "command: COMMAND_TOKEN\n");

  // The whole message, body included, byte for byte as protoc encodes it.
  std::string body = protoc_encode("KeyValueList",
                                   "entries { key: \"K1\" value: \"null\" }\n"
                                   "entries { key: \"K2\" value: \"two words\" }\n"
                                   "entries { key: \"Kz\" value: " +
                                       text_literal("a\\b\"c") +
                                       " }\n"
                                       "entries { key: " +
                                       text_literal("K\xC3\xA9") +
                                       " value: " + text_literal("\xE4\xB8\xAD") + " }\n");
  ASSERT_FALSE(body.empty());
  std::string expected =
      protoc_encode("TokenRequest",
                    "header { sdk_version: \"v4_9_2r_a07c3e51\" app_version_name: \"1.2.3\"\n"
                    "  app_version_code: 42 app_key: \"ak-123\" os_type: OS_TYPE_HARMONY\n"
                    "  os_version: \"OpenHarmony-4.1.0\" ulvok: \"prev-token\" format_version: 1\n"
                    "  app_name: " +
                        text_literal(facts_.app_name) +
                        " sdk_variant: SDK_VARIANT_2 }\n"
                        "command: COMMAND_TOKEN\n"
                        "body: " +
                        text_literal(body) + "\n");
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(bytes == expected);
}

TEST_F(SerializeRequestTest, EmptySourcesKeepStringFieldsAndDropOptionalOnes) {
  SdkFacts facts;
  facts.os_type = 2;
  RiskSdk empty(facts);  // not initialised: sdk_variant 0
  RiskApp keyless("", &empty);
  StringMap data = {{"K1", ""}, {"K2", ""}};
  std::string bytes = serialize_request(keyless, "", data);

  EXPECT_EQ(protoc_decode("TokenRequest", bytes),
            "header {\n"
            "  sdk_version: \"\"\n"
            "  app_version_name: \"\"\n"
            "  app_key: \"\"\n"
            "  os_type: OS_TYPE_HARMONY\n"
            "  os_version: \"\"\n"
            "  format_version: 1\n"
            "  app_name: \"\"\n"
            "}\n"
            "command: COMMAND_TOKEN\n"
            "body: \"\"\n");
  std::string expected = protoc_encode(
      "TokenRequest",
      "header { sdk_version: \"\" app_version_name: \"\" app_key: \"\" os_type: OS_TYPE_HARMONY\n"
      "  os_version: \"\" format_version: 1 app_name: \"\" }\n"
      "command: COMMAND_TOKEN body: \"\"\n");
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(bytes == expected);
}

TEST_F(SerializeRequestTest, VersionCodeIsTheLowThirtyTwoBits) {
  struct Case {
    int64_t code;
    const char* line;  // "" when the field is left out
  };
  const Case cases[] = {
      {(int64_t{1} << 32) + 42, "  app_version_code: 42\n"},
      {0xFFFFFFFF, "  app_version_code: -1\n"},  // a ten-byte varint on the wire
      {int64_t{1} << 32, ""},
      {-7, "  app_version_code: -7\n"},
  };
  for (const Case& c : cases) {
    facts_.app_version_code = c.code;
    sdk_.set_facts(std::make_shared<const SdkFacts>(facts_));
    std::string decoded = protoc_decode("TokenRequest", serialize_request(app_, "", {}));
    std::string expected_header =
        std::string(
            "header {\n  sdk_version: \"v4_9_2r_a07c3e51\"\n  app_version_name: \"1.2.3\"\n") +
        c.line + "  app_key: \"ak-123\"\n";
    EXPECT_EQ(decoded.substr(0, expected_header.size()), expected_header) << c.code;
  }
}

// ---------------------------------------------------------------------------
// Transport, against a scripted post and OpenSSL / xxtea-node.

std::string lower_hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string openssl_digest(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out, &n, md, nullptr) != 1) return std::string();
  return std::string(reinterpret_cast<char*>(out), n);
}

// SM4-ECB with PKCS#7 padding under the gm scheme's key for key_text.
std::string openssl_sm4(bool encrypt, const std::string& key_text, const std::string& in) {
  std::string key = openssl_digest(EVP_sm3(), key_text + key_text + key_text).substr(0, 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(in.size() + 32, '\0');
  int n = 0, tail = 0;
  bool ok = EVP_CipherInit_ex(ctx, EVP_sm4_ecb(), nullptr,
                              reinterpret_cast<const unsigned char*>(key.data()), nullptr,
                              encrypt ? 1 : 0) == 1 &&
            EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &n,
                             reinterpret_cast<const unsigned char*>(in.data()),
                             static_cast<int>(in.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(&out[n]), &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok ? out.substr(0, n + tail) : std::string();
}

// XXTEA with the legacy scheme's key, by the xxtea-node package.
constexpr char kXxteaScript[] = R"(
const fs = require('fs');
const [mode, moduleDir, keyPath, inPath, outPath] = process.argv.slice(2);
const xxtea = require(moduleDir);
const k = fs.readFileSync(keyPath);
const key = Buffer.from(require('crypto').createHash('sha1')
    .update(Buffer.concat([k, k, k])).digest('hex'));
const data = fs.readFileSync(inPath);
const out = mode === 'encrypt' ? xxtea.encrypt(data, key) : xxtea.decrypt(data, key);
if (!out) process.exit(3);
fs.writeFileSync(outPath, Buffer.from(out));
)";

std::string xxtea_module() { return std::string(RISK_SOURCE_DIR) + "/js/node_modules/xxtea-node"; }

bool have_xxtea_node() {
  return have_tool("node") && run("test -f " + xxtea_module() + "/package.json").exit_code == 0;
}

std::string node_xxtea(const std::string& mode, const std::string& key_text,
                       const std::string& in) {
  TempFile script(kXxteaScript), key(key_text), input(in), output;
  CommandResult r = run("node " + script.path() + " " + mode + " " + xxtea_module() + " " +
                        key.path() + " " + input.path() + " " + output.path());
  return r.exit_code == 0 ? read_file(output.path()) : std::string();
}

// Records every post and answers as scripted.
class ScriptedSdk : public RiskSdk {
 public:
  std::unique_ptr<PostResponse> post(const std::string& url, const std::string& body) override {
    urls.push_back(url);
    bodies.push_back(body);
    return answer ? answer() : nullptr;
  }

  std::function<std::unique_ptr<PostResponse>()> answer;
  std::vector<std::string> urls;
  std::vector<std::string> bodies;
};

std::unique_ptr<PostResponse> respond(const std::string& body, int32_t status = 200) {
  auto response = std::make_unique<PostResponse>();
  response->status_code = status;
  response->body = body;
  return response;
}

class PostRequestTest : public ::testing::Test {
 protected:
  static constexpr char kKey[] = "ak+1/x y";
  static constexpr char kUrl[] = "https://risk.example.com/udid/m1";
  static constexpr char kUntouched[] = "untouched";

  void SetUp() override {
    SdkFacts facts;
    facts.app_name = "Demo App";
    facts.sdk_version = "v4_9_2r_a07c3e51";
    sdk_.set_facts(std::make_shared<const SdkFacts>(facts));
  }

  // Posts payload_ with the scheme and returns the code; the post's address
  // and body are in sdk_.urls / sdk_.bodies.
  int32_t post(const CipherScheme& scheme, const std::string& url = kUrl) {
    response_ = kUntouched;
    return post_request(app_, url, payload_, response_, scheme);
  }

  // The query after the signature, identical for both schemes.
  static std::string query_tail() {
    return "&appKey=ak%2B1%2Fx+y&app=Demo+App&version=v4_9_2r_a07c3e51";
  }

  ScriptedSdk sdk_;
  RiskApp app_{kKey, &sdk_};
  GuoMiCipherScheme gm_{kKey};
  LegacyScheme legacy_{kKey};
  const std::string payload_ = std::string("request\0bytes\xFF", 14) + std::string(300, 'r');
  std::string response_;
};

TEST_F(PostRequestTest, GmAddressCarriesSm3SignAndAlg) {
  EXPECT_EQ(post(gm_), kPostNoResponse);
  std::string sign = lower_hex(openssl_digest(EVP_sm3(), kKey + payload_ + kKey));
  ASSERT_EQ(sdk_.urls.size(), 1u);
  EXPECT_EQ(sdk_.urls[0], std::string(kUrl) + "?sign=" + sign + query_tail() + "&alg=gm");
}

TEST_F(PostRequestTest, LegacyAddressCarriesMd5SignAndEndsWithVersion) {
  EXPECT_EQ(post(legacy_), kPostNoResponse);
  std::string sign = lower_hex(openssl_digest(EVP_md5(), kKey + payload_ + kKey));
  ASSERT_EQ(sdk_.urls.size(), 1u);
  EXPECT_EQ(sdk_.urls[0], std::string(kUrl) + "?sign=" + sign + query_tail());
}

TEST_F(PostRequestTest, UrlWithQueryKeepsItAndGetsSecondQuestionMark) {
  std::string url = std::string(kUrl) + "?region=cn&x=1";
  post(gm_, url);
  post(legacy_, url);
  ASSERT_EQ(sdk_.urls.size(), 2u);
  std::string gm_sign = lower_hex(openssl_digest(EVP_sm3(), kKey + payload_ + kKey));
  std::string md5_sign = lower_hex(openssl_digest(EVP_md5(), kKey + payload_ + kKey));
  EXPECT_EQ(sdk_.urls[0], url + "?sign=" + gm_sign + query_tail() + "&alg=gm");
  EXPECT_EQ(sdk_.urls[1], url + "?sign=" + md5_sign + query_tail());
}

TEST_F(PostRequestTest, GmBodyIsSm4SealedArchiveOfPayload) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 not installed";
  post(gm_);
  ASSERT_EQ(sdk_.bodies.size(), 1u);
  std::string archive = openssl_sm4(false, kKey, sdk_.bodies[0]);
  ASSERT_FALSE(archive.empty());
  std::string content;
  EXPECT_EQ(zipfile_report(archive, content), "1 data 8 0 0 0 314 None\n");
  EXPECT_TRUE(content == payload_);
}

TEST_F(PostRequestTest, LegacyBodyIsXxteaSealedArchiveOfPayload) {
  if (!have_tool("python3") || !have_xxtea_node()) GTEST_SKIP() << "python3 or xxtea-node missing";
  post(legacy_);
  ASSERT_EQ(sdk_.bodies.size(), 1u);
  std::string archive = node_xxtea("decrypt", kKey, sdk_.bodies[0]);
  ASSERT_FALSE(archive.empty());
  std::string content;
  EXPECT_EQ(zipfile_report(archive, content), "1 data 8 0 0 0 314 None\n");
  EXPECT_TRUE(content == payload_);
}

TEST_F(PostRequestTest, OpensAnswersSealedByReferenceCiphersWhateverTheStatus) {
  const std::string expected = testdata("payload.bin");
  const std::string archive = testdata("deflated.zip");
  for (int32_t status : {200, 500, -1}) {
    std::string sealed = openssl_sm4(true, kKey, archive);
    sdk_.answer = [&] { return respond(sealed, status); };
    EXPECT_EQ(post(gm_), 0) << status;
    EXPECT_TRUE(response_ == expected) << status;
  }
  if (!have_xxtea_node()) GTEST_SKIP() << "xxtea-node missing; gm checked";
  std::string sealed = node_xxtea("encrypt", kKey, archive);
  ASSERT_FALSE(sealed.empty());
  sdk_.answer = [&] { return respond(sealed); };
  EXPECT_EQ(post(legacy_), 0);
  EXPECT_TRUE(response_ == expected);
}

TEST_F(PostRequestTest, NoResponseObjectIsMinus1001) {
  EXPECT_EQ(post(gm_), kPostNoResponse);
  EXPECT_EQ(post(legacy_), kPostNoResponse);
  EXPECT_EQ(response_, kUntouched);
  EXPECT_EQ(kPostNoResponse, -1001);
}

TEST_F(PostRequestTest, BodyThatDoesNotDecryptIsMinus1002) {
  EXPECT_EQ(kPostDecryptFailed, -1002);
  const struct {
    const CipherScheme* scheme;
    std::string body;
  } cases[] = {
      {&gm_, ""},
      {&legacy_, ""},
      {&gm_, std::string(15, 'x')},  // not a whole number of blocks
      {&legacy_, "abc"},             // shorter than the length word
  };
  for (const auto& c : cases) {
    sdk_.answer = [&] { return respond(c.body, -1); };
    EXPECT_EQ(post(*c.scheme), kPostDecryptFailed) << c.body.size();
    EXPECT_EQ(response_, kUntouched);
  }
}

TEST_F(PostRequestTest, AnswerWithoutReadableDataEntryIsMinus1003) {
  EXPECT_EQ(kPostNoArchiveEntry, -1003);
  std::string whole = testdata("deflated.zip");
  for (const std::string& archive :
       {std::string("plain text, not an archive"), testdata("capital_data.zip"),
        testdata("empty_entry.zip"), testdata("crc_mismatch.zip"), testdata("declared_4gib.zip"),
        whole.substr(0, whole.size() - 1)}) {
    std::string sealed = openssl_sm4(true, kKey, archive);
    sdk_.answer = [&] { return respond(sealed); };
    EXPECT_EQ(post(gm_), kPostNoArchiveEntry) << archive.size();
    EXPECT_EQ(response_, kUntouched);
  }
}

// The largest answer the service could seal: an entry of kMaxEntrySize
// random bytes deflated by Python's zipfile, with the extra field and the
// entry comment at their 65,535-byte maximum and the archive comment as long
// as minizip still finds the end record behind it (within 65,535 bytes of
// the end).
constexpr char kLargestArchive[] = R"(
import sys, zipfile
data = open(sys.argv[1], 'rb').read()
with zipfile.ZipFile(sys.argv[2], 'w', zipfile.ZIP_DEFLATED) as z:
    i = zipfile.ZipInfo('data')
    i.compress_type = zipfile.ZIP_DEFLATED
    i.extra = (0xCAFE).to_bytes(2, 'little') + (0xFFFB).to_bytes(2, 'little') + bytes(0xFFFB)
    i.comment = b'c' * 0xFFFF
    z.comment = b'a' * 0xFFE9
    z.writestr(i, data)
)";

// The gm scheme, counting the answers it was asked to open.
class CountingScheme : public GuoMiCipherScheme {
 public:
  using GuoMiCipherScheme::GuoMiCipherScheme;
  std::string decrypt(const std::string& sealed) const override {
    ++decrypted;
    return GuoMiCipherScheme::decrypt(sealed);
  }
  mutable int decrypted = 0;
};

TEST_F(PostRequestTest, AnswerLargerThanAnyValidOneIsRefusedBeforeDecryption) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 not installed";
  std::mt19937 rng(19);
  const std::string entry = random_bytes(kMaxEntrySize, rng);
  TempFile input(entry), archive_file;
  TempFile script(kLargestArchive);
  ASSERT_EQ(
      run("python3 " + script.path() + " " + input.path() + " " + archive_file.path()).exit_code,
      0);
  const std::string largest = openssl_sm4(true, kKey, read_file(archive_file.path()));
  ASSERT_FALSE(largest.empty());
  EXPECT_LE(largest.size(), kMaxAnswerSize);

  testing::LogCapture log;
  CountingScheme scheme(kKey);
  sdk_.answer = [&] { return respond(largest); };
  EXPECT_EQ(post(scheme), 0);
  EXPECT_TRUE(response_ == entry);

  // The limit is inclusive; one byte more is not even decrypted.
  const struct {
    size_t size;
    int decrypted;
  } cases[] = {{kMaxAnswerSize, 1}, {kMaxAnswerSize + 1, 0}};
  for (const auto& c : cases) {
    scheme.decrypted = 0;
    sdk_.answer = [&] { return respond(std::string(c.size, 'x')); };
    EXPECT_EQ(post(scheme), kPostDecryptFailed) << c.size;
    EXPECT_EQ(scheme.decrypted, c.decrypted) << c.size;
    EXPECT_EQ(response_, kUntouched);
  }
  EXPECT_EQ(log.count_prefix("answer of "), 1u);
}

}  // namespace
}  // namespace risk
