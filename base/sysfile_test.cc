#include "base/sysfile.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"

namespace risk {
namespace {

using Lines = std::vector<std::string>;

// Reads every line of reader until null.
Lines read_all(LineReader* reader) {
  Lines lines;
  size_t length = 0;
  while (const char* line = read_line(reader, &length)) {
    EXPECT_EQ('\0', line[length]) << "line not zero-terminated";
    lines.emplace_back(line, length);
  }
  // Null stays null.
  EXPECT_EQ(nullptr, read_line(reader));
  return lines;
}

// Feeds the reader through a SOCK_SEQPACKET socket pair: every packet comes
// back from exactly one read(), so the test decides where each read ends.
// A writer thread sends the packets, then closes its end (end of input).
class PacketFeed {
 public:
  explicit PacketFeed(std::vector<std::string> packets) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
      ADD_FAILURE() << "socketpair failed";
      return;
    }
    read_fd_ = fds[0];
    writer_ = std::thread([fd = fds[1], packets = std::move(packets)] {
      for (const std::string& p : packets) {
        // A packet longer than the read buffer would be cut by read().
        EXPECT_LE(p.size(), kLineReaderBufferSize);
        const ssize_t sent = ::send(fd, p.data(), p.size(), MSG_NOSIGNAL);
        // The reader may stop early and close its end; what it saw is
        // checked by the test.
        if (sent < 0 && errno == EPIPE) break;
        EXPECT_EQ(ssize_t(p.size()), sent);
      }
      ::close(fd);
    });
  }
  ~PacketFeed() {
    if (writer_.joinable()) writer_.join();
  }
  // The reader owns the read end.
  int take_fd() { return std::exchange(read_fd_, -1); }

 private:
  int read_fd_ = -1;
  std::thread writer_;
};

Lines read_packets(std::vector<std::string> packets) {
  PacketFeed feed(std::move(packets));
  LineReaderPtr reader = make_line_reader(feed.take_fd(), true);
  EXPECT_NE(nullptr, reader);
  return read_all(reader.get());
}

class SysfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sysfile_test.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const std::string& f : files_) ::unlink(f.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string write_file(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    files_.push_back(path);
    return path;
  }
  Lines read_file_lines(const std::string& content) {
    const int fd = ::open(write_file("lines", content).c_str(), O_RDONLY);
    LineReaderPtr reader = make_line_reader(fd, true);
    EXPECT_NE(nullptr, reader);
    return read_all(reader.get());
  }

  std::string dir_;
  std::vector<std::string> files_;
};

// ------------------------------------------------------------ LineReader

TEST_F(SysfileTest, SplitsAtLfCrAndCrLfAlike) {
  EXPECT_EQ(Lines({"a", "b", "c"}), read_file_lines("a\r\nb\rc"));
  EXPECT_EQ(Lines({"a", "", "b", "", "c"}), read_file_lines("a\n\nb\r\r\nc\n"));
  EXPECT_EQ(Lines({"x", "", "y"}), read_file_lines("x\n\r\ny\r"));
  // LF CR is two line ends.
  EXPECT_EQ(Lines({"p", "", "q"}), read_file_lines("p\n\rq"));
}

TEST_F(SysfileTest, ReturnsTheLastLineWithoutTerminator) {
  EXPECT_EQ(Lines({"first", "last"}), read_file_lines("first\nlast"));
  EXPECT_EQ(Lines({"only"}), read_file_lines("only"));
}

TEST_F(SysfileTest, FileOfOneLineFeedIsOneEmptyLine) {
  const int fd = ::open(write_file("lf", "\n").c_str(), O_RDONLY);
  LineReaderPtr reader = make_line_reader(fd, true);
  const char* first = read_line(reader.get());
  ASSERT_NE(nullptr, first);
  EXPECT_STREQ("", first);
  EXPECT_EQ(nullptr, read_line(reader.get()));
}

TEST_F(SysfileTest, EmptyFileHasNoLines) { EXPECT_EQ(Lines(), read_file_lines("")); }

TEST_F(SysfileTest, KeepsZeroBytesInsideALine) {
  EXPECT_EQ(Lines({std::string("a\0b", 3), "c"}), read_file_lines(std::string("a\0b\nc", 5)));
}

TEST(LineReaderReads, CrAtTheEndOfOneReadAndLfAtTheStartOfTheNextAreOneLineEnd) {
  EXPECT_EQ(Lines({"one", "two"}), read_packets({"one\r", "\ntwo\n"}));
  EXPECT_EQ(Lines({"one", "two"}), read_packets({"one\r", "\n", "two"}));
  // A CR followed by something else in the next read ends only its line.
  EXPECT_EQ(Lines({"one", "two"}), read_packets({"one\r", "two\r"}));
  EXPECT_EQ(Lines({"one", "", "two"}), read_packets({"one\r", "\r", "\ntwo"}));
}

TEST(LineReaderReads, AssemblesALineFromManyReads) {
  EXPECT_EQ(Lines({"abcdef", "gh"}), read_packets({"a", "bc", "def\ng", "h"}));
}

TEST(LineReaderReads, ReturnsAnOverLongLineInPiecesWithNoByteLostOrDoubled) {
  std::string line;
  for (int i = 0; i < 10000; ++i) line += char('a' + i % 26);
  // Reads of 1234 bytes, the terminator and the next line in reads of their own.
  std::vector<std::string> packets;
  for (size_t at = 0; at < line.size(); at += 1234) packets.push_back(line.substr(at, 1234));
  packets.push_back("\r");
  packets.push_back("\nnext\n");
  const Lines lines = read_packets(packets);

  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ("next", lines.back());
  std::string joined;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_FALSE(lines[i].empty()) << "piece " << i;
    EXPECT_LE(lines[i].size(), kLineReaderBufferSize - 1) << "piece " << i;
    joined += lines[i];
  }
  EXPECT_EQ(line, joined);
  EXPECT_EQ((line.size() + kLineReaderBufferSize - 2) / (kLineReaderBufferSize - 1),
            lines.size() - 1);
}

// A line that exactly fills the line buffer, its LF arriving in the next
// read: one line, not the line and then an empty one.
TEST(LineReaderReads, LineFillingTheBufferExactlyLeavesNoSpuriousEmptyLine) {
  const std::string full(kLineReaderBufferSize - 1, 'x');
  EXPECT_EQ(Lines({full, "next"}), read_packets({full, "\nnext"}));
  EXPECT_EQ(Lines({full, "next"}), read_packets({full + "\r", "\nnext"}));
  EXPECT_EQ(Lines({full, "y", "next"}), read_packets({full + "y", "\nnext"}));
}

// An empty packet reads as 0 bytes: one such read is tried again, two in a
// row end the input.
TEST(LineReaderReads, OneEmptyReadIsRetriedTwoEndTheInput) {
  EXPECT_EQ(Lines({"abc"}), read_packets({"ab", "", "c\n"}));
  EXPECT_EQ(Lines({"ab"}), read_packets({"ab", "", "", "c\n"}));
}

TEST(LineReaderLifetime, RefusesNegativeDescriptors) {
  EXPECT_EQ(nullptr, line_reader_create(-1, true));
  EXPECT_EQ(nullptr, read_line(nullptr));
}

// A host that closed its standard input makes open() answer 0. The file
// must still be read, and descriptor 0 must be free again afterwards (a
// leaked one is what the host's next "stdin" would read).
TEST_F(SysfileTest, DescriptorZeroIsReadAndClosedLikeAnyOther) {
  const std::string first = write_file("first", "  cpu MHz : 1\n");
  const std::string pairs = write_file("pairs", "MemTotal: 8 kB\nMemFree: 2 kB\n");
  const int saved = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  ::close(0);

  std::string line = read_first_line(first);
  const bool zero_free_after_first = ::fcntl(0, F_GETFD) == -1;
  std::vector<std::string> seen;
  parse_key_value_file(
      pairs,
      [](void* user, const std::string& name, const std::string& value) {
        static_cast<std::vector<std::string>*>(user)->push_back(name + "=" + value);
      },
      &seen);
  const bool zero_free_after_pairs = ::fcntl(0, F_GETFD) == -1;
  // Owned descriptor 0 handed in directly.
  const int fd = ::open(first.c_str(), O_RDONLY);
  Lines direct;
  if (fd == 0) direct = read_all(make_line_reader(fd, true).get());
  const bool zero_free_after_direct = ::fcntl(0, F_GETFD) == -1;

  ASSERT_EQ(0, ::dup2(saved, 0));
  ::close(saved);
  EXPECT_EQ("cpu MHz : 1", line);
  EXPECT_TRUE(zero_free_after_first) << "read_first_line left descriptor 0 open";
  EXPECT_EQ(std::vector<std::string>({"MemTotal=8 kB", "MemFree=2 kB"}), seen);
  EXPECT_TRUE(zero_free_after_pairs) << "parse_key_value_file left descriptor 0 open";
  EXPECT_EQ(0, fd);
  EXPECT_EQ(Lines({"  cpu MHz : 1"}), direct);
  EXPECT_TRUE(zero_free_after_direct) << "an owning reader left descriptor 0 open";
}

TEST(LineReaderLifetime, ClosesTheDescriptorOnlyWhenItOwnsIt) {
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  line_reader_destroy(line_reader_create(fds[0], false));
  EXPECT_NE(-1, ::fcntl(fds[0], F_GETFD));
  line_reader_destroy(line_reader_create(fds[0], true));
  EXPECT_EQ(-1, ::fcntl(fds[0], F_GETFD));
  ::close(fds[1]);
}

TEST(LineReaderLifetime, ReadErrorEndsTheInput) {
  // read() on a directory fails with EISDIR.
  const int fd = ::open("/", O_RDONLY | O_DIRECTORY);
  LineReaderPtr reader = make_line_reader(fd, true);
  ASSERT_NE(nullptr, reader);
  EXPECT_EQ(nullptr, read_line(reader.get()));
}

// ------------------------------------------------- first line, key/value

TEST_F(SysfileTest, FirstLineIsTrimmed) {
  EXPECT_EQ("Linux version 6.1.0 (gcc 12)",
            read_first_line(write_file("version", " \tLinux version 6.1.0 (gcc 12) \r\nsecond\n")));
  EXPECT_EQ("0x41", read_first_line(write_file("no_terminator", "0x41")));
}

TEST_F(SysfileTest, FirstLineOfMissingEmptyOrBlankFileIsEmpty) {
  EXPECT_EQ("", read_first_line(dir_ + "/missing"));
  EXPECT_EQ("", read_first_line(write_file("empty", "")));
  EXPECT_EQ("", read_first_line(write_file("lf", "\n")));
  EXPECT_EQ("", read_first_line(write_file("blank", "  \t \nsecond\n")));
  EXPECT_EQ("", read_first_line("/"));
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

void collect_pair(void* user, const std::string& name, const std::string& value) {
  static_cast<Pairs*>(user)->emplace_back(name, value);
}

TEST_F(SysfileTest, ParsesMeminfoStyleLines) {
  const std::string path = write_file("meminfo",
                                      "MemTotal:        8048576 kB\n"
                                      "MemFree:          123456 kB\n"
                                      "no colon on this line\n"
                                      "\n"
                                      "Empty:\n"
                                      "  Spaced Name  :\tvalue: with colon \r\n"
                                      "Hugepagesize:       2048 kB");
  Pairs pairs;
  parse_key_value_file(path, collect_pair, &pairs);
  EXPECT_EQ(Pairs({{"MemTotal", "8048576 kB"},
                   {"MemFree", "123456 kB"},
                   {"Empty", ""},
                   {"Spaced Name", "value: with colon"},
                   {"Hugepagesize", "2048 kB"}}),
            pairs);
}

TEST_F(SysfileTest, MissingKeyValueFileGivesNoCallback) {
  Pairs pairs;
  parse_key_value_file(dir_ + "/missing", collect_pair, &pairs);
  parse_key_value_file(write_file("empty", ""), collect_pair, &pairs);
  EXPECT_TRUE(pairs.empty());
}

TEST_F(SysfileTest, ReadsThroughAFixtureRoot) {
  ASSERT_EQ(0, ::mkdir((dir_ + "/proc").c_str(), 0700));
  write_file("proc/version", "fixture kernel\n");
  EXPECT_EQ("fixture kernel", read_first_line(path_under_root(dir_, "/proc/version")));
  EXPECT_EQ("fixture kernel", read_first_line(path_under_root(dir_ + "//", "/proc/version")));
  ::unlink((dir_ + "/proc/version").c_str());
  ::rmdir((dir_ + "/proc").c_str());
}

TEST(PathUnderRoot, JoinsWithExactlyOneSlash) {
  EXPECT_EQ("/proc/meminfo", path_under_root("", "/proc/meminfo"));
  EXPECT_EQ("/proc/meminfo", path_under_root("/", "/proc/meminfo"));
  EXPECT_EQ("/tmp/fx/proc/meminfo", path_under_root("/tmp/fx", "/proc/meminfo"));
  EXPECT_EQ("/tmp/fx/proc/meminfo", path_under_root("/tmp/fx/", "/proc/meminfo"));
  EXPECT_EQ("/tmp/fx/proc", path_under_root("/tmp/fx", "proc"));
}

// ------------------------------------------------------------- UUID, clock

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

TEST(Uuid, HasTheVersion4Layout) {
  for (int i = 0; i < 200; ++i) {
    const std::string u = generate_uuid_v4();
    ASSERT_EQ(36u, u.size()) << u;
    for (size_t k = 0; k < u.size(); ++k) {
      if (k == 8 || k == 13 || k == 18 || k == 23) {
        ASSERT_EQ('-', u[k]) << u;
      } else {
        ASSERT_TRUE(is_lower_hex(u[k])) << u;
      }
    }
    ASSERT_EQ('4', u[14]) << u;
    ASSERT_NE(std::string::npos, std::string("89ab").find(u[19])) << u;
  }
}

TEST(Uuid, TenThousandCallsNeverRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(seen.insert(generate_uuid_v4()).second) << i;
}

// Every hexadecimal digit outside the fixed version nibble and the two
// fixed variant bits shows up, so no byte is stuck.
TEST(Uuid, EveryFreeDigitVaries) {
  std::vector<std::set<char>> digits(36);
  for (int i = 0; i < 2000; ++i) {
    const std::string u = generate_uuid_v4();
    for (size_t k = 0; k < u.size(); ++k) digits[k].insert(u[k]);
  }
  for (size_t k = 0; k < 36; ++k) {
    if (k == 8 || k == 13 || k == 18 || k == 23 || k == 14) continue;
    EXPECT_EQ(k == 19 ? 4u : 16u, digits[k].size()) << "position " << k;
  }
}

TEST(Clock, ConvertsMicrosecondsByTruncation) {
  EXPECT_EQ(1999, timeval_to_ms(timeval{1, 999999}));
  EXPECT_EQ(0, timeval_to_ms(timeval{0, 999}));
  // Beyond 2^31 seconds (year 2038) the result must not wrap.
  EXPECT_EQ(int64_t(4102444800) * 1000 + 5, timeval_to_ms(timeval{4102444800, 5000}));
}

TEST(Clock, NowAgreesWithTheSystemClock) {
  const int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  const int64_t now = now_ms();
  const int64_t after = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  // Both clocks read the same wall time; the slack only absorbs a clock step.
  EXPECT_GE(now, before - 1000);
  EXPECT_LE(now, after + 1000);
  EXPECT_GT(now, int64_t(1577836800000));  // after 2020-01-01
}

}  // namespace
}  // namespace risk
