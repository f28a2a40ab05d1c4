// What the tool needs of its process, beyond files: terminals, memory size
// and stop requests (Ctrl-C, SIGTERM).
#ifndef DTK_PLATFORM_PROCESS_H_
#define DTK_PLATFORM_PROCESS_H_

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace dtk {

// The name of the system this program was built for.
constexpr const char* PlatformName() {
#if defined(_WIN32)
  return "windows";
#elif defined(__linux__)
  return "linux";
#elif defined(__APPLE__)
  return "macos";
#elif defined(__FreeBSD__)
  return "freebsd";
#elif defined(__NetBSD__)
  return "netbsd";
#elif defined(__OpenBSD__)
  return "openbsd";
#else
  return "posix";
#endif
}

// Whether `stream` is a terminal.
bool IsTerminal(std::FILE* stream);

// Installed memory in bytes, or 0 when the system does not tell.
uint64_t PhysicalMemoryBytes();

// Sets the process up for a run: a full disk quota or a closed pipe become
// errors of the call that met them instead of killing the process
// (SIGXFSZ, SIGPIPE ignored), and the first Ctrl-C or SIGTERM only asks the
// run to stop; a second one ends the process at once.
void InstallStopHandlers();

// The signal that asked the run to stop (SIGINT 2, SIGTERM 15; Ctrl-C and a
// close or shutdown event on Windows are reported as 2 and 15), or 0.
int StopRequested();

// Asks the run to stop as the signal `signal` would; for tests.
void RequestStop(int signal);
void ClearStopRequest();

}  // namespace dtk

#endif  // DTK_PLATFORM_PROCESS_H_
