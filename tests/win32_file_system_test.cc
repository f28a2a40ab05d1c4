// The Win32 platform layer against a real scratch directory: the ANSI file
// calls below held directories, with their share modes and error codes,
// the write loop against a system that writes short or nothing, the
// system's message texts, locks and the process queries.
#include "platform/win32_file_system.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <string>

#include "engine/tester.h"
#include "platform/process.h"
#include "test_util.h"

namespace dtk {
namespace {

class Win32FileSystemTest : public ::testing::Test {
 protected:
  EntryPlace At(const WalkDir& parent, const std::string& parentPath, const std::string& name) {
    paths_.push_back(parentPath + "/" + name);
    return PlaceOf(parent, paths_.back(), parentPath.size() + 1);
  }
  TempDir dir;
  Win32FileSystem fs;
  std::list<std::string> paths_;
};

TEST_F(Win32FileSystemTest, OperationsAndTheirErrors) {
  TreeRoot root(fs, dir.path());
  ASSERT_TRUE(root.dir().isOpen());
  EntryPlace subAt = At(root.dir(), dir.path(), "sub");
  EXPECT_EQ(fs.MakeDirectory(subAt), 0u);
  EXPECT_EQ(fs.MakeDirectory(subAt), static_cast<ErrorCode>(ERROR_ALREADY_EXISTS));
  WalkDir sub;
  ASSERT_EQ(fs.OpenDirectory(subAt, &sub.handle), 0u);
  EntryPlace fileAt = At(sub, dir / "sub", "f");
  WriteWholeFile(fileAt.path, "old contents, longer");
  FileHandle file;
  ASSERT_EQ(fs.OpenForWrite(fileAt, &file, IoMode::kCached), 0u);  // reused, truncated
  EXPECT_EQ(fs.Write(file, "hello", 5), 0u);
  EXPECT_EQ(fs.Flush(file), 0u);
  EXPECT_EQ(fs.Close(file), 0u);
  EXPECT_EQ(ReadWholeFile(fileAt.path), "hello");
  EXPECT_EQ(fs.FlushDirectory(sub.handle), 0u);

  ASSERT_EQ(fs.OpenForRead(fileAt, &file, IoMode::kCached), 0u);
  char buffer[16];
  uint32_t got = 0;
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 0u);  // the end of the file
  EXPECT_EQ(fs.Close(file), 0u);

  EXPECT_EQ(fs.OpenForRead(At(sub, dir / "sub", "missing"), &file, IoMode::kCached),
            static_cast<ErrorCode>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(fs.DeleteFile(fileAt), 0u);
  EXPECT_EQ(fs.DeleteFile(fileAt), static_cast<ErrorCode>(ERROR_FILE_NOT_FOUND));
  // A directory held open cannot be removed or renamed under the walk.
  EXPECT_NE(fs.RemoveDirectory(subAt), 0u);
  EXPECT_EQ(fs.CloseDirectory(sub.handle), 0u);
  EXPECT_EQ(fs.RemoveDirectory(subAt), 0u);
  EXPECT_TRUE(IsNotFoundError(fs.RemoveDirectory(subAt)));
  for (ErrorCode code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_FILENAME_EXCED_RANGE,
                         ERROR_INVALID_NAME}) {
    EXPECT_TRUE(IsNotFoundError(code));
  }
  EXPECT_FALSE(IsNotFoundError(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(IsNotFoundError(0));
}

TEST_F(Win32FileSystemTest, ShareModesAndLocks) {
  TreeRoot root(fs, dir.path());
  EntryPlace at = At(root.dir(), dir.path(), "f");
  FileHandle writer;
  ASSERT_EQ(fs.OpenForWrite(at, &writer, IoMode::kCached), 0u);
  // A file being written may be read and written by others meanwhile...
  HANDLE other =
      ::CreateFileA(at.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
  // ...but this reader does not let anyone write while it reads.
  FileHandle reader;
  EXPECT_EQ(fs.OpenForRead(at, &reader, IoMode::kCached),
            static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  fs.Close(writer);
  ASSERT_EQ(fs.OpenForRead(at, &reader, IoMode::kCached), 0u);
  EXPECT_EQ(fs.OpenForWrite(at, &writer, IoMode::kCached),
            static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  fs.Close(reader);
  // One run at a time per directory, until it is closed.
  {
    TreeRoot second(fs, dir.path());
    ASSERT_EQ(fs.LockDirectory(root.dir().handle), 0u);
    EXPECT_TRUE(IsBusyError(fs.LockDirectory(second.dir().handle)));
  }
}

// WriteFile stand-ins.
int failAfter = -1;
BOOL WINAPI WriteSevenAtATime(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                              LPOVERLAPPED overlapped) {
  if (failAfter == 0) {
    *written = 0;
    ::SetLastError(ERROR_HANDLE_DISK_FULL);
    return FALSE;
  }
  if (failAfter > 0) --failAfter;
  return ::WriteFile(file, data, count < 7 ? count : 7, written, overlapped);
}
BOOL WINAPI WriteNothing(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  *written = 0;
  return TRUE;
}

TEST_F(Win32FileSystemTest, ShortWritesAreContinuedAndNoProgressIsAFullDisk) {
  TreeRoot root(fs, dir.path());
  Win32FileSystem shortWrites(Win32Calls{WriteSevenAtATime, ::ReadFile});
  FileHandle file;
  ASSERT_EQ(shortWrites.OpenForWrite(At(root.dir(), dir.path(), "f"), &file, IoMode::kCached), 0u);
  std::string data(1000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  failAfter = -1;
  EXPECT_EQ(shortWrites.Write(file, data.data(), static_cast<uint32_t>(data.size())), 0u);
  // A failure part way through reports the system's code, taken at once.
  failAfter = 3;
  EXPECT_EQ(shortWrites.Write(file, "0123456789012345678901234567890123456789", 40),
            static_cast<ErrorCode>(ERROR_HANDLE_DISK_FULL));
  shortWrites.Close(file);
  EXPECT_EQ(ReadWholeFile(dir / "f"), data + "012345678901234567890");
  Win32FileSystem noProgress(Win32Calls{WriteNothing, ::ReadFile});
  ASSERT_EQ(noProgress.OpenForWrite(At(root.dir(), dir.path(), "g"), &file, IoMode::kCached), 0u);
  EXPECT_EQ(noProgress.Write(file, "abc", 3), static_cast<ErrorCode>(ERROR_DISK_FULL));
  EXPECT_EQ(noProgress.Write(file, "abc", 0), 0u);  // nothing to write is no failure
  noProgress.Close(file);
}

TEST_F(Win32FileSystemTest, AReportReplacesAFileButIsWrittenIntoADevice) {
  std::string path = dir / "report.json";
  ASSERT_EQ(fs.WriteWholeFile(path.c_str(), "{}\n"), 0u);
  ASSERT_EQ(fs.WriteWholeFile(path.c_str(), "{\"new\": 1}\n"), 0u);
  EXPECT_EQ(ReadWholeFile(path), "{\"new\": 1}\n");
  EXPECT_EQ(dir.List(), std::vector<std::string>{"report.json"});
  EXPECT_EQ(fs.WriteWholeFile("NUL", "{}\n"), 0u);
}

TEST(Win32ProcessTest, SystemTextsMemoryTerminalsAndStops) {
  char* expected = nullptr;
  DWORD length = ::FormatMessageA(0x1300, nullptr, ERROR_PATH_NOT_FOUND, 0x400,
                                  reinterpret_cast<LPSTR>(&expected), 0, nullptr);
  ASSERT_GT(length, 0u);
  std::string text = SystemErrorText(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(text, std::string(expected, length));  // its closing line break stays
  ::LocalFree(expected);
  EXPECT_STREQ(SystemErrorText(0x2FFFFFFF), "");  // a code without a message
  EXPECT_GT(UsableMemoryBytes(), uint64_t{1} << 24);
  EXPECT_LE(UsableMemoryBytes(), PhysicalMemoryBytes());
  TempDir dir;
  std::FILE* file = std::fopen((dir / "f").c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(_fileno(file)));
  std::fclose(file);
  ClearStopRequest();
  RequestStop(15);
  EXPECT_EQ(StopRequested(), 15);
  ClearStopRequest();
}

}  // namespace
}  // namespace dtk
