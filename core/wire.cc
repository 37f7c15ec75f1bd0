#include "core/wire.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "base/guarded.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "core/risk.pb-c.h"
#include "core/risk_sdk.h"
#include "crypto/cipher_scheme.h"
#include "crypto/encoding.h"

namespace risk {
namespace {

// The name the memory buffer is opened under; it never reaches the archive.
constexpr char kBufferName[] = "__notused__";
constexpr char kEntryName[] = "data";
constexpr int kDeflateLevel = 5;
// The memory file grows by at least this much whenever a write does not fit.
constexpr size_t kGrowStep = 64 * 1024;
// What an archive adds around its deflated entry: local header, central
// header and end record, with the entry's name twice. The memory file of a
// new archive starts that much larger than the entry.
constexpr size_t kArchiveFraming = 30 + 46 + 22 + 2 * (sizeof(kEntryName) - 1);
// zlib and minizip take unsigned lengths; longer runs go in pieces.
constexpr size_t kMaxWriteChunk = 1u << 30;

constexpr int32_t kFormatVersion = 1;

// A file in memory for minizip's file-function set. In write mode it owns a
// growable zero-filled buffer and remembers the highest offset written; in
// read mode it serves borrowed bytes. Reads stop at the end of the data and
// seeks past the buffer fail.
class MemoryFile {
 public:
  // Read mode over data, which must outlive the file.
  explicit MemoryFile(const std::string& data) : input_(&data) {}
  // Write mode: starts with capacity zero bytes.
  explicit MemoryFile(size_t capacity) : capacity_(capacity) {}

  // The bytes up to the highest offset written.
  std::string written() const { return std::string(buffer_.data(), end_); }

  zlib_filefunc_def functions() {
    zlib_filefunc_def def;
    def.zopen_file = &MemoryFile::open;
    def.zread_file = &MemoryFile::read;
    def.zwrite_file = &MemoryFile::write;
    def.ztell_file = &MemoryFile::tell;
    def.zseek_file = &MemoryFile::seek;
    def.zclose_file = &MemoryFile::close;
    def.zerror_file = &MemoryFile::error;
    def.opaque = this;
    return def;
  }

 private:
  const char* bytes() const { return input_ ? input_->data() : buffer_.data(); }
  // Size of what may be read or seeked over.
  size_t limit() const { return input_ ? input_->size() : buffer_.size(); }

  static voidpf ZCALLBACK open(voidpf opaque, const char* /*filename*/, int mode) {
    auto* file = static_cast<MemoryFile*>(opaque);
    file->pos_ = 0;
    if (mode & ZLIB_FILEFUNC_MODE_CREATE) {
      if (file->input_) return nullptr;
      try {
        file->buffer_.assign(file->capacity_, '\0');
      } catch (const std::bad_alloc&) {
        return nullptr;  // minizip reports the failed open
      }
      file->end_ = 0;
    } else if (!file->input_) {
      return nullptr;
    }
    return file;
  }

  static uLong ZCALLBACK read(voidpf /*opaque*/, voidpf stream, void* buf, uLong size) {
    auto* file = static_cast<MemoryFile*>(stream);
    size_t available = file->limit() - file->pos_;
    size_t n = std::min<size_t>(size, available);
    if (n > 0) std::memcpy(buf, file->bytes() + file->pos_, n);
    file->pos_ += n;
    return static_cast<uLong>(n);
  }

  static uLong ZCALLBACK write(voidpf /*opaque*/, voidpf stream, const void* buf, uLong size) {
    auto* file = static_cast<MemoryFile*>(stream);
    if (file->input_) return 0;
    if (size > file->buffer_.size() - file->pos_) {
      try {
        file->buffer_.resize(file->buffer_.size() + std::max<size_t>(kGrowStep, size), '\0');
      } catch (const std::bad_alloc&) {
        return 0;  // a short write; minizip turns it into an error
      }
    }
    std::memcpy(file->buffer_.data() + file->pos_, buf, size);
    file->pos_ += size;
    file->end_ = std::max(file->end_, file->pos_);
    return size;
  }

  static long ZCALLBACK tell(voidpf /*opaque*/, voidpf stream) {
    return static_cast<long>(static_cast<MemoryFile*>(stream)->pos_);
  }

  static long ZCALLBACK seek(voidpf /*opaque*/, voidpf stream, uLong offset, int origin) {
    auto* file = static_cast<MemoryFile*>(stream);
    size_t base;
    switch (origin) {
      case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
      case ZLIB_FILEFUNC_SEEK_CUR: base = file->pos_; break;
      case ZLIB_FILEFUNC_SEEK_END: base = file->input_ ? file->input_->size() : file->end_; break;
      default: return -1;
    }
    if (offset > file->limit() - base) return -1;
    file->pos_ = base + offset;
    return 0;
  }

  static int ZCALLBACK close(voidpf /*opaque*/, voidpf /*stream*/) { return 0; }
  static int ZCALLBACK error(voidpf /*opaque*/, voidpf /*stream*/) { return 0; }

  const std::string* input_ = nullptr;  // read mode
  std::vector<char> buffer_;            // write mode
  size_t capacity_ = 0;                 // write mode: the buffer's first size
  size_t end_ = 0;                      // highest offset written
  size_t pos_ = 0;
};

// The end-of-central-directory record: signature, fixed part, then a comment
// of up to 65,535 bytes.
constexpr char kEndRecordSignature[] = "PK\x05\x06";
constexpr size_t kEndRecordSize = 22;
constexpr size_t kMaxArchiveComment = 0xFFFF;

// minizip takes the last end-record signature in the archive's tail and
// reads past the end of a record cut short as if the bytes were there, so a
// truncated answer would still open. The record it takes must be whole.
bool has_whole_end_record(const std::string& archive) {
  size_t tail = std::min(archive.size(), kEndRecordSize + kMaxArchiveComment);
  size_t at = archive.rfind(kEndRecordSignature, std::string::npos, 4);
  return at != std::string::npos && at >= archive.size() - tail &&
         archive.size() - at >= kEndRecordSize;
}

struct UnzipCloser {
  void operator()(void* file) const { unzClose(file); }
};

// Packs message into a string with the protobuf-c runtime.
template <typename Message>
std::string pack_message(const Message& message) {
  const auto* base = reinterpret_cast<const ProtobufCMessage*>(&message);
  std::string out(protobuf_c_message_get_packed_size(base), '\0');
  if (!out.empty()) {
    protobuf_c_message_pack(base, reinterpret_cast<uint8_t*>(&out[0]));
  }
  return out;
}

// protobuf-c keeps strings as C strings; the map's texts outlive the message.
char* text_field(const std::string& text) { return const_cast<char*>(text.c_str()); }

}  // namespace

std::string serialize_request(const RiskApp& app, const std::string& previous_token,
                              const StringMap& data) {
  const RiskSdk& sdk = *app.sdk();
  const SdkFacts& facts = sdk.facts();

  std::vector<Risk__KeyValue> values;
  values.reserve(data.size());
  for (const auto& entry : data) {
    if (entry.second.empty()) continue;
    Risk__KeyValue value = RISK__KEY_VALUE__INIT;
    value.key = text_field(entry.first);
    value.value = text_field(entry.second);
    values.push_back(value);
  }
  std::vector<Risk__KeyValue*> entries;
  entries.reserve(values.size());
  for (Risk__KeyValue& value : values) entries.push_back(&value);
  Risk__KeyValueList list = RISK__KEY_VALUE_LIST__INIT;
  list.n_entries = entries.size();
  list.entries = entries.data();
  std::string body = pack_message(list);

  Risk__RequestHeader header = RISK__REQUEST_HEADER__INIT;
  header.sdk_version = text_field(facts.sdk_version);
  header.app_version_name = text_field(facts.app_version_name);
  // The field holds the low 32 bits of the version code.
  int32_t version_code = static_cast<int32_t>(static_cast<uint32_t>(facts.app_version_code));
  header.has_app_version_code = version_code != 0;
  header.app_version_code = version_code;
  header.app_key = text_field(app.app_key());
  header.has_os_type = 1;
  header.os_type = static_cast<Risk__OsType>(facts.os_type);
  header.os_version = text_field(facts.os_version);
  if (!previous_token.empty()) header.ulvok = text_field(previous_token);
  header.has_format_version = 1;
  header.format_version = kFormatVersion;
  header.app_name = text_field(facts.app_name);
  header.has_sdk_variant = sdk.sdk_variant() != 0;
  header.sdk_variant = static_cast<Risk__SdkVariant>(sdk.sdk_variant());

  Risk__TokenRequest request = RISK__TOKEN_REQUEST__INIT;
  request.header = &header;
  request.command = RISK__COMMAND__COMMAND_TOKEN;
  request.body.len = body.size();
  request.body.data = reinterpret_cast<uint8_t*>(&body[0]);
  return pack_message(request);
}

int32_t post_request(RiskApp& app, const std::string& url, const std::string& payload,
                     std::string& response, const CipherScheme& scheme) {
  RiskSdk& sdk = *app.sdk();
  const SdkFacts& facts = sdk.facts();
  std::string sign = scheme.sign(payload);
  // An archive that cannot be made is sealed and sent empty; the service
  // refuses it and its answer fails below.
  std::string sealed = scheme.encrypt(pack_archive(payload));

  std::string address = url;
  address += "?sign=" + url_encode(sign);
  address += "&appKey=" + url_encode(app.app_key());
  address += "&app=" + url_encode(facts.app_name);
  address += "&version=" + url_encode(facts.sdk_version);
  if (scheme.kind == kGmSchemeKind) address += "&alg=" + url_encode("gm");

  std::unique_ptr<PostResponse> answer = sdk.post(address, sealed);
  if (!answer) return kPostNoResponse;
  if (answer->body.size() > kMaxAnswerSize) {
    log_message("answer of %zu bytes is larger than any valid one (%zu), refused",
                answer->body.size(), kMaxAnswerSize);
    return kPostDecryptFailed;
  }
  std::string archive = scheme.decrypt(answer->body);
  if (archive.empty()) return kPostDecryptFailed;
  std::string content = unpack_archive(archive);
  if (content.empty()) return kPostNoArchiveEntry;
  response = std::move(content);
  return 0;
}

namespace {

// Protocol-buffer wire types (the low three bits of a tag).
constexpr uint64_t kWireVarint = 0;
constexpr uint64_t kWireFixed64 = 1;
constexpr uint64_t kWireLengthDelimited = 2;
constexpr uint64_t kWireFixed32 = 5;
// A varint holds at most 64 bits in 10 bytes; a tag at most 32 bits in 5.
constexpr size_t kMaxVarintBytes = 10;
constexpr size_t kMaxTagBytes = 5;

// Reads a varint of at most max_bytes bytes at *at, below end; advances *at.
// False when it does not end in time.
bool read_varint(const uint8_t** at, const uint8_t* end, size_t max_bytes, uint64_t* value) {
  uint64_t result = 0;
  for (size_t i = 0; i < max_bytes && *at < end; ++i) {
    const uint8_t byte = *(*at)++;
    result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

}  // namespace

bool within_field_limit(const uint8_t* data, size_t size, size_t max_fields) {
  const uint8_t* at = data;
  const uint8_t* const end = data + size;
  size_t fields = 0;
  while (at < end) {
    if (++fields > max_fields) return false;
    uint64_t tag = 0;
    if (!read_varint(&at, end, kMaxTagBytes, &tag) || (tag >> 3) == 0) return false;
    uint64_t skip = 0;
    switch (tag & 7) {
      case kWireVarint: {
        uint64_t ignored = 0;
        if (!read_varint(&at, end, kMaxVarintBytes, &ignored)) return false;
        continue;
      }
      case kWireFixed64: skip = 8; break;
      case kWireFixed32: skip = 4; break;
      case kWireLengthDelimited:
        if (!read_varint(&at, end, kMaxVarintBytes, &skip)) return false;
        break;
      default: return false;  // groups and the reserved types
    }
    if (skip > static_cast<uint64_t>(end - at)) return false;
    at += skip;
  }
  return true;
}

namespace {

// minizip's deflate parameters for an entry: raw deflate, 15 window bits,
// memory level 8, default strategy (with the level of kDeflateLevel).
constexpr int kDeflateWindowBits = -MAX_WBITS;
constexpr int kDeflateMemLevel = 8;

// deflate's working memory at these parameters (state, window, hash chains,
// pending buffer) is about 262 KiB. From malloc, its pages go back to the
// system between two requests and are faulted in again by the next, which
// costs several times the compression of a request. So the first pack
// makes one area and the process keeps it; a pack that finds it in use
// takes malloc's memory, as zlib would.
constexpr size_t kDeflateAreaSize = 272 * 1024;
constexpr size_t kDeflateAlignment = 16;

struct DeflateArea {
  Mutex mutex;
  char* bytes GUARDED_BY(mutex) = nullptr;
  bool in_use GUARDED_BY(mutex) = false;
};

// Never destroyed: a detached network thread may pack while the process
// exits.
DeflateArea& deflate_area() {
  static auto* area = new DeflateArea;
  return *area;
}

// deflate's allocator for one pack: the process's area when it is free,
// malloc otherwise. What the pack leaves in the area is wiped on return.
class DeflateMemory {
 public:
  DeflateMemory() {
    DeflateArea& area = deflate_area();
    MutexLock lock(&area.mutex);
    if (area.in_use) return;
    if (area.bytes == nullptr) {
      area.bytes = static_cast<char*>(std::malloc(kDeflateAreaSize));
      if (area.bytes == nullptr) return;
      std::memset(area.bytes, 0, kDeflateAreaSize);  // faulted in once, here
    }
    area.in_use = true;
    bytes_ = area.bytes;
  }

  ~DeflateMemory() {
    if (bytes_ == nullptr) return;
    std::memset(bytes_, 0, used_);
    DeflateArea& area = deflate_area();
    MutexLock lock(&area.mutex);
    area.in_use = false;
  }

  DeflateMemory(const DeflateMemory&) = delete;
  DeflateMemory& operator=(const DeflateMemory&) = delete;

  void attach(z_stream& stream) {
    stream.zalloc = &DeflateMemory::allocate;
    stream.zfree = &DeflateMemory::release;
    stream.opaque = this;
  }

 private:
  static voidpf allocate(voidpf opaque, uInt items, uInt size) {
    auto* self = static_cast<DeflateMemory*>(opaque);
    if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
    const size_t wanted = static_cast<size_t>(items) * size;
    if (self->bytes_ != nullptr && wanted <= kDeflateAreaSize - self->used_) {
      void* taken = self->bytes_ + self->used_;
      self->used_ = std::min(kDeflateAreaSize, self->used_ + ((wanted + kDeflateAlignment - 1) &
                                                             ~(kDeflateAlignment - 1)));
      return taken;
    }
    return std::malloc(wanted);
  }

  static void release(voidpf opaque, voidpf address) {
    auto* self = static_cast<DeflateMemory*>(opaque);
    const char* at = static_cast<const char*>(address);
    if (self->bytes_ != nullptr && at >= self->bytes_ && at < self->bytes_ + kDeflateAreaSize) {
      return;  // the area's memory goes with the pack
    }
    std::free(address);
  }

  char* bytes_ = nullptr;  // the process's area, or null
  size_t used_ = 0;
};

// A deflate stream that is ended on every path out.
struct DeflateStream {
  z_stream stream{};
  bool open = false;
  ~DeflateStream() {
    if (open) deflateEnd(&stream);
  }
};

// What deflate_entry makes of a payload.
struct DeflatedEntry {
  std::string bytes;  // empty on failure
  uLong crc = 0;      // the payload's CRC-32
  bool text = false;  // deflate took the payload for text
};

// payload deflated as minizip deflates an entry: every byte with Z_NO_FLUSH,
// then Z_FINISH.
DeflatedEntry deflate_entry(const std::string& payload) {
  DeflatedEntry entry;
  DeflateMemory memory;  // outlives the stream, whose end frees into it
  DeflateStream deflater;
  memory.attach(deflater.stream);
  if (deflateInit2(&deflater.stream, kDeflateLevel, Z_DEFLATED, kDeflateWindowBits,
                   kDeflateMemLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
    return entry;
  }
  deflater.open = true;
  z_stream& z = deflater.stream;
  std::string out(deflateBound(&z, payload.size()), '\0');
  size_t written = 0;
  // One call: output room in pieces of unsigned length.
  auto step = [&](int flush) {
    const size_t room = std::min(kMaxWriteChunk, out.size() - written);
    z.next_out = reinterpret_cast<Bytef*>(&out[written]);
    z.avail_out = static_cast<uInt>(room);
    const int rc = deflate(&z, flush);
    written += room - z.avail_out;
    return rc;
  };
  uLong crc = crc32(0L, Z_NULL, 0);
  for (size_t done = 0; done < payload.size();) {
    const size_t n = std::min(kMaxWriteChunk, payload.size() - done);
    const auto* piece = reinterpret_cast<const Bytef*>(payload.data() + done);
    crc = crc32(crc, piece, static_cast<uInt>(n));
    z.next_in = const_cast<Bytef*>(piece);
    z.avail_in = static_cast<uInt>(n);
    while (z.avail_in > 0) {
      if (step(Z_NO_FLUSH) != Z_OK) return entry;
    }
    done += n;
  }
  for (;;) {
    const int rc = step(Z_FINISH);
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK) return entry;
  }
  out.resize(written);
  entry.bytes = std::move(out);
  entry.crc = crc;
  entry.text = z.data_type == Z_TEXT;
  return entry;
}

}  // namespace

// The entry is deflated here, in memory that stays with the process, and
// handed to minizip as raw deflated data: the same bytes as minizip's own
// deflate gives, without its allocations. minizip marks an entry that its
// deflate took for text in the central header's internal attributes; the
// raw entry carries that mark in its entry information instead.
std::string pack_archive(const std::string& payload) {
  const DeflatedEntry entry = deflate_entry(payload);
  const std::string& deflated = entry.bytes;
  if (deflated.empty()) return std::string();

  MemoryFile file(deflated.size() + kArchiveFraming);
  zlib_filefunc_def functions = file.functions();
  zipFile zip = zipOpen2(kBufferName, APPEND_STATUS_CREATE, nullptr, &functions);
  if (zip == nullptr) return std::string();

  zip_fileinfo info;
  std::memset(&info, 0, sizeof(info));
  info.internal_fa = entry.text ? Z_TEXT : 0;
  constexpr int kRaw = 1;
  int rc = zipOpenNewFileInZip2(zip, kEntryName, &info, nullptr, 0, nullptr, 0, nullptr,
                                Z_DEFLATED, kDeflateLevel, kRaw);
  for (size_t done = 0; rc == ZIP_OK && done < deflated.size();) {
    size_t n = std::min(kMaxWriteChunk, deflated.size() - done);
    rc = zipWriteInFileInZip(zip, deflated.data() + done, static_cast<unsigned>(n));
    done += n;
  }
  if (rc == ZIP_OK) rc = zipCloseFileInZipRaw64(zip, payload.size(), entry.crc);
  // zipClose frees the handle whatever happens, so it runs on every path.
  int close_rc = zipClose(zip, nullptr);
  if (rc != ZIP_OK || close_rc != ZIP_OK) return std::string();
  return file.written();
}

void warm_archive() noexcept {
  guarded("archive warm-up", [] { pack_archive(std::string(512, 'k')); });
}

std::string unpack_archive(const std::string& archive) {
  if (archive.empty() || !has_whole_end_record(archive)) return std::string();
  MemoryFile file(archive);
  zlib_filefunc_def functions = file.functions();
  std::unique_ptr<void, UnzipCloser> unzip(unzOpen2(kBufferName, &functions));
  if (!unzip) return std::string();

  constexpr int kCaseSensitive = 1;
  if (unzLocateFile(unzip.get(), kEntryName, kCaseSensitive) != UNZ_OK) return std::string();
  // The 64-bit record: a 32-bit uLong would truncate a zip64 size claim.
  unz_file_info64 info;
  if (unzGetCurrentFileInfo64(unzip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
    return std::string();
  }
  // The declared size is the archive's claim, not a fact: bound it before
  // allocating anything.
  if (info.uncompressed_size == 0 || info.uncompressed_size > kMaxEntrySize) {
    return std::string();
  }
  if (unzOpenCurrentFile(unzip.get()) != UNZ_OK) return std::string();
  std::string content(info.uncompressed_size, '\0');
  int n = unzReadCurrentFile(unzip.get(), &content[0], static_cast<unsigned>(content.size()));
  // Closing compares the CRC-32 only once the whole entry has been read,
  // hence the end-of-entry test before it.
  bool whole = n >= 0 && static_cast<size_t>(n) == content.size() && unzeof(unzip.get()) == 1;
  int close_rc = unzCloseCurrentFile(unzip.get());
  if (!whole || close_rc != UNZ_OK) {
    return std::string();
  }
  return content;
}

}  // namespace risk
