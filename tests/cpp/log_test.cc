#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "format/buffered_reader.h"
#include "format/log_reader.h"
#include "format/log_writer.h"

namespace corvid {
namespace {

std::string temp_file() {
  char tmpl[] = "/tmp/corvid-log-XXXXXX";
  int fd = ::mkstemp(tmpl);
  ::close(fd);
  return tmpl;
}

std::string slurp(const std::string& path) {
  std::string out;
  Fd fd;
  EXPECT_TRUE(open_file(path, O_RDONLY, &fd).ok());
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd.get(), buf, sizeof buf)) > 0) out.append(buf, n);
  return out;
}

std::unique_ptr<LogWriter> open_log(const std::string& path) {
  Fd fd;
  EXPECT_TRUE(open_file(path, O_WRONLY | O_APPEND | O_CREAT, &fd).ok());
  uint64_t length = 0;
  EXPECT_TRUE(file_length(fd.get(), &length).ok());
  return std::make_unique<LogWriter>(std::move(fd), length);
}

std::vector<WalEntry> replay(const std::string& path, uint64_t* end) {
  std::vector<WalEntry> out;
  WalReplay r;
  EXPECT_TRUE(read_wal(
                  path, [&](WalEntry& e) { out.push_back(e); }, &r)
                  .ok());
  EXPECT_FALSE(r.read_error);
  *end = r.whole_end;
  return out;
}

const std::string kPutA("\0\0\0\0\1\0\0\0\0\0\0\0a\2\0\0\0\0\0\0\0xy", 23);
const std::string kDeleteA("\1\0\0\0\1\0\0\0\0\0\0\0a", 13);

TEST(LogTest, EncodesPutAndDelete) {
  std::string path = temp_file();
  {
    auto log = open_log(path);
    ASSERT_TRUE(log->append_put("a", "xy").ok());
    ASSERT_TRUE(log->append_delete("a").ok());
    EXPECT_EQ(slurp(path), "");
  }
  EXPECT_EQ(slurp(path), kPutA + kDeleteA);
}

TEST(LogTest, RoundTripAndTornTails) {
  std::string path = temp_file();
  {
    auto log = open_log(path);
    ASSERT_TRUE(log->append_put("k1", std::string(10000, 'v')).ok());
    ASSERT_TRUE(log->append_delete("k1").ok());
    ASSERT_TRUE(log->append_put("", "").ok());
  }
  std::string whole = slurp(path);
  uint64_t end = 0;
  auto entries = replay(path, &end);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].type, WalEntry::Type::kPut);
  EXPECT_EQ(entries[0].value, std::string(10000, 'v'));
  EXPECT_EQ(entries[1].type, WalEntry::Type::kDelete);
  EXPECT_EQ(entries[2].key, "");
  EXPECT_EQ(end, whole.size());

  // A cut anywhere inside the last entry drops just that entry.
  size_t last_start = whole.size() - 20;
  for (size_t cut = last_start; cut < whole.size(); ++cut) {
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
    EXPECT_EQ(replay(path, &end).size(), 2u) << cut;
    EXPECT_EQ(end, last_start);
  }
}

std::string numbered(const char* prefix, int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%d", prefix, i);
  return buf;
}

// Writes past RLIMIT_FSIZE fail as a full disk does (EFBIG instead of
// ENOSPC), for this test's files only while it runs.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_;
};

// Appends that fail on a full file leave nothing behind: the file holds
// whole entries only, exactly the acknowledged ones, and appends go on once
// there is room again.
TEST(LogTest, FailedAppendsLeaveNothingBehind) {
  for (size_t value_size : {10, 3000, 8191, 8192, 20000}) {
    std::string path = temp_file();
    auto log = open_log(path);
    std::vector<std::string> acknowledged;
    {
      FileSizeLimit limit(30000);
      for (int i = 0; acknowledged.size() < 10000; ++i) {
        std::string key = numbered("k", i);
        Status s = i % 5 == 4 ? log->append_delete(key)
                              : log->append_put(key, std::string(value_size, 'a' + i % 26));
        if (!s.ok()) {
          EXPECT_EQ(s.code(), EFBIG);
          break;
        }
        acknowledged.push_back(key);
      }
      ASSERT_LT(acknowledged.size(), 10000u) << "the limit was never reached";
      // A flush that fails keeps the acknowledged bytes pending.
      (void)log->flush();
    }
    for (int i = 0; i < 3; ++i) {
      std::string key = numbered("after", i);
      ASSERT_TRUE(log->append_put(key, "x").ok());
      acknowledged.push_back(key);
    }
    log.reset();
    uint64_t end = 0;
    std::vector<WalEntry> entries = replay(path, &end);
    EXPECT_EQ(end, slurp(path).size()) << value_size;
    ASSERT_EQ(entries.size(), acknowledged.size()) << value_size;
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].key, acknowledged[i]);
  }
}

TEST(LogTest, RollBackTakesBackWhatFollowsTheMark) {
  std::string path = temp_file();
  auto log = open_log(path);
  ASSERT_TRUE(log->append_put("kept", "1").ok());
  uint64_t mark = log->end();
  ASSERT_TRUE(log->append_put("dropped", std::string(20000, 'd')).ok());  // partly written out
  ASSERT_TRUE(log->roll_back(mark).ok());
  ASSERT_TRUE(log->append_put("next", "2").ok());
  log.reset();
  uint64_t end = 0;
  std::vector<WalEntry> entries = replay(path, &end);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, "kept");
  EXPECT_EQ(entries[1].key, "next");
}

TEST(LogTest, MissingLogHandsOverNothing) {
  uint64_t end = 7;
  EXPECT_TRUE(replay("/nonexistent/wal.bin", &end).empty());
  EXPECT_EQ(end, 0u);
}

WalEntry decode(const std::string& bytes, Status* status) {
  BufferedReader in{std::string_view(bytes)};
  WalEntry e;
  *status = decode_wal_entry(in, &e);
  return e;
}

TEST(DecodeTest, MalformedEntries) {
  Status s;
  decode(std::string("\2\0\0\0\0\0\0\0\0\0\0\0", 12), &s);
  EXPECT_FALSE(s.ok());  // bad tag
  decode(std::string("\1\0\0\0\2\0\0\0\0\0\0\0\xFF\xFE", 14), &s);
  EXPECT_FALSE(s.ok());  // invalid UTF-8
  decode(std::string("\1\0\0\0\12\0\0\0\0\0\0\0abcd", 16), &s);
  EXPECT_EQ(s.kind(), ErrorKind::kUnexpectedEof);  // length past the end
  decode(std::string("\1\0\0\0\2\0\0\0\0\0\0\0\xC3\xA9", 14), &s);
  EXPECT_TRUE(s.ok());
}

TEST(DecodeTest, HugeLengthReservesNoMemory) {
  std::string bytes("\0\0\0\0\0\0\0\x80xyz", 11);  // 2**63
  BufferedReader in{std::string_view(bytes)};
  std::string out;
  Status s = decode_bytes(in, &out);
  EXPECT_EQ(s.kind(), ErrorKind::kUnexpectedEof);
  EXPECT_LE(out.capacity(), (1u << 20) + 64);
}

TEST(DecodeTest, TextEncoding) {
  std::string bytes("\3\0\0\0\0\0\0\0abc\0\0\0\0\0\0\0\0", 19);
  BufferedReader in{std::string_view(bytes)};
  std::string a, b;
  ASSERT_TRUE(decode_text(in, &a).ok());
  ASSERT_TRUE(decode_text(in, &b).ok());
  EXPECT_EQ(a, "abc");
  EXPECT_EQ(b, "");
  EXPECT_EQ(in.consumed(), 19u);
}

TEST(Utf8Test, StrictRules) {
  EXPECT_TRUE(valid_utf8("plain"));
  EXPECT_TRUE(valid_utf8("\xF0\x9F\x90\xA6"));   // a bird
  EXPECT_FALSE(valid_utf8("\xC0\x80"));          // overlong NUL
  EXPECT_FALSE(valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(valid_utf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(valid_utf8("\xE2\x82"));          // cut short
  EXPECT_FALSE(valid_utf8("\x80"));
}

}  // namespace
}  // namespace corvid
