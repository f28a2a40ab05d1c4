#include "test_util.h"

#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace dtk {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device device;
  fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate = base / ("dtk-test-" + std::to_string(device()));
    if (fs::create_directory(candidate)) {
      path_ = candidate.generic_string();
      return;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> paths;
  for (const auto& item : fs::recursive_directory_iterator(path_)) {
    std::string relative = fs::relative(item.path(), path_).generic_string();
    if (item.is_directory()) relative += "/";
    paths.push_back(relative);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string MaskTimeStamps(const std::string& text) {
  static const std::regex stamp(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2})");
  return std::regex_replace(text, stamp, "TS");
}

#ifndef _WIN32
namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& args, bool merged, uint64_t fileSizeLimit,
                     uint64_t memoryLimit) {
  int outPipe[2];
  int errPipe[2] = {-1, -1};
  if (pipe(outPipe) != 0) return {};
  // Standard error goes to a file so that neither pipe can fill while the
  // other is read.
  char errName[] = "/tmp/dtk-test-err-XXXXXX";
  int errFile = merged ? -1 : mkstemp(errName);
  (void)errPipe;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(merged ? outPipe[1] : errFile, 2);
    close(outPipe[0]);
    close(outPipe[1]);
    if (fileSizeLimit != 0) {
      struct rlimit limit = {fileSizeLimit, fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (memoryLimit != 0) {
      struct rlimit limit = {memoryLimit, memoryLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  ChildResult result;
  result.out = ReadAll(outPipe[0]);
  close(outPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (!merged) {
    result.err = ReadWholeFile(errName);
    close(errFile);
    unlink(errName);
  }
  return result;
}

Child::Child(const std::vector<std::string>& args) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipeEnds[1], 1);
    dup2(pipeEnds[1], 2);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    // The child starts with the signal dispositions a shell would give it.
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  fd_ = pipeEnds[0];
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Finish();
  }
  if (fd_ >= 0) close(fd_);
}

bool Child::ReadSome() {
  if (fd_ < 0) return false;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd_, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }
}

bool Child::ReadUntil(const std::string& text, size_t from) {
  while (output_.find(text, from) == std::string::npos) {
    if (!ReadSome()) return false;
  }
  return true;
}

void Child::ReadAndClose(size_t count) {
  while (output_.size() < count && ReadSome()) {
  }
  close(fd_);
  fd_ = -1;
}

void Child::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

int Child::WaitWithoutReading(double seconds) {
  for (double waited = 0; pid_ > 0 && waited < seconds; waited += 0.05) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      killedBySignal_ = WIFSIGNALED(status);
      finished_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return finished_;
    }
    usleep(50000);
  }
  return pid_ > 0 ? -1 : finished_;
}

ChildResult Child::Finish() {
  while (ReadSome()) {
  }
  ChildResult result;
  result.status = finished_;
  if (pid_ > 0) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    killedBySignal_ = WIFSIGNALED(status);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  result.out = output_;
  return result;
}

bool RemoveTree(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return unlink(path.c_str()) == 0 || errno == ENOENT;
  size_t depth = 0;
  for (;;) {
    // Empty the directory `fd` of files and empty directories; stop at the
    // first directory that is not empty and go down into it.
    DIR* scan = fdopendir(dup(fd));
    if (scan == nullptr) break;
    std::string down;
    bool stuck = false;
    while (struct dirent* item = readdir(scan)) {
      std::string name = item->d_name;
      if (name == "." || name == "..") continue;
      if (unlinkat(fd, name.c_str(), 0) == 0) continue;
      if (errno == EISDIR || errno == EPERM) {
        if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0) continue;
        if (errno == ENOTEMPTY || errno == EEXIST) {
          down = name;
          break;
        }
      }
      stuck = true;
    }
    closedir(scan);
    if (stuck) break;
    int next;
    if (!down.empty()) {
      next = openat(fd, down.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      ++depth;
    } else if (depth == 0) {
      close(fd);
      return rmdir(path.c_str()) == 0;
    } else {
      // Back up; the directory just emptied goes on the parent's next scan.
      next = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      --depth;
    }
    close(fd);
    fd = next;
    if (fd < 0) return false;
  }
  close(fd);
  return false;
}
#else
bool RemoveTree(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
  return !fs::exists(path);
}
#endif

}  // namespace dtk
