// Files outside the tree on Windows: what is at the name is opened without
// following a reparse point and only then looked at; a file on disk is
// replaced by moving a file of our own over it.
#include <random>
#include <string>

#include "platform/output_file.h"
#include "platform/win32_file_system.h"

namespace dtk {
namespace {

ErrorCode LastError() { return static_cast<ErrorCode>(::GetLastError()); }

ErrorCode WriteAllOf(HANDLE file, std::string_view text) {
  const char* next = text.data();
  size_t left = text.size();
  while (left > 0) {
    DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file, next, chunk, &written, nullptr)) return LastError();
    if (written == 0) return ERROR_DISK_FULL;
    next += written;
    left -= written;
  }
  return 0;
}

// Where the name of `path` begins: after its last separator.
size_t NameOffset(const std::string& path) {
  size_t separator = path.find_last_of("/\\:");
  return separator == std::string::npos ? 0 : separator + 1;
}

}  // namespace

ErrorCode WriteOutputFile(const char* path, std::string_view text) {
  // A device or a pipe (NUL, CON, a named pipe) is written into, never
  // replaced; a link or junction at the name is opened as itself, so
  // nothing it points at is written.
  HANDLE existing = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (existing != INVALID_HANDLE_VALUE) {
    if (::GetFileType(existing) != FILE_TYPE_DISK) {
      ErrorCode code = WriteAllOf(existing, text);
      ErrorCode closeCode = ::CloseHandle(existing) ? 0 : LastError();
      return code != 0 ? code : closeCode;
    }
    ::CloseHandle(existing);
  }
  // A new file under a name of its own beside the destination, made only
  // where nothing is.
  const std::string whole = path;
  const size_t nameOffset = NameOffset(whole);
  if (nameOffset == whole.size()) return ERROR_DIRECTORY;
  std::random_device seed;
  std::mt19937_64 random((uint64_t{seed()} << 32) ^ seed() ^ ::GetCurrentProcessId());
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = whole.substr(0, nameOffset) + "." + whole.substr(nameOffset, 200) + ".";
    for (int i = 0; i < 10; ++i) temporary += kLetters[random() % (sizeof(kLetters) - 1)];
    file = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return LastError();
  }
  if (file == INVALID_HANDLE_VALUE) return ERROR_FILE_EXISTS;
  ErrorCode code = WriteAllOf(file, text);
  if (code == 0 && !::FlushFileBuffers(file)) code = LastError();
  if (!::CloseHandle(file) && code == 0) code = LastError();
  if (code == 0 &&
      !::MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    code = LastError();
  }
  if (code != 0) ::DeleteFileA(temporary.c_str());
  return code;
}

}  // namespace dtk
