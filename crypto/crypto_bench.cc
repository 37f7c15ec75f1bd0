// Throughput of the library's ciphers and digests beside OpenSSL's EVP on the
// same inputs (and, for XXTEA, beside a plain C reference). Each call keys
// afresh, as the library's entry points do: OpenSSL re-initialises one
// context per call with a cipher fetched once.
//
//   build-x/crypto/crypto_bench                          # OpenSSL as shipped
//   OPENSSL_ia32cap=0 build-x/crypto/crypto_bench        # its table-driven C
//
// Sizes: 4096 bytes (read the bytes_per_second column) and 64 bytes (read
// the time column).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/block_cipher.h"
#include "crypto/digest.h"

namespace {

std::string make_input(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 0x12345678;
  for (auto& c : s) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

const unsigned char kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                                0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                                0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
const std::string kXxteaKey = "6e5d3c2b1a098f7e6d5c4b3a29180f1e2d3c4b5a";

void set_counters(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// ---------------------------------------------------------------------------
// OpenSSL references.

class EvpCipher {
 public:
  explicit EvpCipher(const char* name)
      : cipher_(EVP_CIPHER_fetch(nullptr, name, nullptr)), ctx_(EVP_CIPHER_CTX_new()) {}
  ~EvpCipher() {
    EVP_CIPHER_CTX_free(ctx_);
    EVP_CIPHER_free(cipher_);
  }
  bool ok() const { return cipher_ != nullptr && ctx_ != nullptr; }

  // One call of a PKCS#7 ECB operation, keyed afresh.
  int run(bool encrypt, const std::string& in, unsigned char* out) {
    int n1 = 0;
    int n2 = 0;
    EVP_CipherInit_ex2(ctx_, cipher_, kKey, nullptr, encrypt ? 1 : 0, nullptr);
    EVP_CipherUpdate(ctx_, out, &n1, reinterpret_cast<const unsigned char*>(in.data()),
                     static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx_, out + n1, &n2);
    return n1 + n2;
  }

 private:
  EVP_CIPHER* cipher_;
  EVP_CIPHER_CTX* ctx_;
};

void evp_cipher_bench(benchmark::State& state, const char* name, bool encrypt) {
  EvpCipher evp(name);
  if (!evp.ok()) {
    state.SkipWithError("cipher not available");
    return;
  }
  std::string in = make_input(static_cast<size_t>(state.range(0)));
  std::string buffer(in.size() + 32, '\0');
  if (!encrypt) {
    buffer.resize(evp.run(true, in, reinterpret_cast<unsigned char*>(&buffer[0])));
    in = buffer;
    buffer.resize(in.size() + 32);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(evp.run(encrypt, in, reinterpret_cast<unsigned char*>(&buffer[0])));
    benchmark::ClobberMemory();
  }
  set_counters(state);
}

std::string to_hex(const unsigned char* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(2 * n, '\0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[p[i] >> 4];
    out[2 * i + 1] = kDigits[p[i] & 15];
  }
  return out;
}

void evp_digest_bench(benchmark::State& state, const char* name, bool hex) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  if (md == nullptr) {
    state.SkipWithError("digest not available");
    return;
  }
  const std::string in = make_input(static_cast<size_t>(state.range(0)));
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    unsigned int n = 0;
    EVP_Digest(in.data(), in.size(), digest, &n, md, nullptr);
    if (hex) {
      benchmark::DoNotOptimize(to_hex(digest, n));
    } else {
      benchmark::DoNotOptimize(std::string(reinterpret_cast<char*>(digest), n));
    }
  }
  EVP_MD_free(md);
  set_counters(state);
}

// ---------------------------------------------------------------------------
// Plain C reference XXTEA (Wheeler and Needham's corrected block TEA as
// published, over a word array), with the same length word.

#define REF_DELTA 0x9e3779b9
#define REF_MX (((z >> 5 ^ y << 2) + (y >> 3 ^ z << 4)) ^ ((sum ^ y) + (key[(p & 3) ^ e] ^ z)))

void ref_btea(uint32_t* v, int n, const uint32_t key[4]) {
  uint32_t y, z, sum;
  unsigned p, rounds, e;
  if (n > 1) {
    rounds = 6 + 52 / n;
    sum = 0;
    z = v[n - 1];
    do {
      sum += REF_DELTA;
      e = (sum >> 2) & 3;
      for (p = 0; p < static_cast<unsigned>(n - 1); p++) {
        y = v[p + 1];
        z = v[p] += REF_MX;
      }
      y = v[0];
      z = v[n - 1] += REF_MX;
    } while (--rounds);
  } else if (n < -1) {
    n = -n;
    rounds = 6 + 52 / n;
    sum = rounds * REF_DELTA;
    y = v[0];
    do {
      e = (sum >> 2) & 3;
      for (p = n - 1; p > 0; p--) {
        z = v[p - 1];
        y = v[p] -= REF_MX;
      }
      z = v[n - 1];
      y = v[0] -= REF_MX;
      sum -= REF_DELTA;
    } while (--rounds);
  }
}

#undef REF_MX
#undef REF_DELTA

void ref_key(const std::string& key, uint32_t k[4]) {
  unsigned char bytes[16] = {};
  std::memcpy(bytes, key.data(), key.size() < 16 ? key.size() : 16);
  std::memcpy(k, bytes, 16);  // little-endian host
}

// Returns malloc'ed words and their byte count, as a C library would.
uint32_t* ref_xxtea_encrypt(const std::string& data, const std::string& key, size_t* out_len) {
  uint32_t k[4];
  ref_key(key, k);
  const size_t n = (data.size() + 3) / 4 + 1;
  uint32_t* v = static_cast<uint32_t*>(std::calloc(n, 4));
  std::memcpy(v, data.data(), data.size());
  v[n - 1] = static_cast<uint32_t>(data.size());
  ref_btea(v, static_cast<int>(n), k);
  *out_len = 4 * n;
  return v;
}

uint32_t* ref_xxtea_decrypt(const std::string& data, const std::string& key, size_t* out_len) {
  uint32_t k[4];
  ref_key(key, k);
  const size_t n = (data.size() + 3) / 4;
  uint32_t* v = static_cast<uint32_t*>(std::calloc(n, 4));
  std::memcpy(v, data.data(), data.size());
  ref_btea(v, -static_cast<int>(n), k);
  const size_t m = v[n - 1];
  if (m + 7 < 4 * n || m + 4 > 4 * n) {
    std::free(v);
    return nullptr;
  }
  *out_len = m;
  return v;
}

// ---------------------------------------------------------------------------
// Ciphers.

void BM_Aes256EcbEncrypt(benchmark::State& state) {
  const std::string in = make_input(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(risk::AES_ECB_Encrypt_pkcs7padding(kKey, 32, in));
  set_counters(state);
}
void BM_Aes256EcbEncrypt_OpenSsl(benchmark::State& state) {
  evp_cipher_bench(state, "AES-256-ECB", true);
}
void BM_Aes256EcbDecrypt(benchmark::State& state) {
  const std::string in =
      risk::AES_ECB_Encrypt_pkcs7padding(kKey, 32, make_input(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(risk::AES_ECB_Decrypt_pkcs7unpadding(kKey, 32, in));
  set_counters(state);
}
void BM_Aes256EcbDecrypt_OpenSsl(benchmark::State& state) {
  evp_cipher_bench(state, "AES-256-ECB", false);
}

void BM_Sm4EcbEncrypt(benchmark::State& state) {
  const std::string in = make_input(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(risk::SM4_ECB_Encrypt_pkcs7padding(kKey, 16, in));
  set_counters(state);
}
void BM_Sm4EcbEncrypt_OpenSsl(benchmark::State& state) { evp_cipher_bench(state, "SM4-ECB", true); }
void BM_Sm4EcbDecrypt(benchmark::State& state) {
  const std::string in =
      risk::SM4_ECB_Encrypt_pkcs7padding(kKey, 16, make_input(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(risk::SM4_ECB_Decrypt_pkcs7unpadding(kKey, 16, in));
  set_counters(state);
}
void BM_Sm4EcbDecrypt_OpenSsl(benchmark::State& state) {
  evp_cipher_bench(state, "SM4-ECB", false);
}

void BM_XxteaEncrypt(benchmark::State& state) {
  const std::string in = make_input(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(risk::XXTEA_Encrypt(in, kXxteaKey));
  set_counters(state);
}
void BM_XxteaEncrypt_RefC(benchmark::State& state) {
  const std::string in = make_input(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    size_t n = 0;
    uint32_t* out = ref_xxtea_encrypt(in, kXxteaKey, &n);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  set_counters(state);
}
void BM_XxteaDecrypt(benchmark::State& state) {
  const std::string in =
      risk::XXTEA_Encrypt(make_input(static_cast<size_t>(state.range(0))), kXxteaKey);
  for (auto _ : state) benchmark::DoNotOptimize(risk::XXTEA_Decrypt(in, kXxteaKey));
  set_counters(state);
}
void BM_XxteaDecrypt_RefC(benchmark::State& state) {
  const std::string in =
      risk::XXTEA_Encrypt(make_input(static_cast<size_t>(state.range(0))), kXxteaKey);
  for (auto _ : state) {
    size_t n = 0;
    uint32_t* out = ref_xxtea_decrypt(in, kXxteaKey, &n);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  set_counters(state);
}

// ---------------------------------------------------------------------------
// Digests.

void BM_Md5Hex(benchmark::State& state) {
  const std::string in = make_input(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(risk::md5_hex(in));
  set_counters(state);
}
void BM_Md5Hex_OpenSsl(benchmark::State& state) { evp_digest_bench(state, "MD5", true); }

void BM_Sha1Hex(benchmark::State& state) {
  const std::string in = make_input(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(risk::sha1_hex(in));
  set_counters(state);
}
void BM_Sha1Hex_OpenSsl(benchmark::State& state) { evp_digest_bench(state, "SHA1", true); }

void BM_Sm3Digest(benchmark::State& state) {
  const std::string in = make_input(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(risk::sm3_digest(in));
  set_counters(state);
}
void BM_Sm3Digest_OpenSsl(benchmark::State& state) { evp_digest_bench(state, "SM3", false); }

}  // namespace

void bench_sizes(benchmark::internal::Benchmark* b) { b->Arg(64)->Arg(4096); }

BENCHMARK(BM_Aes256EcbEncrypt)->Apply(bench_sizes);
BENCHMARK(BM_Aes256EcbEncrypt_OpenSsl)->Apply(bench_sizes);
BENCHMARK(BM_Aes256EcbDecrypt)->Apply(bench_sizes);
BENCHMARK(BM_Aes256EcbDecrypt_OpenSsl)->Apply(bench_sizes);
BENCHMARK(BM_Sm4EcbEncrypt)->Apply(bench_sizes);
BENCHMARK(BM_Sm4EcbEncrypt_OpenSsl)->Apply(bench_sizes);
BENCHMARK(BM_Sm4EcbDecrypt)->Apply(bench_sizes);
BENCHMARK(BM_Sm4EcbDecrypt_OpenSsl)->Apply(bench_sizes);
BENCHMARK(BM_XxteaEncrypt)->Apply(bench_sizes);
BENCHMARK(BM_XxteaEncrypt_RefC)->Apply(bench_sizes);
BENCHMARK(BM_XxteaDecrypt)->Apply(bench_sizes);
BENCHMARK(BM_XxteaDecrypt_RefC)->Apply(bench_sizes);
BENCHMARK(BM_Md5Hex)->Apply(bench_sizes);
BENCHMARK(BM_Md5Hex_OpenSsl)->Apply(bench_sizes);
BENCHMARK(BM_Sha1Hex)->Apply(bench_sizes);
BENCHMARK(BM_Sha1Hex_OpenSsl)->Apply(bench_sizes);
BENCHMARK(BM_Sm3Digest)->Apply(bench_sizes);
BENCHMARK(BM_Sm3Digest_OpenSsl)->Apply(bench_sizes);

BENCHMARK_MAIN();
