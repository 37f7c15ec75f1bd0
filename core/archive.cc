// The one-entry ZIP archive that wraps every payload: minizip over a file
// in memory (MemoryFile), packing an entry deflated by deflate_entry
// (core/deflate_area.cc) and unpacking an answer's entry.
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/guarded.h"
#include "core/deflate_area.h"
#include "core/wire.h"

namespace risk {
namespace {

// The name the memory buffer is opened under; it never reaches the archive.
constexpr char kBufferName[] = "__notused__";
constexpr char kEntryName[] = "data";
// The memory file grows by at least this much whenever a write does not fit.
constexpr size_t kGrowStep = 64 * 1024;
// What an archive adds around its deflated entry: local header, central
// header and end record, with the entry's name twice. The memory file of a
// new archive starts that much larger than the entry.
constexpr size_t kArchiveFraming = 30 + 46 + 22 + 2 * (sizeof(kEntryName) - 1);

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
      case ZLIB_FILEFUNC_SEEK_SET:
        base = 0;
        break;
      case ZLIB_FILEFUNC_SEEK_CUR:
        base = file->pos_;
        break;
      case ZLIB_FILEFUNC_SEEK_END:
        base = file->input_ ? file->input_->size() : file->end_;
        break;
      default:
        return -1;
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
  int rc = zipOpenNewFileInZip2(zip, kEntryName, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                kDeflateLevel, kRaw);
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
