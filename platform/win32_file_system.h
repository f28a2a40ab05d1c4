// The Win32 file system (ANSI calls, paths in the process's code page), with
// its raw write and read calls replaceable so that tests can make the
// system's short counts.
#ifndef DTK_PLATFORM_WIN32_FILE_SYSTEM_H_
#define DTK_PLATFORM_WIN32_FILE_SYSTEM_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The interface's own names; the ANSI calls are named in full where used.
#undef DeleteFile
#undef RemoveDirectory

#include "platform/file_system.h"

namespace dtk {

// The signatures of WriteFile and ReadFile.
struct Win32Calls {
  BOOL(WINAPI* writeFile)(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED);
  BOOL(WINAPI* readFile)(HANDLE file, LPVOID data, DWORD count, LPDWORD got, LPOVERLAPPED);
};

class Win32FileSystem : public FileSystem {
 public:
  Win32FileSystem();
  explicit Win32FileSystem(const Win32Calls& calls) : calls_(calls) {}

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
  Win32Calls calls_;
};

// The handle behind a FileHandle, and back.
inline HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
inline FileHandle FromHandle(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

}  // namespace dtk

#endif  // DTK_PLATFORM_WIN32_FILE_SYSTEM_H_
