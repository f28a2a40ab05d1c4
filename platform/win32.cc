// Win32 implementations of the platform layer: the ANSI file calls, with
// paths as byte strings in the process's code page, and the C runtime for
// terminals.
#include <io.h>

#include <atomic>
#include <cctype>
#include <string>
#include <cstdio>

#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/win32_file_system.h"

namespace dtk {
namespace {

ErrorCode LastError() { return static_cast<ErrorCode>(::GetLastError()); }

ErrorCode Succeeded(BOOL ok) { return ok ? 0 : LastError(); }

}  // namespace

Win32FileSystem::Win32FileSystem() : calls_{::WriteFile, ::ReadFile} {}

ErrorCode Win32FileSystem::MakeDirectory(const char* path) {
  return Succeeded(::CreateDirectoryA(path, nullptr));
}

ErrorCode Win32FileSystem::OpenForWrite(const char* path, FileHandle* file) {
  // Write access only; others may read and write meanwhile. An existing file
  // is truncated. No caching flags: the data goes through the file cache.
  HANDLE handle = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    ErrorCode code = LastError();
    *file = kInvalidFile;
    return code;
  }
  *file = FromHandle(handle);
  return 0;
}

ErrorCode Win32FileSystem::OpenForRead(const char* path, FileHandle* file) {
  // Others may read the file meanwhile, but not write it.
  HANDLE handle = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    ErrorCode code = LastError();
    *file = kInvalidFile;
    return code;
  }
  *file = FromHandle(handle);
  return 0;
}

ErrorCode Win32FileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  const char* next = static_cast<const char*>(data);
  DWORD left = count;
  while (left > 0) {
    DWORD written = 0;
    if (!calls_.writeFile(ToHandle(file), next, left, &written, nullptr)) return LastError();
    // A call that takes nothing and reports no error would loop for ever;
    // the system means there is no room.
    if (written == 0) return ERROR_DISK_FULL;
    if (written > left) written = left;
    next += written;
    left -= written;
  }
  return 0;
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

ErrorCode Win32FileSystem::Flush(FileHandle file) {
  return Succeeded(::FlushFileBuffers(ToHandle(file)));
}

// Windows keeps a directory's entries with the file system's own metadata,
// which FlushFileBuffers on the files already writes; there is nothing a
// directory handle would add.
ErrorCode Win32FileSystem::FlushDirectory(const char*) { return 0; }

ErrorCode Win32FileSystem::Close(FileHandle file) {
  return Succeeded(::CloseHandle(ToHandle(file)));
}

ErrorCode Win32FileSystem::DeleteFile(const char* path) { return Succeeded(::DeleteFileA(path)); }

ErrorCode Win32FileSystem::RemoveDirectory(const char* path) {
  return Succeeded(::RemoveDirectoryA(path));
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

bool IsNotFoundError(ErrorCode code) {
  // A name with characters no file system allows cannot exist either.
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_FILENAME_EXCED_RANGE || code == ERROR_INVALID_NAME;
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

ErrorCode RenameOver(const char* from, const char* to) {
  return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : ::GetLastError();
}

bool IsTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

uint64_t PhysicalMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  if (!::GlobalMemoryStatusEx(&status)) return 0;
  return status.ullTotalPhys;
}

namespace {

std::atomic<int> stopSignal{0};

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

int StopRequested() { return stopSignal.load(); }
void RequestStop(int signal) { stopSignal.store(signal); }
void ClearStopRequest() { stopSignal.store(0); }

}  // namespace dtk
