#include "core/deflate_area.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace risk {

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

}  // namespace

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

}  // namespace risk
