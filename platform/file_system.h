// The file-system calls the engine makes, and nothing more. One
// implementation per system (platform/posix.cc, platform/win32.cc);
// tests put doubles in their place.
//
// Every operation returns an error code: 0 for success, otherwise the
// system's own number for the failure (errno on POSIX, GetLastError() on
// Windows), which SystemErrorText turns into the system's message.
#ifndef DTK_PLATFORM_FILE_SYSTEM_H_
#define DTK_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace dtk {

using ErrorCode = uint32_t;
// An open file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Makes the directory `path` (its parent must exist).
  virtual ErrorCode MakeDirectory(const char* path) = 0;
  // Opens `path` for writing only, making it or truncating an existing file
  // to nothing. Other openers may read and write it meanwhile (a share mode
  // on Windows; POSIX has no share modes).
  virtual ErrorCode OpenForWrite(const char* path, FileHandle* file) = 0;
  // Opens the existing file `path` for reading only; others may read it
  // meanwhile but not write it (a share mode on Windows; POSIX has none).
  virtual ErrorCode OpenForRead(const char* path, FileHandle* file) = 0;
  // Writes all `count` bytes or fails: a short count from the system is
  // continued, and a call that moves nothing without an error fails as a
  // full disk.
  virtual ErrorCode Write(FileHandle file, const void* data, uint32_t count) = 0;
  // Reads up to `count` bytes into `data`; `*got` is what arrived, 0 at the
  // end of the file. A short read is not an error.
  virtual ErrorCode Read(FileHandle file, void* data, uint32_t count, uint32_t* got) = 0;
  // Flushes the file's data to stable storage.
  virtual ErrorCode Flush(FileHandle file) = 0;
  // Flushes a directory's entries to stable storage where the system allows
  // it (POSIX); elsewhere it succeeds without doing anything.
  virtual ErrorCode FlushDirectory(const char* path) = 0;
  // Closes the file; the handle is gone whatever the result.
  virtual ErrorCode Close(FileHandle file) = 0;
  // Deletes the file `path`.
  virtual ErrorCode DeleteFile(const char* path) = 0;
  // Removes the empty directory `path`.
  virtual ErrorCode RemoveDirectory(const char* path) = 0;
};

// The file system of the platform this program runs on.
FileSystem& SystemFileSystem();

// The system's message for `code`, exactly as the system gives it, or an
// empty text when it has none. The text stays valid until the process ends.
const char* SystemErrorText(ErrorCode code);

// The longest path, in bytes without its terminating NUL, that the file
// calls accept; a longer path names nothing that exists.
size_t MaxPathLength();

// The type of the file system that holds `path` ("ext4", "tmpfs", "ntfs",
// ...), or an empty text when the system does not tell.
std::string FileSystemTypeName(const char* path);

// Renames the file `from` to `to` in one step, replacing a file `to` that
// exists: a reader of `to` sees the old file or the new one, never a part.
ErrorCode RenameOver(const char* from, const char* to);

// Whether `code` says that a path does not exist: no such file, a component
// of the path missing or not a directory, or a path too long to exist.
bool IsNotFoundError(ErrorCode code);

}  // namespace dtk

#endif  // DTK_PLATFORM_FILE_SYSTEM_H_
