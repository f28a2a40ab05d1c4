#include "test_util.h"

#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>

#include "driver/run.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pty.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace dtk {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device device;
  fs::path candidate;
  do {
    candidate = fs::temp_directory_path() / ("dtk-test-" + std::to_string(device()));
  } while (!fs::create_directory(candidate));
  path_ = candidate.generic_string();
}

TempDir::~TempDir() {
#ifdef _WIN32
  std::error_code ignored;
  fs::remove_all(path_, ignored);
#else
  // rm takes a tree of any depth a directory at a time, never by its path
  // (std::filesystem::remove_all follows paths that can grow past what the
  // system takes).
  RunChild({"/bin/rm", "-rf", "--", path_});
#endif
}

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> paths;
  for (const auto& item : fs::recursive_directory_iterator(path_)) {
    paths.push_back(item.path().lexically_relative(path_).generic_string() +
                    (item.is_directory() ? "/" : ""));
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

std::string MaskTimeStamps(const std::string& text) {
  static const std::regex stamp(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2})");
  return std::regex_replace(text, stamp, "TS");
}

std::string MaskTimes(const std::string& text) {
  static const std::regex time(R"(time \d+ sec)");
  static const std::regex speed(R"(speed [^\n]*)");
  return std::regex_replace(std::regex_replace(MaskTimeStamps(text), time, "time N sec"), speed,
                            "speed S");
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& start) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, start.size(), start) == 0) found.push_back(line);
  return found;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream split(text);
  return {std::istream_iterator<std::string>(split), std::istream_iterator<std::string>()};
}

TestConfig Config(int64_t total, int64_t min, int64_t max, uint32_t dirFiles, uint32_t dirLevel) {
  return {total, min, max, dirFiles, dirLevel};
}

ToolRun RunInProcess(std::vector<const char*> words, FileSystem& fs, uint64_t memory,
                     EngineFaults* engineFaults, ErrorCode uringRefusal) {
  words.insert(words.begin(), "dtk");
  MemoryConsole console;
  FixedClock clock;
  MtDefaultRandom sizes;
  RunEnvironment environment{fs, console, clock, sizes, kPosixOptionRules, kPosixPathStyle, memory};
  environment.engineFaults = engineFaults;
  environment.uringRefusal = uringRefusal;
  int status = RunDtk(static_cast<int>(words.size()), words.data(), environment);
  // A thread of a run of several hands its lines on together.
  std::string lines;
  // A line ends at a '\n' that does not end a system message's own "\r\n"
  // (Windows), which stays inside its line as the program prints it.
  for (const MemoryConsole::Line& piece : console.lines()) {
    const std::string& text = piece.text;
    const char* tag = piece.isError ? "E " : "O ";
    size_t start = 0;
    for (size_t at = 0; at < text.size(); ++at) {
      if (text[at] != '\n' || (at > 0 && text[at - 1] == '\r')) continue;
      lines += tag + text.substr(start, at + 1 - start);
      start = at + 1;
    }
    if (start < text.size()) lines += tag + text.substr(start) + "\n";
  }
  return {status, MaskTimeStamps(lines)};
}

#ifndef _WIN32
bool AsOtherUser(const std::function<bool()>& work) {
  if (geteuid() != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    bool switched = setgroups(0, nullptr) == 0 && setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0;
    _exit(switched && work() ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ChildResult RunChild(const std::vector<std::string>& args, bool merged) {
  // Standard error goes to a file so that neither stream can fill while the
  // other is read.
  char errName[] = "/tmp/dtk-test-err-XXXXXX";
  int errFile = merged ? -1 : mkstemp(errName);
  ChildResult result = Child(args, errFile).Finish();
  if (!merged) {
    result.err = ReadWholeFile(errName);
    close(errFile);
    unlink(errName);
  }
  return result;
}

Child::Child(const std::vector<std::string>& args, int errFd, bool terminal) {
  int pipeEnds[2] = {-1, -1};
  struct winsize size = {24, 160, 0, 0};
  if (terminal ? openpty(&pipeEnds[0], &pipeEnds[1], nullptr, nullptr, &size) : pipe(pipeEnds)) {
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    if (terminal) setenv("TERM", "xterm", 1);
    dup2(pipeEnds[1], 1);
    dup2(errFd >= 0 ? errFd : pipeEnds[1], 2);
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
  char buffer[65536];
  ssize_t n = -1;
  while (fd_ >= 0 && (n = read(fd_, buffer, sizeof(buffer))) < 0 && errno == EINTR) {
  }
  if (n > 0) output_.append(buffer, static_cast<size_t>(n));
  return n > 0;
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

bool Child::Reap(int options) {
  int status = 0;
  int got = 0;
  while (pid_ > 0 && (got = waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
  }
  if (pid_ > 0 && got == pid_) {
    pid_ = -1;
    killedBySignal_ = WIFSIGNALED(status);
    finished_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return pid_ > 0;
}

int Child::WaitWithoutReading(double seconds) {
  for (double waited = 0; Reap(WNOHANG) && waited < seconds; waited += 0.05) usleep(50000);
  return pid_ > 0 ? -1 : finished_;
}

ChildResult Child::Finish() {
  while (ReadSome()) {
  }
  Reap(0);
  return {finished_, output_, ""};
}

#endif

}  // namespace dtk
