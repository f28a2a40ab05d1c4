// Helpers shared by the tests: scratch directories, files, clocks, children.
#ifndef DTK_TESTS_TEST_UTIL_H_
#define DTK_TESTS_TEST_UTIL_H_

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/file_engine.h"
#include "platform/file_system.h"
#include "reporting/phase_frame.h"
#include "tree/planner.h"

namespace dtk {

// AddressSanitizer replaces the allocator, so heap figures mean nothing
// under it (the sanitizer builds use GCC, which says so).
#ifdef __SANITIZE_ADDRESS__
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // `name` joined below the directory with "/".
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Every path below the directory, relative, sorted; directories end in "/".
  std::vector<std::string> List() const;

 private:
  std::string path_;
};

// A plan's settings: `total` bytes in files of min..max bytes.
TestConfig Config(int64_t total, int64_t min, int64_t max, uint32_t dirFiles, uint32_t dirLevel);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& contents);

// A clock that stands still unless a test moves it.
class FixedClock : public Clock {
 public:
  explicit FixedClock(int64_t now = 1796595470) : now_(now) {}
  int64_t Now() override { return now_; }
  void Set(int64_t now) { now_ = now; }

 private:
  int64_t now_;
};

// What the system says when a path's last name does not exist, and when a
// directory on the way to it does not (both ENOENT on POSIX).
#ifdef _WIN32
constexpr ErrorCode kNoSuchFile = 2;  // ERROR_FILE_NOT_FOUND
constexpr ErrorCode kNoSuchPath = 3;  // ERROR_PATH_NOT_FOUND
constexpr ErrorCode kExists = 183;    // ERROR_ALREADY_EXISTS
constexpr ErrorCode kNotEmpty = 145;  // ERROR_DIR_NOT_EMPTY
constexpr const char* kPlatform = "windows";
#else
constexpr ErrorCode kExists = EEXIST;
constexpr ErrorCode kNotEmpty = ENOTEMPTY;
constexpr const char* kPlatform = "linux";
constexpr ErrorCode kNoSuchFile = ENOENT;
constexpr ErrorCode kNoSuchPath = ENOENT;
#endif

// The system's text for `code` as the error lines carry it.
inline std::string SystemText(ErrorCode code) { return SystemErrorText(code); }

// Replaces each time stamp "YYYY.MM.DD hh:mm:ss" at a line start with "TS".
std::string MaskTimeStamps(const std::string& text);
// MaskTimeStamps, and "time N sec" and "speed S" for what varies from run
// to run in the summary lines.
std::string MaskTimes(const std::string& text);
// `text` with every `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to);
// The lines of `text` that start with `start`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& start);
// The words of `text`, split at spaces.
std::vector<std::string> Words(const std::string& text);

// A whole run of dtk in this process with a pinned clock; `words` follow
// the program name, `memory` is the usable memory (0: no limit).
struct ToolRun {
  int status;
  std::string lines;  // time stamps masked, every line tagged with its stream
};
// `engineFaults` sees the calls an engine makes past `fs`; `uringRefusal`
// refuses io_uring as the system would with that code.
ToolRun RunInProcess(std::vector<const char*> words, FileSystem& fs = SystemFileSystem(),
                     uint64_t memory = 0, EngineFaults* engineFaults = nullptr,
                     ErrorCode uringRefusal = 0);

#ifndef _WIN32
struct ChildResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};
// A user id that no account has: the other user of the safety tests.
constexpr unsigned kOtherUser = 54321;
// Runs `work` in a child process that has become kOtherUser (and its
// group), as another user of a shared machine would; returns false when
// this process may not switch users (it is not root). `work` returning
// false fails the child, which the caller sees as false too.
bool AsOtherUser(const std::function<bool()>& work);

// Runs `args` (args[0] the program) and collects its streams. With
// `merged`, both streams go to one pipe, read into `out`.
ChildResult RunChild(const std::vector<std::string>& args, bool merged = false);

// A child whose standard output (and error, unless `errFd` takes it) goes
// to a pipe that the test reads as the child runs, so it can signal the
// child or close the pipe midway; with `terminal`, both go to a
// pseudo-terminal of 160 columns instead.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args, int errFd = -1, bool terminal = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads until the output holds `text` after position `from`; false when
  // the pipe ended first.
  bool ReadUntil(const std::string& text, size_t from = 0);
  // Reads `count` bytes, then closes the pipe as a reader that stops early.
  void ReadAndClose(size_t count);
  void Signal(int signal);
  // Waits up to `seconds` for the child to end without reading what it
  // writes; its exit status, or -1 when it is still running.
  int WaitWithoutReading(double seconds);
  // Reads the rest and waits for the child.
  ChildResult Finish();
  bool killedBySignal() const { return killedBySignal_; }
  const std::string& output() const { return output_; }

 private:
  bool ReadSome();
  // Waits for the child with waitpid's `options`; true while it runs on.
  bool Reap(int options);

  int pid_ = -1;
  int fd_ = -1;
  std::string output_;
  bool killedBySignal_ = false;
  int finished_ = -1;  // the status, once waited for
};
#endif

}  // namespace dtk

#endif  // DTK_TESTS_TEST_UTIL_H_
