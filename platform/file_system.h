// The file-system calls the engine makes, and nothing more. One
// implementation per system (platform/posix.cc, platform/win32.cc);
// tests put doubles in their place.
//
// The tree is reached through open directories: the target is opened as
// the user gave it, and every entry below it is made, opened and removed
// relative to the open directory that holds it, never through a symbolic
// link (or, on Windows, a reparse point) at a planned name. So nothing that
// another user plants in the tree, before or during a run, can lead a call
// outside it.
//
// Every operation returns an error code: 0 for success, otherwise the
// system's own number for the failure (errno on POSIX, GetLastError() on
// Windows), which SystemErrorText turns into the system's message.
#ifndef DTK_PLATFORM_FILE_SYSTEM_H_
#define DTK_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dtk {

using ErrorCode = uint32_t;
// An open file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;
// An open directory, the same way.
using DirHandle = intptr_t;
constexpr DirHandle kInvalidDir = -1;

// Where an entry of the tree lies: the open directory that holds it, the
// entry's bare name there, and its full path, which messages name and which
// systems without calls relative to a directory use instead. When the
// directory could not be opened (`dir` is kInvalidDir), every call on the
// place fails at once with `dirError`, the reason why.
struct EntryPlace {
  DirHandle dir;
  ErrorCode dirError;
  const char* name;  // NUL-terminated
  const char* path;  // NUL-terminated
  size_t pathLength;
};

// The calls of FileSystem on the tree, by name: the one list that the
// timer, the engines and the tests' fault double name them by.
enum class FileCall : uint8_t {
  kMakeDirectory,
  kOpenDirectory,
  kFlushDirectory,
  kCloseDirectory,
  kOpenForWrite,
  kOpenForRead,
  kWrite,
  kRead,
  kSetFileSize,
  kFlush,
  kClose,
  kDeleteFile,
  kRemoveDirectory,
  kCount
};

// How a file's data travels: through the system's file cache, or around it
// to the device and back (-direct). Unbuffered transfers must each start
// at a file offset and a memory address that are multiples of the block
// size ProbeDirectIo found, and move whole blocks.
enum class IoMode { kCached, kDirect };

// The block size of unbuffered I/O where the system does not tell it.
constexpr uint32_t kDefaultDirectBlockSize = 4096;

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens the target directory `path` as the user gave it, links followed.
  virtual ErrorCode OpenTarget(const char* path, DirHandle* dir) = 0;
  // Takes an advisory lock on the directory `dir` for as long as it stays
  // open. The busy code (IsBusyError) when another process holds it; any
  // other failure means the system cannot lock it there (a network file
  // system, say), which stops nothing.
  virtual ErrorCode LockDirectory(DirHandle dir) = 0;

  // Makes the directory `at` (its parent is open).
  virtual ErrorCode MakeDirectory(const EntryPlace& at) = 0;
  // Opens the directory `at`; a symbolic link or reparse point there is not
  // followed and fails, as does anything that is not a directory.
  virtual ErrorCode OpenDirectory(const EntryPlace& at, DirHandle* dir) = 0;
  // Flushes a directory's entries to stable storage where the system allows
  // it (POSIX); elsewhere it succeeds without doing anything.
  virtual ErrorCode FlushDirectory(DirHandle dir) = 0;
  // Closes the directory; the handle is gone whatever the result.
  virtual ErrorCode CloseDirectory(DirHandle dir) = 0;

  // Opens the file `at` for writing only: makes it, or reuses an existing
  // regular file with no other link, truncated to nothing. Anything else at
  // the name is refused as it is: a link (followed by nothing), a
  // directory, a FIFO or device (neither opened for writing nor waited
  // on), a file with another name elsewhere. Other openers may read and
  // write the file meanwhile (a share mode on Windows; POSIX has none).
  // With IoMode::kDirect, the file's data bypasses the system's file cache.
  virtual ErrorCode OpenForWrite(const EntryPlace& at, FileHandle* file, IoMode mode) = 0;
  // Opens the existing file `at` for reading only, never through a link and
  // never waiting on a FIFO; others may read it meanwhile but not write it
  // (a share mode on Windows; POSIX has none). With IoMode::kDirect, the
  // reads bypass the system's file cache.
  virtual ErrorCode OpenForRead(const EntryPlace& at, FileHandle* file, IoMode mode) = 0;
  // Writes all `count` bytes or fails: a short count from the system is
  // continued, and a call that moves nothing without an error fails as a
  // full disk.
  virtual ErrorCode Write(FileHandle file, const void* data, uint32_t count) = 0;
  // Reads up to `count` bytes into `data`; `*got` is what arrived, 0 at the
  // end of the file. A short read is not an error.
  virtual ErrorCode Read(FileHandle file, void* data, uint32_t count, uint32_t* got) = 0;
  // Sets the size of the file open for writing to `size` bytes: cuts off
  // what the last whole block of an unbuffered write put beyond it.
  virtual ErrorCode SetFileSize(FileHandle file, int64_t size) = 0;
  // Flushes the file's data to stable storage.
  virtual ErrorCode Flush(FileHandle file) = 0;
  // Closes the file; the handle is gone whatever the result.
  virtual ErrorCode Close(FileHandle file) = 0;
  // Deletes the file (or whatever non-directory has the name) `at`.
  virtual ErrorCode DeleteFile(const EntryPlace& at) = 0;
  // Removes the empty directory `at`; a link there is not followed.
  virtual ErrorCode RemoveDirectory(const EntryPlace& at) = 0;
  // 0 when the name `at` still holds the directory open as `dir`; the
  // not-found code (IsNotFoundError) when it holds nothing or anything
  // else, as after another user renamed the directory away. Systems that
  // keep an open directory from being renamed (Windows) always say 0.
  virtual ErrorCode DirectoryIsAt(DirHandle dir, const EntryPlace& at) = 0;

  // Finds out whether the file system that holds the open directory
  // `at.dir` takes unbuffered I/O, and in which block size, with a probe
  // file there that it writes one block to and reads it back from. The
  // probe leaves no name behind: where the system can make a file without
  // a name it has none; otherwise it is `at.name`, made only where nothing
  // is, and removed at once. Returns 0 with the block size in `*blockSize`
  // (kDefaultDirectBlockSize where the system does not tell it, or where
  // no probe file can be made at all, as on a read-only file system: the
  // phases then meet that cause themselves), or the system's reason when
  // the file system refuses unbuffered I/O.
  virtual ErrorCode ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) = 0;

  // Writes `text` as the file `path`, which lies outside the tree: a
  // regular file is replaced in one step, so a reader sees the old file or
  // the new one, never a part; a path that is anything else (a device, a
  // FIFO, a link such as /dev/stdout) is written into and never replaced.
  virtual ErrorCode WriteWholeFile(const char* path, std::string_view text) = 0;
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

// Whether `code` says that a path does not exist: no such file, a component
// of the path missing or not a directory, or a path too long to exist.
bool IsNotFoundError(ErrorCode code);
// Whether `code` says that a lock is held by another process.
bool IsBusyError(ErrorCode code);
// The code of memory exhausted.
ErrorCode OutOfMemoryError();

}  // namespace dtk

#endif  // DTK_PLATFORM_FILE_SYSTEM_H_
