// The Win32 platform layer against a real scratch directory: the ANSI file
// calls with their share modes and error codes, the write loop against a
// system that writes short or nothing, the system's message texts, and the
// process queries.
#include "platform/win32_file_system.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/process.h"
#include "test_util.h"

namespace dtk {
namespace {

TEST(Win32FileSystemTest, OperationsAndTheirErrors) {
  TempDir dir;
  Win32FileSystem fs;
  std::string sub = dir / "sub";
  EXPECT_EQ(fs.MakeDirectory(sub.c_str()), 0u);
  EXPECT_EQ(fs.MakeDirectory(sub.c_str()), static_cast<ErrorCode>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(fs.MakeDirectory((dir / "no\\such").c_str()),
            static_cast<ErrorCode>(ERROR_PATH_NOT_FOUND));

  FileHandle file;
  std::string path = sub + "\\f";
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
  EXPECT_EQ(std::string(buffer, got), "hello");
  EXPECT_EQ(fs.Read(file, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 0u);  // the end of the file
  // A handle opened for reading cannot write.
  EXPECT_NE(fs.Write(file, "x", 1), 0u);
  EXPECT_EQ(fs.Close(file), 0u);

  EXPECT_EQ(fs.OpenForRead((dir / "missing").c_str(), &file),
            static_cast<ErrorCode>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(file, kInvalidFile);
  EXPECT_EQ(fs.OpenForWrite((dir / "no\\such").c_str(), &file),
            static_cast<ErrorCode>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(file, kInvalidFile);
  EXPECT_EQ(fs.RemoveDirectory(sub.c_str()), static_cast<ErrorCode>(ERROR_DIR_NOT_EMPTY));
  EXPECT_EQ(fs.DeleteFile(path.c_str()), 0u);
  EXPECT_EQ(fs.DeleteFile(path.c_str()), static_cast<ErrorCode>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(fs.RemoveDirectory(sub.c_str()), 0u);
  EXPECT_EQ(fs.RemoveDirectory(sub.c_str()), static_cast<ErrorCode>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(dir.List().empty());
}

TEST(Win32FileSystemTest, NotFoundCodes) {
  EXPECT_TRUE(IsNotFoundError(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(IsNotFoundError(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(IsNotFoundError(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(IsNotFoundError(ERROR_INVALID_NAME));
  EXPECT_FALSE(IsNotFoundError(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(IsNotFoundError(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(IsNotFoundError(0));
}

TEST(Win32FileSystemTest, ShareModes) {
  TempDir dir;
  Win32FileSystem fs;
  std::string path = dir / "f";
  FileHandle writer;
  ASSERT_EQ(fs.OpenForWrite(path.c_str(), &writer), 0u);
  // A file being written may be read and written by others meanwhile...
  HANDLE other =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
  // ...but this reader does not let anyone write while it reads.
  FileHandle reader;
  EXPECT_EQ(fs.OpenForRead(path.c_str(), &reader), static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  fs.Close(writer);

  ASSERT_EQ(fs.OpenForRead(path.c_str(), &reader), 0u);
  FileHandle secondReader;
  ASSERT_EQ(fs.OpenForRead(path.c_str(), &secondReader), 0u);
  fs.Close(secondReader);
  EXPECT_EQ(fs.OpenForWrite(path.c_str(), &writer),
            static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  fs.Close(reader);
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

TEST(Win32FileSystemTest, ShortWritesAreContinued) {
  TempDir dir;
  Win32FileSystem fs(Win32Calls{WriteSevenAtATime, ::ReadFile});
  FileHandle file;
  ASSERT_EQ(fs.OpenForWrite((dir / "f").c_str(), &file), 0u);
  std::string data(1000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  failAfter = -1;
  EXPECT_EQ(fs.Write(file, data.data(), static_cast<uint32_t>(data.size())), 0u);
  // A failure part way through reports the system's code, taken at once.
  failAfter = 3;
  EXPECT_EQ(fs.Write(file, "0123456789012345678901234567890123456789", 40),
            static_cast<ErrorCode>(ERROR_HANDLE_DISK_FULL));
  fs.Close(file);
  EXPECT_EQ(ReadWholeFile(dir / "f"), data + "012345678901234567890");
}

TEST(Win32FileSystemTest, AWriteThatMakesNoProgressIsAFullDisk) {
  TempDir dir;
  Win32FileSystem fs(Win32Calls{WriteNothing, ::ReadFile});
  FileHandle file;
  ASSERT_EQ(fs.OpenForWrite((dir / "f").c_str(), &file), 0u);
  EXPECT_EQ(fs.Write(file, "abc", 3), static_cast<ErrorCode>(ERROR_DISK_FULL));
  EXPECT_EQ(fs.Write(file, "abc", 0), 0u);  // nothing to write is no failure
  fs.Close(file);
}

TEST(Win32FileSystemTest, SystemErrorTextsComeAsTheSystemGivesThem) {
  char* expected = nullptr;
  DWORD length = ::FormatMessageA(0x1300, nullptr, ERROR_PATH_NOT_FOUND, 0x400,
                                  reinterpret_cast<LPSTR>(&expected), 0, nullptr);
  ASSERT_GT(length, 0u);
  std::string text = SystemErrorText(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(text, std::string(expected, length));
  ::LocalFree(expected);
  // The system ends its texts with a line break, which stays.
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  // A text stays valid after later calls.
  const char* first = SystemErrorText(ERROR_ACCESS_DENIED);
  std::string copy = first;
  SystemErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(std::string(first), copy);
  // A code without a message.
  EXPECT_STREQ(SystemErrorText(0x2FFFFFFF), "");
}

TEST(Win32ProcessTest, MemoryAndTerminals) {
  EXPECT_GT(PhysicalMemoryBytes(), uint64_t{1} << 24);
  TempDir dir;
  std::FILE* file = std::fopen((dir / "f").c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(file));
  std::fclose(file);
}

TEST(Win32ProcessTest, StopRequestsAreRecordedOnce) {
  ClearStopRequest();
  RequestStop(15);
  EXPECT_EQ(StopRequested(), 15);
  ClearStopRequest();
  EXPECT_EQ(StopRequested(), 0);
}

}  // namespace
}  // namespace dtk
