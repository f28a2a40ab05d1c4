#include "test_util.h"

#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#ifndef _WIN32
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

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

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

ChildResult RunChild(const std::vector<std::string>& args, bool merged, uint64_t fileSizeLimit) {
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
#endif

}  // namespace dtk
