// The POSIX file system, with its raw read and write calls replaceable so
// that tests can make the system's short counts and interruptions.
#ifndef DTK_PLATFORM_POSIX_FILE_SYSTEM_H_
#define DTK_PLATFORM_POSIX_FILE_SYSTEM_H_

#include <fcntl.h>
#include <sys/types.h>

#include "platform/file_system.h"

namespace dtk {

// How a file of the tree is opened, by whoever opens it (this file system,
// an engine of its own calls): made only where nothing is (a name that is
// taken goes to the checked reuse) and never through a link; read without
// waiting for a FIFO's writer or taking a terminal.
constexpr int kCreateFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
constexpr int kReadFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

struct PosixCalls {
  ssize_t (*write)(int fd, const void* data, size_t count);
  ssize_t (*read)(int fd, void* data, size_t count);
};

class PosixFileSystem : public FileSystem {
 public:
  PosixFileSystem();
  explicit PosixFileSystem(const PosixCalls& calls) : calls_(calls) {}

  ErrorCode OpenTarget(const char* path, DirHandle* dir) override;
  ErrorCode LockDirectory(DirHandle dir) override;
  ErrorCode MakeDirectory(const EntryPlace& at) override;
  ErrorCode OpenDirectory(const EntryPlace& at, DirHandle* dir) override;
  ErrorCode FlushDirectory(DirHandle dir) override;
  ErrorCode CloseDirectory(DirHandle dir) override;
  ErrorCode OpenForWrite(const EntryPlace& at, FileHandle* file, IoMode mode) override;
  ErrorCode OpenForRead(const EntryPlace& at, FileHandle* file, IoMode mode) override;
  ErrorCode Write(FileHandle file, const void* data, uint32_t count) override;
  ErrorCode Read(FileHandle file, void* data, uint32_t count, uint32_t* got) override;
  ErrorCode SetFileSize(FileHandle file, int64_t size) override;
  ErrorCode Flush(FileHandle file) override;
  ErrorCode Close(FileHandle file) override;
  ErrorCode DeleteFile(const EntryPlace& at) override;
  ErrorCode RemoveDirectory(const EntryPlace& at) override;
  ErrorCode DirectoryIsAt(DirHandle dir, const EntryPlace& at) override;
  ErrorCode ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) override;
  ErrorCode WriteWholeFile(const char* path, std::string_view text) override;

 private:
  // Writes all of `data` to `fd` through the replaceable write call.
  ErrorCode WriteAll(int fd, const char* data, size_t count);

  PosixCalls calls_;
};

}  // namespace dtk

#endif  // DTK_PLATFORM_POSIX_FILE_SYSTEM_H_
