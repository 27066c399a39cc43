#include "format/file_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "format/file_names.h"
#include "temp_dir.h"

namespace corvid {
namespace {

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(JoinPathTest, Forms) {
  EXPECT_EQ(join_path("dir", "wal.bin"), "dir/wal.bin");
  EXPECT_EQ(join_path("dir/", "wal.bin"), "dir/wal.bin");
  EXPECT_EQ(join_path("/", "wal.bin"), "/wal.bin");
  EXPECT_EQ(join_path("", "wal.bin"), "wal.bin");
}

TEST(MakeDirsTest, CreatesMissingParents) {
  std::string base = temp_dir();
  EXPECT_TRUE(make_dirs(base + "/a/b//c/").ok());
  EXPECT_TRUE(is_dir(base + "/a/b/c"));
  EXPECT_TRUE(make_dirs(base + "/a/b").ok());  // existing is success
  EXPECT_TRUE(make_dirs("").ok());
}

TEST(MakeDirsTest, RegularFileIsAlreadyExists) {
  std::string base = temp_dir();
  std::string file = base + "/f";
  Fd fd;
  ASSERT_TRUE(open_file(file, O_RDWR | O_CREAT, &fd).ok());
  Status s = make_dirs(file);
  EXPECT_EQ(s.code(), EEXIST);
  EXPECT_EQ(s.message(), "File exists (os error 17)");
  EXPECT_EQ(make_dirs(file + "/sub").code(), ENOTDIR);
}

TEST(MakeDirsTest, NulByteIsRefused) {
  Status s = make_dirs(std::string("/tmp/a\0b", 8));
  EXPECT_EQ(s.code(), 0);
  EXPECT_EQ(s.message(), "file name contained an unexpected NUL byte");
}

TEST(ExactIoTest, ShortFileAndZeroWrites) {
  std::string base = temp_dir();
  Fd fd;
  ASSERT_TRUE(open_file(base + "/x", O_RDWR | O_CREAT, &fd).ok());
  ASSERT_TRUE(write_all_at(fd.get(), "hello", 5, 2).ok());
  char buf[7];
  ASSERT_TRUE(read_exact_at(fd.get(), buf, 7, 0).ok());
  EXPECT_EQ(std::string(buf, 7), std::string("\0\0hello", 7));
  Status s = read_exact_at(fd.get(), buf, 3, 5);
  EXPECT_EQ(s.kind(), ErrorKind::kUnexpectedEof);
  EXPECT_EQ(s.message(), "failed to fill whole buffer");
  uint64_t len = 0;
  ASSERT_TRUE(file_length(fd.get(), &len).ok());
  EXPECT_EQ(len, 7u);
}

}  // namespace
}  // namespace corvid
