// System file utilities: a buffered line reader over plain file descriptors,
// the first-line and "name: value" readers the collectors use on Linux
// pseudo-files (/proc, /sys) and the random UUID of the installation
// identifier.
//
// Callers: the collectors (one at a time, each on its collector thread)
// read files and create UUIDs. Nothing here keeps
// shared state; a LineReader belongs to the thread that created it. Nothing
// throws or logs: files that cannot be read give the empty string, a null
// line or no callback at all. Strings returned are owned by the caller;
// lines returned by read_line are owned by the reader.
#ifndef RISK_BASE_SYSFILE_H_
#define RISK_BASE_SYSFILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace risk {

// Capacity of each of the reader's two buffers. An over-long line comes back
// in pieces of at most kLineReaderBufferSize - 1 bytes (one byte holds the
// terminating zero).
constexpr size_t kLineReaderBufferSize = 4000;

struct LineReader;

// Returns a reader of fd, or null when fd < 0 or memory runs out. Any
// descriptor from 0 up is read (0 is what open() gives once the host has
// closed its standard input). With owns_fd the reader closes fd when
// destroyed; it also closes it at once when the reader cannot be allocated.
LineReader* line_reader_create(int fd, bool owns_fd);
// Closes fd when owned and frees the reader. Null is allowed.
void line_reader_destroy(LineReader* reader);

struct LineReaderDeleter {
  void operator()(LineReader* reader) const { line_reader_destroy(reader); }
};
using LineReaderPtr = std::unique_ptr<LineReader, LineReaderDeleter>;
inline LineReaderPtr make_line_reader(int fd, bool owns_fd) {
  return LineReaderPtr(line_reader_create(fd, owns_fd));
}

// Returns the next line without its terminator (LF, CR or CR LF, also when
// CR and LF arrive in different reads), zero-terminated and valid until the
// next call on this reader; null at the end of input, after a read error,
// and for a null reader. An empty line is "" (not null). The last line needs
// no terminator. Over-long lines come back as consecutive pieces; no byte is
// lost or repeated. When length is not null it receives the line's length
// (lines may hold zero bytes).
const char* read_line(LineReader* reader, size_t* length = nullptr);

// The first line of the file at path with leading and trailing white space
// (" \t\n\v\f\r") removed; "" when the file cannot be opened or is empty.
std::string read_first_line(const std::string& path);

// Calls callback(user, name, value) for each line of the file at path that
// holds a ":", split at the first one, both sides trimmed of white space
// ("MemTotal:   8048576 kB" gives "MemTotal" and "8048576 kB"). Lines
// without ":" are skipped. A file that cannot be opened gives no call.
using KeyValueCallback = void (*)(void* user, const std::string& name, const std::string& value);
void parse_key_value_file(const std::string& path, KeyValueCallback callback, void* user);

// Joins a file-system root and an absolute path, so that collectors can be
// pointed at a fixture tree: ("", "/proc/meminfo") gives "/proc/meminfo",
// ("/tmp/fx/", "/proc/meminfo") gives "/tmp/fx/proc/meminfo".
std::string path_under_root(const std::string& root, const std::string& path);

// A random UUID (version 4, variant 10, RFC 4122): 36 lowercase characters
// "xxxxxxxx-xxxx-4xxx-[89ab]xxx-xxxxxxxxxxxx". Bytes come from /dev/urandom
// (or /dev/random), mixed with a pseudo-random generator seeded from the
// process, user and time; when no device can be read, from that generator
// alone. Always 36 characters.
std::string generate_uuid_v4();

}  // namespace risk

#endif  // RISK_BASE_SYSFILE_H_
