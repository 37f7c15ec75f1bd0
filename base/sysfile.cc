#include "base/sysfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/strings.h"

namespace risk {

struct LineReader {
  // A heap block with its counters: bytes held (filled), next byte to
  // consume (position) and size (capacity).
  struct ByteBuffer {
    char* data = nullptr;
    size_t filled = 0;
    size_t position = 0;
    size_t capacity = 0;
  };

  ByteBuffer read_buffer;  // bytes from fd not yet consumed
  ByteBuffer line_buffer;  // the line being assembled, zero-terminated on return
  int fd = -1;
  bool at_end = false;      // fd reported end of input or an error
  bool pending_cr = false;  // the last line ended at CR: skip a directly following LF
  bool owns_fd = false;
};

namespace {

using ByteBuffer = LineReader::ByteBuffer;

// Longest piece of a line: the line buffer less its terminating zero.
constexpr size_t kMaxPiece = kLineReaderBufferSize - 1;

constexpr size_t kUuidBytes = 16;
// Reads of the random device that return nothing, in a row, before giving
// up on it: the first failure and 17 retries.
constexpr int kMaxRandomReadFailures = 18;
// Draws discarded after seeding: up to 31, chosen by the time.
constexpr unsigned kDiscardMask = 31;

bool allocate(ByteBuffer& buffer, size_t capacity) {
  buffer.data = static_cast<char*>(std::malloc(capacity));
  buffer.capacity = buffer.data ? capacity : 0;
  return buffer.data != nullptr;
}

bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// read() that resumes after a signal.
ssize_t read_retrying_eintr(int fd, void* data, size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, data, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Reads into the free space of the read buffer. A read that returns 0 is
// tried once more before it counts as the end of input.
void refill(LineReader& reader) {
  ByteBuffer& in = reader.read_buffer;
  // Move what is left to the front (only called once everything has been
  // consumed, so in practice this just rewinds the buffer).
  const size_t rest = in.filled - in.position;
  if (rest != 0 && in.position != 0) std::memmove(in.data, in.data + in.position, rest);
  in.filled = rest;
  in.position = 0;
  ssize_t n = read_retrying_eintr(reader.fd, in.data + in.filled, in.capacity - in.filled);
  if (n == 0) n = read_retrying_eintr(reader.fd, in.data + in.filled, in.capacity - in.filled);
  if (n <= 0) {
    reader.at_end = true;
    return;
  }
  in.filled += size_t(n);
}

const char* finish_line(ByteBuffer& line, size_t* length) {
  line.data[line.filled] = '\0';
  if (length) *length = line.filled;
  return line.data;
}

int open_read_only(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

}  // namespace

LineReader* line_reader_create(int fd, bool owns_fd) {
  // 0 is a descriptor like any other: a host that closed its standard input
  // hands it to the next open().
  if (fd < 0) return nullptr;
  auto* reader = new (std::nothrow) LineReader;
  if (reader == nullptr || !allocate(reader->read_buffer, kLineReaderBufferSize) ||
      !allocate(reader->line_buffer, kLineReaderBufferSize)) {
    if (reader) {
      std::free(reader->read_buffer.data);
      delete reader;
    }
    if (owns_fd) ::close(fd);
    return nullptr;
  }
  reader->fd = fd;
  reader->owns_fd = owns_fd;
  return reader;
}

void line_reader_destroy(LineReader* reader) {
  if (reader == nullptr) return;
  if (reader->owns_fd) ::close(reader->fd);
  std::free(reader->read_buffer.data);
  std::free(reader->line_buffer.data);
  delete reader;
}

const char* read_line(LineReader* reader, size_t* length) {
  if (reader == nullptr || reader->at_end) return nullptr;
  ByteBuffer& in = reader->read_buffer;
  ByteBuffer& line = reader->line_buffer;
  line.filled = 0;
  for (;;) {
    if (in.position < in.filled) {
      if (reader->pending_cr) {
        reader->pending_cr = false;
        if (in.data[in.position] == '\n') {
          ++in.position;
          continue;
        }
      }
      // Copy up to the first line end, as far as the line buffer has room.
      const char* start = in.data + in.position;
      const size_t available = in.filled - in.position;
      const size_t room = kMaxPiece - line.filled;
      const size_t limit = available < room ? available : room;
      size_t n = 0;
      while (n < limit && !is_line_end(start[n])) ++n;
      std::memcpy(line.data + line.filled, start, n);
      line.filled += n;
      in.position += n;
      if (in.position < in.filled) {
        // Either a line end, or the line buffer is full. A full buffer that
        // is directly followed by the line end returns it as one line, so an
        // over-long line never leaves a spurious empty line behind.
        const char c = in.data[in.position];
        if (is_line_end(c)) {
          ++in.position;
          reader->pending_cr = c == '\r';
        }
        return finish_line(line, length);
      }
    }
    if (reader->at_end) {
      return line.filled != 0 ? finish_line(line, length) : nullptr;
    }
    refill(*reader);
  }
}

std::string read_first_line(const std::string& path) {
  LineReaderPtr reader = make_line_reader(open_read_only(path), true);
  size_t length = 0;
  const char* line = read_line(reader.get(), &length);
  if (line == nullptr) return std::string();
  return trim(std::string(line, length));
}

void parse_key_value_file(const std::string& path, KeyValueCallback callback, void* user) {
  LineReaderPtr reader = make_line_reader(open_read_only(path), true);
  size_t length = 0;
  while (const char* line = read_line(reader.get(), &length)) {
    const void* colon = std::memchr(line, ':', length);
    if (colon == nullptr) continue;
    const size_t at = size_t(static_cast<const char*>(colon) - line);
    callback(user, trim(std::string(line, at)), trim(std::string(line + at + 1, length - at - 1)));
  }
}

std::string path_under_root(const std::string& root, const std::string& path) {
  if (root.empty()) return path;
  const size_t last = root.find_last_not_of('/');
  std::string joined = last == std::string::npos ? std::string() : root.substr(0, last + 1);
  if (path.empty() || path[0] != '/') joined += '/';
  return joined + path;
}

std::string generate_uuid_v4() {
  struct timeval t1 {};
  ::gettimeofday(&t1, nullptr);
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fd = ::open("/dev/random", O_RDONLY | O_NONBLOCK | O_CLOEXEC);

  // A generator of our own state (rand_r) rather than srand/rand: reseeding
  // the process-wide generator would change the host's rand() sequence.
  unsigned seed = (uint32_t(::getpid()) << 16) ^ uint32_t(::getuid()) ^ uint32_t(t1.tv_sec) ^
                  uint32_t(t1.tv_usec);
  struct timeval t2 {};
  ::gettimeofday(&t2, nullptr);
  const unsigned discard = unsigned(uint32_t(t2.tv_sec) ^ uint32_t(t2.tv_usec)) & kDiscardMask;
  for (unsigned i = 0; i < discard; ++i) ::rand_r(&seed);

  unsigned char b[kUuidBytes] = {};
  if (fd >= 0) {
    size_t got = 0;
    int failures = 0;
    while (got < kUuidBytes && failures < kMaxRandomReadFailures) {
      const ssize_t n = ::read(fd, b + got, kUuidBytes - got);
      if (n > 0) {
        got += size_t(n);
        failures = 0;
      } else {
        ++failures;
      }
    }
    ::close(fd);
  }
  for (auto& byte : b) byte ^= static_cast<unsigned char>((::rand_r(&seed) >> 7) & 0xff);

  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // variant 10

  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                unsigned(b[0]) << 24 | unsigned(b[1]) << 16 | unsigned(b[2]) << 8 | b[3],
                unsigned(b[4]) << 8 | b[5], unsigned(b[6]) << 8 | b[7], b[8], b[9], b[10], b[11],
                b[12], b[13], b[14], b[15]);
  return std::string(text, 36);
}

}  // namespace risk
