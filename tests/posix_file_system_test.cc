// The POSIX file system against a real scratch directory, and its write
// loop against a system that writes short, writes nothing or is interrupted.
#include "platform/posix_file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "test_util.h"

namespace dtk {
namespace {

TEST(PosixFileSystemTest, OperationsAndTheirErrors) {
  TempDir dir;
  PosixFileSystem fs;
  std::string sub = dir / "sub";
  EXPECT_EQ(fs.MakeDirectory(sub.c_str()), 0u);
  EXPECT_EQ(fs.MakeDirectory(sub.c_str()), static_cast<ErrorCode>(EEXIST));
  EXPECT_EQ(fs.MakeDirectory((dir / "no/such").c_str()), static_cast<ErrorCode>(ENOENT));

  FileHandle file;
  std::string path = sub + "/f";
  WriteWholeFile(path, "old contents, longer");
  ASSERT_EQ(fs.OpenForWrite(path.c_str(), &file), 0u);  // truncates
  EXPECT_EQ(fs.Write(file, "hello", 5), 0u);
  EXPECT_EQ(fs.Flush(file), 0u);
  EXPECT_EQ(fs.Close(file), 0u);
  EXPECT_EQ(ReadWholeFile(path), "hello");
  EXPECT_EQ(fs.FlushDirectory(sub.c_str()), 0u);

  ASSERT_EQ(fs.OpenForRead(path.c_str(), &file), 0u);
  char buffer[16];
  uint32_t got = 0;
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 0u);  // the end of the file
  EXPECT_EQ(fs.Close(file), 0u);

  EXPECT_EQ(fs.OpenForRead((dir / "missing").c_str(), &file), static_cast<ErrorCode>(ENOENT));
  EXPECT_EQ(file, kInvalidFile);
  EXPECT_EQ(fs.OpenForWrite((dir / "no/such").c_str(), &file), static_cast<ErrorCode>(ENOENT));
  EXPECT_EQ(fs.RemoveDirectory(sub.c_str()), static_cast<ErrorCode>(ENOTEMPTY));
  EXPECT_EQ(fs.DeleteFile(sub.c_str()), static_cast<ErrorCode>(EISDIR));
  EXPECT_EQ(fs.DeleteFile(path.c_str()), 0u);
  EXPECT_EQ(fs.DeleteFile(path.c_str()), static_cast<ErrorCode>(ENOENT));
  EXPECT_EQ(fs.RemoveDirectory(sub.c_str()), 0u);
  EXPECT_EQ(fs.RemoveDirectory(sub.c_str()), static_cast<ErrorCode>(ENOENT));
  EXPECT_TRUE(IsNotFoundError(ENOENT));
  EXPECT_TRUE(IsNotFoundError(ENAMETOOLONG));
  EXPECT_FALSE(IsNotFoundError(EACCES));
}

TEST(PosixFileSystemTest, ALinkInThePlaceOfAFileIsNotWrittenThrough) {
  TempDir dir;
  PosixFileSystem fs;
  std::string victim = dir / "victim";
  WriteWholeFile(victim, "keep");
  std::string link = dir / "file-0";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  FileHandle file;
  EXPECT_EQ(fs.OpenForWrite(link.c_str(), &file), static_cast<ErrorCode>(ELOOP));
  EXPECT_EQ(ReadWholeFile(victim), "keep");
  // Reading through a link harms nothing.
  ASSERT_EQ(fs.OpenForRead(link.c_str(), &file), 0u);
  EXPECT_EQ(fs.Close(file), 0u);
}

TEST(PosixFileSystemTest, FilesAndDirectoriesFollowTheUmask) {
  TempDir dir;
  PosixFileSystem fs;
  mode_t old = umask(022);
  FileHandle file;
  ASSERT_EQ(fs.OpenForWrite((dir / "f").c_str(), &file), 0u);
  fs.Close(file);
  fs.MakeDirectory((dir / "d").c_str());
  umask(old);
  struct stat info;
  stat((dir / "f").c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  stat((dir / "d").c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
}

int interruptions = 0;
ssize_t WriteSevenAtATime(int fd, const void* data, size_t count) {
  if (interruptions > 0) {
    --interruptions;
    errno = EINTR;
    return -1;
  }
  return ::write(fd, data, count < 7 ? count : 7);
}
ssize_t WriteNothing(int, const void*, size_t) { return 0; }

TEST(PosixFileSystemTest, ShortAndInterruptedWritesAreContinued) {
  TempDir dir;
  PosixFileSystem fs(PosixCalls{WriteSevenAtATime, ::read});
  FileHandle file;
  ASSERT_EQ(fs.OpenForWrite((dir / "f").c_str(), &file), 0u);
  interruptions = 3;
  std::string data(1000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  EXPECT_EQ(fs.Write(file, data.data(), static_cast<uint32_t>(data.size())), 0u);
  fs.Close(file);
  EXPECT_EQ(ReadWholeFile(dir / "f"), data);
}

TEST(PosixFileSystemTest, AWriteThatMakesNoProgressIsAFullDisk) {
  TempDir dir;
  PosixFileSystem fs(PosixCalls{WriteNothing, ::read});
  FileHandle file;
  ASSERT_EQ(fs.OpenForWrite((dir / "f").c_str(), &file), 0u);
  EXPECT_EQ(fs.Write(file, "abc", 3), static_cast<ErrorCode>(ENOSPC));
  fs.Close(file);
}

TEST(PosixFileSystemTest, SystemErrorTexts) {
  EXPECT_STREQ(SystemErrorText(ENOENT), "No such file or directory");
  EXPECT_STREQ(SystemErrorText(123456), "");
  EXPECT_EQ(SystemErrorText(ENOENT), SystemErrorText(ENOENT));  // kept, not rebuilt
}

}  // namespace
}  // namespace dtk
