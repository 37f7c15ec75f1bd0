// LineReader over arbitrary file contents (a memory file), and the two
// readers built on it through the file's /proc/self/fd path. The lines
// handed out, pieces of over-long lines included, hold every byte of the
// file except the line terminators, in order, none repeated; when no line
// is over-long they are exactly the lines split at LF, CR and CR LF.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/sysfile.h"
#include "fuzz/fuzz_check.h"

namespace {

using risk::fuzz::check;

// Lines of text split at LF, CR and CR LF; a last line without terminator
// counts when it is not empty.
std::vector<std::string> reference_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_trimmed(const std::string& text) {
  return text.empty() || (!is_space(text.front()) && !is_space(text.back()));
}

int memory_file() {
  static const int fd = memfd_create("line_reader_fuzz", 0);
  check(fd > 0, "memfd_create");
  return fd;
}

void key_value_callback(void* user, const std::string& name, const std::string& value) {
  check(is_trimmed(name) && is_trimmed(value), "names and values come trimmed");
  ++*static_cast<size_t*>(user);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content = risk::fuzz::as_string(data, size);
  const int fd = memory_file();
  check(ftruncate(fd, 0) == 0, "ftruncate");
  check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "pwrite");
  check(lseek(fd, 0, SEEK_SET) == 0, "lseek");

  std::vector<std::string> pieces;
  {
    risk::LineReaderPtr reader = risk::make_line_reader(fd, false);
    check(reader != nullptr, "a reader over a valid descriptor");
    size_t length = 0;
    while (const char* line = risk::read_line(reader.get(), &length)) {
      check(line[length] == '\0', "a line is zero-terminated");
      check(length < risk::kLineReaderBufferSize, "a piece fits the line buffer");
      pieces.emplace_back(line, length);
    }
    check(risk::read_line(reader.get(), &length) == nullptr, "the end stays the end");
  }

  std::string joined;
  for (const std::string& piece : pieces) joined += piece;
  std::string expected_joined;
  for (char c : content) {
    if (c != '\r' && c != '\n') expected_joined += c;
  }
  check(joined == expected_joined, "every byte but the terminators comes back once, in order");

  const std::vector<std::string> lines = reference_lines(content);
  bool over_long = false;
  for (const std::string& line : lines) over_long |= line.size() >= risk::kLineReaderBufferSize - 1;
  if (!over_long) check(pieces == lines, "lines split at LF, CR and CR LF");

  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const std::string first = risk::read_first_line(path);
  check(is_trimmed(first), "the first line comes trimmed");
  check(first.size() < risk::kLineReaderBufferSize, "the first line is at most one piece");
  size_t calls = 0;
  risk::parse_key_value_file(path, &key_value_callback, &calls);
  check(calls <= pieces.size(), "at most one callback per line");
  return 0;
}
