#include "dtk-report/gnuplot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <process.h>

#include <random>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#include "platform/process.h"

namespace dtk::report {

namespace fs = std::filesystem;

TemporaryDirectory::TemporaryDirectory(std::error_code* error) {
  fs::path base = fs::temp_directory_path(*error);
  if (*error) return;
#ifdef _WIN32
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof(name), "dtk-report-%08x", static_cast<unsigned>(random()));
    fs::path candidate = base / name;
    if (fs::create_directory(candidate, *error)) {
      path_ = candidate;
      return;
    }
    if (*error) return;
  }
  *error = std::make_error_code(std::errc::file_exists);
#else
  // Made new with mode 0700 under a name nobody can guess or take first.
  std::string pattern = (base / "dtk-report-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    *error = std::error_code(errno, std::generic_category());
    return;
  }
  path_ = pattern;
#endif

}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

fs::path FindGnuplot() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
#ifdef _WIN32
  const char separator = ';';
  const char* name = "gnuplot.exe";
#else
  const char separator = ':';
  const char* name = "gnuplot";
#endif
  std::string dirs = path;
  for (size_t begin = 0; begin <= dirs.size();) {
    size_t end = dirs.find(separator, begin);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(begin, end - begin);
    fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
    std::error_code error;
#ifdef _WIN32
    if (fs::is_regular_file(candidate, error)) return candidate;
#else
    // Absolute, as gnuplot is started in another directory.
    if (fs::is_regular_file(candidate, error) && access(candidate.c_str(), X_OK) == 0) {
      return fs::absolute(candidate, error);
    }
#endif
    begin = end + 1;
  }
  return {};
}

#ifndef _WIN32
namespace {

void Pause(long milliseconds) {
  struct timespec pause = {0, milliseconds * 1000000L};
  ::nanosleep(&pause, nullptr);
}

// Ends the child `pid`: asked first, killed when it has not ended within a
// second.
void EndChild(pid_t pid) {
  ::kill(pid, SIGTERM);
  for (int waited = 0; waited < 50; ++waited) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    Pause(20);
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}
}  // namespace
#endif

// Runs `program` on the script `script` in `directory` (a name in it),
// what it prints going to "gnuplot.log" there (where the system lets it be
// redirected). Returns its exit status, -1 when it could not be started,
// or kStopped when a stop was requested meanwhile: the program has then
// been ended.
int RunProgram(const fs::path& program, const fs::path& directory, const std::string& script) {
#ifdef _WIN32
  // The C runtime joins the arguments with spaces: paths with spaces need
  // quotes.
  std::string quotedProgram = "\"" + program.string() + "\"";
  std::string quotedScript = "\"" + (directory / script).string() + "\"";
  const char* args[] = {quotedProgram.c_str(), quotedScript.c_str(), nullptr};
  return static_cast<int>(_spawnv(_P_WAIT, program.string().c_str(), args));
#else
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // In the directory, the script names its files without the path the
    // system chose for it.
    if (::chdir(directory.c_str()) != 0) _exit(127);
    int fd = ::open("gnuplot.log", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
      ::close(fd);
    }
    // Ignored signals stay ignored across exec; gnuplot gets the defaults.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, SIG_DFL);
    ::execl(program.c_str(), program.c_str(), script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // A stop handler restarts the calls it interrupts, so a blocking wait
  // would never see a stop: the child is looked at every few milliseconds.
  int status = 0;
  for (;;) {
    pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) break;
    if (got < 0 && errno != EINTR) return -1;
    if (StopRequested() != 0) {
      EndChild(pid);
      return kStopped;
    }
    Pause(20);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace dtk::report
