// What the tool needs of its process, beyond files: its standard streams,
// memory size and stop requests (Ctrl-C, SIGTERM, SIGHUP).
#ifndef DTK_PLATFORM_PROCESS_H_
#define DTK_PLATFORM_PROCESS_H_

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

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

// Whether the standard stream `stream` (1 output, 2 error) is a terminal.
bool IsTerminal(int stream);

// Installed memory in bytes, or 0 when the system does not tell.
uint64_t PhysicalMemoryBytes();

// Where the system keeps what bounds a process's memory; tests point it at
// files of their own.
struct MemoryLimitSources {
  const char* procSelfCgroup = "/proc/self/cgroup";  // the process's control groups
  const char* cgroupRoot = "/sys/fs/cgroup";         // where their files are mounted
};

// The memory this process may really use, in bytes: the least of the
// installed memory, the memory limit of its control group (cgroup v2
// memory.max or v1 memory.limit_in_bytes, on Linux), its address-space and
// data-size limits (RLIMIT_AS, RLIMIT_DATA), and on Windows the limit of a
// job object it runs in. 0 when none of them is known.
uint64_t UsableMemoryBytes(const MemoryLimitSources& sources = MemoryLimitSources());

// Sets the process up for a run: a full disk quota or a closed pipe become
// errors of the call that met them instead of killing the process
// (SIGXFSZ, SIGPIPE ignored); the first Ctrl-C, SIGTERM or SIGHUP only asks
// the run to stop, a second one ends the process at once; the process
// may hold as many open files as the system lets it (one directory per
// level of the tree, per thread); and under a limit of address space its
// threads share the C library's arenas.
void InstallStopHandlers();
// Puts the standard streams back as they were before the run (a stop
// request may have made them non-blocking); called before the process ends.
void RestoreStandardStreams();

// The signal that asked the run to stop (SIGINT 2, SIGTERM 15, SIGHUP 1;
// Ctrl-C and a close or shutdown event on Windows are reported as 2 and
// 15), or 0.
int StopRequested();

// Writes `count` bytes at `data` to the standard stream `stream` (1 for
// output, 2 for error). False when the stream failed (a closed pipe): the
// caller writes it no more. Once a stop was requested, a write that cannot
// go on within a second (a pipe that nobody reads) is given up and fails
// too, so that a stop always ends the run.
bool WriteStandardStream(int stream, const char* data, size_t count);

// The terminal that the standard error stream goes to, on which a status
// line can be drawn below the last line printed and redrawn in place.
class StatusTerminal {
 public:
  virtual ~StatusTerminal() = default;
  // The terminal's width in characters, or 0 when it does not tell.
  virtual size_t Columns() = 0;
  // Draws `text` (one line, narrower than the terminal) over the status
  // line drawn before, if any, and leaves the cursor on the same line.
  virtual void Draw(std::string_view text) = 0;
  // Erases the status line and leaves the cursor at the start of its line,
  // where the next line printed goes.
  virtual void Erase() = 0;
};

// The terminal of the standard error stream (on Windows, its console), or
// null when the stream is not one.
StatusTerminal* StandardErrorTerminal();

// Asks the run to stop as the signal `signal` would; for tests.
void RequestStop(int signal);
void ClearStopRequest();

}  // namespace dtk

#endif  // DTK_PLATFORM_PROCESS_H_
