// Win32 implementations of the platform layer: the ANSI file calls, with
// paths as byte strings in the process's code page, and the C runtime for
// terminals.
#include <io.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <cstdio>

#include "platform/file_system.h"
#include "platform/output_file.h"
#include "platform/process.h"
#include "platform/win32_file_system.h"

namespace dtk {
namespace {

ErrorCode LastError() { return static_cast<ErrorCode>(::GetLastError()); }

ErrorCode Succeeded(BOOL ok) { return ok ? 0 : LastError(); }

}  // namespace

Win32FileSystem::Win32FileSystem() : calls_{::WriteFile, ::ReadFile} {}

namespace {

#ifndef ERROR_REPARSE_POINT_ENCOUNTERED
#define ERROR_REPARSE_POINT_ENCOUNTERED 4395L
#endif

// The checks every call on an entry of the tree makes first.
ErrorCode CheckPlace(const EntryPlace& at) {
  if (at.dir == kInvalidDir) return at.dirError != 0 ? at.dirError : ERROR_INVALID_HANDLE;
  return 0;
}

// Opens `path` as a directory to work in. It is held without letting it be
// deleted or renamed, so that the path keeps naming this directory while
// the tree below it is made, read and removed by path. Without
// `followLinks` a reparse point (a symbolic link or junction) there is
// refused, not followed.
ErrorCode OpenDirectoryHandle(const char* path, bool followLinks, DirHandle* dir) {
  *dir = kInvalidDir;
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE handle = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // What lies below a directory that is not there is on a path not found.
    ErrorCode code = LastError();
    return code == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : code;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  ErrorCode code = ::GetFileInformationByHandle(handle, &info) ? 0 : LastError();
  // A link in the place of a directory is no directory of the tree, as a
  // file there is not.
  if (code == 0 && (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                    (!followLinks && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)))) {
    code = ERROR_DIRECTORY;
  }
  if (code != 0) {
    ::CloseHandle(handle);
    return code;
  }
  *dir = FromHandle(handle);
  return 0;
}

// The flags that open a file for `mode`: unbuffered I/O bypasses the file
// cache, and its writes go through the disk's own cache too.
DWORD FlagsFor(IoMode mode, bool writing) {
  if (mode != IoMode::kDirect) return 0;
  return FILE_FLAG_NO_BUFFERING | (writing ? FILE_FLAG_WRITE_THROUGH : 0);
}

// Opens `path` for writing, with the flags `extra` too: makes it, or reuses
// an existing plain file with no other link, truncated. The common case,
// nothing there, takes one call.
ErrorCode CreateOrReuse(const char* path, DWORD extra, HANDLE* result) {
  *result = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL | extra, nullptr);
  if (*result != INVALID_HANDLE_VALUE) return 0;
  ErrorCode code = LastError();
  if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return code;
  HANDLE handle =
      ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | extra, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION info{};
  code = ::GetFileInformationByHandle(handle, &info) ? 0 : LastError();
  if (code == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    code = ERROR_REPARSE_POINT_ENCOUNTERED;
  } else if (code == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    code = ERROR_ACCESS_DENIED;
  } else if (code == 0 && ::GetFileType(handle) != FILE_TYPE_DISK) {
    code = ERROR_FILE_EXISTS;
  } else if (code == 0 && info.nNumberOfLinks != 1) {
    code = ERROR_TOO_MANY_LINKS;  // its data is also someone else's
  }
  if (code == 0 && !::SetEndOfFile(handle)) code = LastError();
  if (code != 0) {
    ::CloseHandle(handle);
    return code;
  }
  *result = handle;
  return 0;
}

// The locks taken on open directories: a named mutex per directory, held
// until the directory is closed.
std::mutex locksMutex;
std::map<DirHandle, HANDLE>& Locks() {
  static auto* locks = new std::map<DirHandle, HANDLE>();
  return *locks;
}

ErrorCode WriteAll(const Win32Calls& calls, HANDLE file, const char* next, DWORD left) {
  while (left > 0) {
    DWORD written = 0;
    if (!calls.writeFile(file, next, left, &written, nullptr)) return LastError();
    // A call that takes nothing and reports no error would loop for ever;
    // the system means there is no room.
    if (written == 0) return ERROR_DISK_FULL;
    if (written > left) written = left;
    next += written;
    left -= written;
  }
  return 0;
}

}  // namespace

ErrorCode Win32FileSystem::OpenTarget(const char* path, DirHandle* dir) {
  return OpenDirectoryHandle(path, true, dir);
}

ErrorCode Win32FileSystem::LockDirectory(DirHandle dir) {
  // One run per directory on this machine: the mutex is named after the
  // directory's volume and file number, so every path to it finds it.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(ToHandle(dir), &info)) return LastError();
  char name[64];
  std::snprintf(name, sizeof(name), "Local\\dtk-%08lX-%08lX%08lX",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) return LastError();
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return ERROR_LOCK_VIOLATION;
  }
  std::lock_guard<std::mutex> lock(locksMutex);
  Locks()[dir] = mutex;
  return 0;
}

ErrorCode Win32FileSystem::MakeDirectory(const EntryPlace& at) {
  if (ErrorCode code = CheckPlace(at)) return code;
  return Succeeded(::CreateDirectoryA(at.path, nullptr));
}

ErrorCode Win32FileSystem::OpenDirectory(const EntryPlace& at, DirHandle* dir) {
  *dir = kInvalidDir;
  if (ErrorCode code = CheckPlace(at)) return code;
  return OpenDirectoryHandle(at.path, false, dir);
}

// Windows keeps a directory's entries with the file system's own metadata,
// which FlushFileBuffers on the files already writes; there is nothing a
// directory handle would add.
ErrorCode Win32FileSystem::FlushDirectory(DirHandle) { return 0; }

ErrorCode Win32FileSystem::CloseDirectory(DirHandle dir) {
  {
    std::lock_guard<std::mutex> lock(locksMutex);
    auto found = Locks().find(dir);
    if (found != Locks().end()) {
      ::CloseHandle(found->second);
      Locks().erase(found);
    }
  }
  return Succeeded(::CloseHandle(ToHandle(dir)));
}

ErrorCode Win32FileSystem::OpenForWrite(const EntryPlace& at, FileHandle* file, IoMode mode) {
  *file = kInvalidFile;
  if (ErrorCode code = CheckPlace(at)) return code;
  // Write access only; others may read and write meanwhile.
  HANDLE handle;
  ErrorCode code = CreateOrReuse(at.path, FlagsFor(mode, true), &handle);
  if (code == 0) *file = FromHandle(handle);
  return code;
}

ErrorCode Win32FileSystem::OpenForRead(const EntryPlace& at, FileHandle* file, IoMode mode) {
  *file = kInvalidFile;
  if (ErrorCode code = CheckPlace(at)) return code;
  // Others may read the file meanwhile, but not write it. A reparse point
  // is opened as itself, never followed.
  HANDLE handle = ::CreateFileA(
      at.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FlagsFor(mode, false), nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  *file = FromHandle(handle);
  return 0;
}

ErrorCode Win32FileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  return WriteAll(calls_, ToHandle(file), static_cast<const char*>(data), count);
}

ErrorCode Win32FileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  DWORD n = 0;
  if (!calls_.readFile(ToHandle(file), data, count, &n, nullptr)) {
    ErrorCode code = LastError();
    *got = 0;
    return code;
  }
  *got = n;
  return 0;
}

ErrorCode Win32FileSystem::SetFileSize(FileHandle file, int64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = size;
  if (!::SetFilePointerEx(ToHandle(file), end, nullptr, FILE_BEGIN)) return LastError();
  return Succeeded(::SetEndOfFile(ToHandle(file)));
}

ErrorCode Win32FileSystem::Flush(FileHandle file) {
  return Succeeded(::FlushFileBuffers(ToHandle(file)));
}

ErrorCode Win32FileSystem::Close(FileHandle file) {
  return Succeeded(::CloseHandle(ToHandle(file)));
}

ErrorCode Win32FileSystem::DeleteFile(const EntryPlace& at) {
  if (ErrorCode code = CheckPlace(at)) return code;
  return Succeeded(::DeleteFileA(at.path));
}

ErrorCode Win32FileSystem::RemoveDirectory(const EntryPlace& at) {
  if (ErrorCode code = CheckPlace(at)) return code;
  return Succeeded(::RemoveDirectoryA(at.path));
}

ErrorCode Win32FileSystem::DirectoryIsAt(DirHandle, const EntryPlace& at) {
  // The open directory is shared with nobody who would delete or rename
  // it: it is where it was opened.
  return CheckPlace(at);
}

ErrorCode Win32FileSystem::WriteWholeFile(const char* path, std::string_view text) {
  return WriteOutputFile(path, text);
}

ErrorCode Win32FileSystem::ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) {
  *blockSize = kDefaultDirectBlockSize;
  if (CheckPlace(at) != 0) return 0;
  // Unbuffered transfers move whole sectors of the volume.
  std::string directory(at.path, at.pathLength - std::strlen(at.name));
  char volume[MAX_PATH + 1];
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  if (::GetVolumePathNameA(directory.c_str(), volume, sizeof(volume)) &&
      ::GetDiskFreeSpaceA(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
      bytesPerSector != 0) {
    *blockSize = bytesPerSector;
  }
  auto isRefusal = [](ErrorCode code) {
    return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
           code == ERROR_INVALID_FUNCTION;
  };
  // The probe is made only where nothing is, shared with nobody, and
  // deleted when it is closed.
  HANDLE file =
      ::CreateFileA(at.path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_NO_BUFFERING |
                        FILE_FLAG_WRITE_THROUGH,
                    nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // Other causes (a read-only volume, no right to write) the phases meet
    // themselves.
    ErrorCode code = LastError();
    return isRefusal(code) ? code : 0;
  }
  const DWORD size = *blockSize;
  const std::align_val_t alignment{std::max<size_t>(size, 4096)};
  auto* block = static_cast<char*>(::operator new(size, alignment, std::nothrow));
  ErrorCode code = 0;
  if (block != nullptr) {
    std::memset(block, 0, size);
    DWORD moved = 0;
    LARGE_INTEGER start{};
    if (!::WriteFile(file, block, size, &moved, nullptr) ||
        !::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
        !::ReadFile(file, block, size, &moved, nullptr)) {
      code = LastError();
    }
    ::operator delete(block, alignment);
  }
  ::CloseHandle(file);
  return isRefusal(code) ? code : 0;
}

FileSystem& SystemFileSystem() {
  static Win32FileSystem fileSystem;
  return fileSystem;
}

const char* SystemErrorText(ErrorCode code) {
  // The system allocates the text; it is never released, so callers may hold
  // it until the process ends. It comes as the system words it: inserts
  // stay unexpanded and its closing line break stays.
  char* text = nullptr;
  DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
      nullptr);
  if (length == 0 || text == nullptr) return "";
  return text;
}

bool IsBusyError(ErrorCode code) { return code == ERROR_LOCK_VIOLATION; }

ErrorCode OutOfMemoryError() { return ERROR_NOT_ENOUGH_MEMORY; }

bool IsNotFoundError(ErrorCode code) {
  // A name with characters no file system allows cannot exist either.
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_FILENAME_EXCED_RANGE || code == ERROR_INVALID_NAME ||
         code == ERROR_DIRECTORY;  // a component of the path that is not a directory
}

size_t MaxPathLength() {
  // MAX_PATH binds the ANSI calls only where long paths are not enabled for
  // the process (Windows 10 and later can lift it, as Wine does); no path
  // the system accepts is longer than its internal limit of 32,767.
  return 32767;
}

std::string FileSystemTypeName(const char* path) {
  char volume[MAX_PATH + 1];
  if (!::GetVolumePathNameA(path, volume, sizeof(volume))) return std::string();
  char type[MAX_PATH + 1];
  if (!::GetVolumeInformationA(volume, nullptr, 0, nullptr, nullptr, nullptr, type,
                               sizeof(type))) {
    return std::string();
  }
  std::string name(type);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

bool IsTerminal(int stream) { return ::_isatty(stream) != 0; }

namespace {

// The console's own way to redraw a line: the cursor is put back to the
// start of the line and what the text does not cover is filled with
// blanks.
class ConsoleStatusTerminal : public StatusTerminal {
 public:
  explicit ConsoleStatusTerminal(HANDLE console) : console_(console) {}
  size_t Columns() override {
    CONSOLE_SCREEN_BUFFER_INFO info;
    return ::GetConsoleScreenBufferInfo(console_, &info) ? info.dwSize.X : 0;
  }
  void Draw(std::string_view text) override {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!::GetConsoleScreenBufferInfo(console_, &info)) return;
    COORD start = {0, info.dwCursorPosition.Y};
    ::SetConsoleCursorPosition(console_, start);
    DWORD done = 0;
    ::WriteConsoleA(console_, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    COORD end = {static_cast<SHORT>(text.size()), start.Y};
    if (info.dwSize.X > end.X) {
      ::FillConsoleOutputCharacterA(console_, ' ', info.dwSize.X - end.X, end, &done);
    }
  }
  void Erase() override {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!::GetConsoleScreenBufferInfo(console_, &info)) return;
    COORD start = {0, info.dwCursorPosition.Y};
    DWORD done = 0;
    ::FillConsoleOutputCharacterA(console_, ' ', info.dwSize.X, start, &done);
    ::SetConsoleCursorPosition(console_, start);
  }

 private:
  HANDLE console_;
};

}  // namespace

StatusTerminal* StandardErrorTerminal() {
  // A file, a pipe or the NUL device is no console.
  HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !::GetConsoleScreenBufferInfo(handle, &info)) {
    return nullptr;
  }
  static ConsoleStatusTerminal terminal(handle);
  return &terminal;
}

uint64_t PhysicalMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  if (!::GlobalMemoryStatusEx(&status)) return 0;
  return status.ullTotalPhys;
}

uint64_t UsableMemoryBytes(const MemoryLimitSources&) {
  uint64_t least = PhysicalMemoryBytes();
  // A job object the process runs in may bound its memory, or the job's.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
  if (::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof(job),
                                  nullptr)) {
    auto bound = [&least](uint64_t limit) {
      if (limit != 0 && (least == 0 || limit < least)) least = limit;
    };
    DWORD flags = job.BasicLimitInformation.LimitFlags;
    if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) bound(job.ProcessMemoryLimit);
    if (flags & JOB_OBJECT_LIMIT_JOB_MEMORY) bound(job.JobMemoryLimit);
  }
  return least;
}

namespace {

std::atomic<int> stopSignal{0};
// The thread that writes the console at the moment (one at a time: the
// threads of a run print through one locked console), whose blocked write
// a stop cancels.
std::atomic<HANDLE> writingThread{nullptr};

// A handle of the calling thread, open as long as the thread lives.
HANDLE CurrentThreadHandle() {
  struct Owned {
    HANDLE handle = nullptr;
    ~Owned() {
      if (handle != nullptr) ::CloseHandle(handle);
    }
  };
  thread_local Owned self;
  if (self.handle == nullptr) {
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                      &self.handle, 0, FALSE, DUPLICATE_SAME_ACCESS);
  }
  return self.handle;
}

constexpr int kInterruptSignal = 2;   // as SIGINT
constexpr int kTerminateSignal = 15;  // as SIGTERM

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  int signal;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      signal = kInterruptSignal;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      signal = kTerminateSignal;
      break;
    default:
      return FALSE;
  }
  int none = 0;
  // The second request goes on to the system's handler, which ends the
  // process at once.
  if (!stopSignal.compare_exchange_strong(none, signal)) return FALSE;
  // A console write that cannot go on (a pipe nobody reads) must not hold
  // the cleanup up.
  if (HANDLE writer = writingThread.load(); writer != nullptr) ::CancelSynchronousIo(writer);
  if (signal == kTerminateSignal) {
    // The system ends the process as soon as this returns (or after its
    // grace period): wait here while the run cleans up and exits.
    ::Sleep(INFINITE);
  }
  return TRUE;
}

}  // namespace

void InstallStopHandlers() {
  // A drive without its medium, or a failing one, gives the call that met it
  // an error instead of a dialog box that waits for someone to answer.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RestoreStandardStreams() {}

bool WriteStandardStream(int stream, const char* data, size_t count) {
  writingThread.store(CurrentThreadHandle());
  // The C runtime's own write, which puts CR LF at the end of each line.
  bool written = true;
  while (count > 0) {
    unsigned chunk = count > (1u << 30) ? (1u << 30) : static_cast<unsigned>(count);
    int taken = ::_write(stream, data, chunk);
    if (taken <= 0) {
      written = false;
      break;
    }
    data += taken;
    count -= static_cast<size_t>(taken);
  }
  writingThread.store(nullptr);
  return written;
}

int StopRequested() { return stopSignal.load(); }
void RequestStop(int signal) { stopSignal.store(signal); }
void ClearStopRequest() { stopSignal.store(0); }

}  // namespace dtk
