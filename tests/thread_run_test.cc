// dtk -threads N: whole runs of several threads, in process with a pinned
// clock and as the real program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "driver/run.h"
#include "fault_file_system.h"
#include "platform/process.h"
#include "test_util.h"

namespace dtk {
namespace {

struct InProcessRun {
  int status;
  std::string lines;  // time stamps masked, every line tagged with its stream
};

// The words of `text`, split at spaces.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream split(text);
  for (std::string word; split >> word;) words.push_back(word);
  return words;
}

// Runs a small tree (22 files of 1 MiB in all, 2 directories) in `target`.
InProcessRun RunSmall(const std::string& target, const std::string& options,
                      FileSystem& fs = SystemFileSystem()) {
  std::vector<std::string> words =
      Words("dtk " + target + " -filesize 1 -maxDirFiles 10 " + options);
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  MemoryConsole console;
  FixedClock clock;
  MtDefaultRandom sizes;
  RunEnvironment environment{fs, console, clock, sizes, kPosixOptionRules, kPosixPathStyle, 0};
  int status = RunDtk(static_cast<int>(argv.size()), argv.data(), environment);
  // A thread hands its lines on together; each is tagged here.
  std::string lines;
  for (const MemoryConsole::Line& piece : console.lines()) {
    std::istringstream text(piece.text);
    for (std::string line; std::getline(text, line);) {
      lines += (piece.isError ? "E " : "O ") + line + "\n";
    }
  }
  return {status, MaskTimeStamps(lines)};
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& start) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(start, 0) == 0) found.push_back(line);
  }
  return found;
}

// The lines of a phase of three small trees.
std::string Summary(const std::string& word, const std::string& counts) {
  return "E TS Start\nE TS Finish\nO " + word + " " + counts + "\nO " + word +
         " filesize 3145728 bytes\nO " + word + " time 1 sec\nO " + word +
         " speed 3145.7KB/sec (3145728B/sec)\n";
}

// -threads 1 is the run without it; with more, each thread's directory
// holds a single run's tree, which later runs with as many threads find.
// One frame is printed with the sums of all threads; the report adds each.
TEST(ThreadRunTest, EachThreadMakesASingleRunsTreeThatLaterRunsFindAgain) {
  TempDir single;
  TempDir one;
  InProcessRun plain = RunSmall(single.path(), "-noRemove");
  InProcessRun oneThread = RunSmall(one.path(), "-noRemove -threads 1");
  std::string lines = oneThread.lines;
  for (size_t at; (at = lines.find(one.path())) != std::string::npos;) {
    lines.replace(at, one.path().size(), single.path());
  }
  EXPECT_EQ(lines, plain.lines);
  const std::vector<std::string> tree = single.List();
  EXPECT_EQ(one.List(), tree);

  TempDir dir;
  InProcessRun keep = RunSmall(dir.path(), "-noRemove -Threads 3");
  EXPECT_EQ(keep.lines, Summary("Create", "66 files, 6 directories"));
  std::vector<std::string> trees;
  for (const char* thread : {"thread-0/", "thread-1/", "thread-2/"}) {
    trees.push_back(thread);
    for (const std::string& name : tree) trees.push_back(thread + name);
  }
  EXPECT_EQ(dir.List(), trees);
  // A fourth thread finds no tree: nothing runs.
  InProcessRun more = RunSmall(dir.path(), "-noCreate -verify -threads 4");
  EXPECT_EQ(more.status, 2);
  std::vector<std::string> errors = LinesStartingWith(more.lines, "E ");
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0].rfind("E [thread 3] Target Error!: ", 0), 0u);
  EXPECT_EQ(LinesStartingWith(more.lines, "E [thread 3] "), errors);  // and no other line

  TempDir reports;
  std::string report = reports / "report.json";
  InProcessRun check = RunSmall(dir.path(), "-noCreate -verify -threads 3 -report " + report);
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.lines, Summary("Verify", "66 files, 0 CRC Errors") +
                             Summary("Remove", "66 files, 6 directories"));
  EXPECT_TRUE(dir.List().empty());
  nlohmann::json json = nlohmann::json::parse(ReadWholeFile(report));
  EXPECT_EQ(json["settings"]["threads"], 3);
  EXPECT_EQ(json["plan"]["files"], 22);  // each thread's
  ASSERT_EQ(json["threads"].size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(json["phases"][i]["files"], 66);
    EXPECT_EQ(json["phases"][i]["bytes"], 3145728);
    for (int k = 0; k < 3; ++k) {
      const auto& thread = json["threads"][k];
      EXPECT_EQ(thread["thread"], k);
      EXPECT_EQ(thread["exitStatus"], 0);
      EXPECT_EQ(thread["phases"][i]["files"], 22);
      EXPECT_GE(json["phases"][i]["seconds"], thread["phases"][i]["seconds"]);
    }
  }
  // The calls of all threads, their histograms added up, and among them the
  // removal of the threads' directories.
  EXPECT_EQ(json["phases"][0]["operations"]["read"]["count"], 66);
  EXPECT_EQ(json["phases"][1]["operations"]["rmdir"]["count"], 9);
}

#ifndef _WIN32
// A call that fails in one thread fails the phase for all: that thread
// prints the entry and its error lines, marked, the others nothing (those
// still in their create or verify walk stop at the next entry), and the
// lead the phase's error line; the remove phase cleans up what it can.
struct ThreadFault {
  const char* words;
  Op op;
  const char* path;  // below the target
  ErrorCode code;
  const char* entry;  // the starts of the thread's lines, then the phase's error line
  const char* error;
  const char* phaseError;
  const char* left;    // in the target
  bool othersStopped;  // their plans are far too large to be done before the failure
};

class ThreadFaultTest : public ::testing::TestWithParam<ThreadFault> {};

TEST_P(ThreadFaultTest, FailsThePhaseForAllAndNamesTheThread) {
  const ThreadFault& c = GetParam();
  TempDir dir;
  TempDir reports;
  std::string report = reports / "report.json";
  FaultFileSystem faults(SystemFileSystem());
  faults.FailPath(c.op, dir / c.path, c.code);
  InProcessRun run = RunSmall(dir.path(), c.words + (" -threads 3 -report " + report), faults);
  EXPECT_EQ(run.status, 2);
  std::string mark = "E [thread " + std::string(c.path).substr(7, 1) + "] ";
  std::vector<std::string> marked = LinesStartingWith(run.lines, "E [thread");
  ASSERT_EQ(marked.size(), 3u) << run.lines;
  EXPECT_EQ(marked[0].rfind(mark + c.entry + (dir / c.path), 0), 0u) << marked[0];
  EXPECT_EQ(marked[1], mark + c.error + SystemText(c.code));
  EXPECT_EQ(marked[2], mark + c.phaseError);
  EXPECT_NE(run.lines.find("E TS Finish\nE " + std::string(c.phaseError) + "\n"),
            std::string::npos);
  EXPECT_EQ(dir.List(), Words(c.left));

  nlohmann::json json = nlohmann::json::parse(ReadWholeFile(report));
  std::string failed;
  for (const auto& phase : json["phases"]) {
    for (const auto& failure : phase["failures"]) {
      if (failure["path"] == dir / c.path) failed = phase["status"];
    }
  }
  EXPECT_EQ(failed, "failed");
  for (int k : {0, 2}) {
    if (c.othersStopped) EXPECT_EQ(json["threads"][k]["phases"][0]["status"], "interrupted");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, ThreadFaultTest,
    ::testing::Values(ThreadFault{"-filesize 10 -maxFileSize 100", Op::kOpenForWrite,
                                  "thread-1/file-0", EACCES, "CreateFile ",
                                  "CreateFile Error!: ", "DtkTest Error!", "", true},
                      ThreadFault{"-verify", Op::kOpenForRead, "thread-2/file-3", EIO, "Verify ",
                                  "CreateFile Error!: ", "Verify Error!", "", false},
                      ThreadFault{"", Op::kRemoveDirectory, "thread-0/DIR-0", ENOTEMPTY,
                                  "RemoveDirecrory ", "RemoveDirectory Error!: ", "Remove Error!",
                                  "thread-0/ thread-0/DIR-0/ thread-0/file-0 thread-0/file-1 "
                                  "thread-0/file-2 thread-0/file-3 "
                                  "thread-0/file-4 thread-0/file-5 thread-0/file-6 thread-0/file-7 "
                                  "thread-0/file-8 thread-0/file-9",
                                  false},
                      // The thread's own directory fails as an entry of its tree does.
                      ThreadFault{"", Op::kRemoveDirectory, "thread-2", EBUSY, "RemoveDirecrory ",
                                  "RemoveDirectory Error!: ", "Remove Error!", "thread-2/",
                                  false}));

// A link planted where a thread's directory goes leads nowhere: that
// thread fails, nothing behind the link is touched, and the link stays.
TEST(ThreadRunTest, ALinkAtAThreadsDirectoryIsRefused) {
  TempDir dir;
  TempDir outside;
  WriteWholeFile(outside / "file-0", "theirs");
  ASSERT_EQ(symlink(outside.path().c_str(), (dir / "thread-1").c_str()), 0);
  InProcessRun run = RunSmall(dir.path(), "-threads 2");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(
      LinesStartingWith(run.lines, "E [thread 1] CreateFile " + (dir / "thread-1/file-0 (")).size(),
      1u)
      << run.lines;
  EXPECT_EQ(std::filesystem::read_symlink(dir / "thread-1"), outside.path());  // the link stays
  EXPECT_EQ(dir.List().size(), 1u);
  EXPECT_EQ(outside.List(), std::vector<std::string>{"file-0"});
  EXPECT_EQ(ReadWholeFile(outside / "file-0"), "theirs");
}

TEST(ThreadProgramTest, CtrlCInTheVerifyPhaseStopsEveryThreadAndCleansUp) {
  TempDir dir;
  // About 1,000 files per thread; the signal comes while the run is held,
  // so the phase is under way when it is taken.
  Child child({DTK_BINARY, dir.path(), "-filesize", "1", "-maxFileSize", "2000", "-verify",
               "-threads", "3"});
  ASSERT_TRUE(child.ReadUntil("Start\n"));
  ASSERT_TRUE(child.ReadUntil("Start\n", child.output().find("Start\n") + 6));
  child.Signal(SIGSTOP);
  child.Signal(SIGINT);
  child.Signal(SIGCONT);
  ChildResult run = child.Finish();
  EXPECT_EQ(run.status, 130);
  std::string lines = MaskTimeStamps(run.out);
  EXPECT_NE(lines.find("TS Finish\nVerify Error!\nTS Start\nTS Finish\nRemove "), std::string::npos)
      << lines;
  EXPECT_EQ(lines.find("[thread"), std::string::npos) << lines;
  EXPECT_TRUE(dir.List().empty());
}

// What `args` writes on a terminal (a pseudo-terminal of 160 columns that
// takes both standard streams), as bytes. The run is held for a while
// once its first line has come: the status line is due when it goes on.
std::string RunOnTerminal(const std::vector<std::string>& args) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "";
  std::string slave = ptsname(master);
  struct winsize size = {24, 160, 0, 0};
  ioctl(master, TIOCSWINSZ, &size);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int terminal = open(slave.c_str(), O_RDWR);
    dup2(terminal, 1);
    dup2(terminal, 2);
    setenv("TERM", "xterm", 1);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string bytes;
  char buffer[4096];
  // The read fails (EIO) once the child's side is closed.
  for (ssize_t n; (n = read(master, buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR);) {
    if (n > 0 && bytes.empty()) {
      kill(pid, SIGSTOP);
      usleep(1200000);
      kill(pid, SIGCONT);
    }
    if (n > 0) bytes.append(buffer, static_cast<size_t>(n));
  }
  waitpid(pid, nullptr, 0);
  close(master);
  return bytes;
}

// Times and speeds differ from run to run.
std::string MaskTimes(const std::string& text) {
  static const std::regex times(R"((time \d+ sec|speed .*)\n)");
  return std::regex_replace(MaskTimeStamps(text), times, "TIME\n");
}

// On a terminal a run of threads keeps a status line below its lines; once
// the terminal has applied the redraws (CR, LF and ESC [ K), the screen
// holds exactly what the run prints elsewhere.
TEST(ThreadProgramTest, AStatusLineIsDrawnOnATerminalAndLeavesNoTrace) {
  TempDir dir;
  std::vector<std::string> args = {DTK_BINARY, dir.path(), "-filesize", "1", "-maxFileSize",
                                   "2000",     "-verify",  "-threads",  "2"};
  std::string bytes = RunOnTerminal(args);
  std::vector<std::string> screen(1);
  size_t column = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string& line = screen.back();
    if (bytes.compare(i, 3, "\033[K") == 0) {
      line.resize(std::min(column, line.size()));
      i += 2;
    } else if (bytes[i] == '\r' || bytes[i] == '\n') {
      column = 0;
      if (bytes[i] == '\n') screen.emplace_back();
    } else {
      line.resize(std::max(line.size(), column + 1), ' ');
      line[column++] = bytes[i];
    }
  }
  std::string shown;
  for (const std::string& line : screen) shown += line.empty() ? "" : line + "\n";
  ChildResult plain = RunChild(args, true);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(MaskTimes(shown), MaskTimes(plain.out));
  EXPECT_TRUE(dir.List().empty());

  // A status line was drawn: the phase, and the share of it done.
  static const std::regex drawn("\r(Create|Verify|Remove)  ([0-9.]+)% [^\r\n]* left\033\\[K");
  std::smatch line;
  ASSERT_TRUE(std::regex_search(bytes, line, drawn)) << bytes.substr(0, 2000);
  EXPECT_LE(std::stod(line[2]), 100.0);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Threads that cannot all be started (their stacks do not fit in the
// address space) start none: nothing is touched.
TEST(ThreadProgramTest, ThreadsThatCannotAllStartRunNone) {
  TempDir dir;
  ChildResult run = RunChild({DTK_BINARY, dir.path(), "-filesize", "1", "-threads", "1024"}, false,
                             0, uint64_t{2} << 30);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(LinesStartingWith(run.err, ""), LinesStartingWith(run.err, "Thread Error!: "));
  EXPECT_EQ(LinesStartingWith(run.err, "").size(), 1u);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(dir.List().empty());
}
#endif
#endif

}  // namespace
}  // namespace dtk
