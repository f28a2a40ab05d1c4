// The tool under hostile conditions: odd and overlong paths, trees deeper
// than any path, plans too large to hold, closed pipes and stop signals.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/run.h"
#include "platform/process.h"
#include "test_util.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dtk {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
struct ToolRun {
  int status;
  std::string lines;  // time stamps masked, streams tagged
};

ToolRun RunInProcess(const std::string& target, std::vector<const char*> options) {
  options.insert(options.begin(), {"dtk", target.c_str()});
  MemoryConsole console;
  FixedClock clock;
  MtDefaultRandom sizes;
  RunEnvironment environment{SystemFileSystem(), console,         clock, sizes,
                             kPosixOptionRules,  kPosixPathStyle, 0};
  int status = RunDtk(static_cast<int>(options.size()), options.data(), environment);
  return {status, MaskTimeStamps(console.Transcript())};
}

// The lines of a merged transcript that start with `word`.
int CountLines(const std::string& text, const std::string& word) {
  int count = 0;
  for (size_t at = 0; (at = text.find("\n" + word, at)) != std::string::npos; ++at) ++count;
  return count + (text.rfind(word, 0) == 0 ? 1 : 0);
}

TEST(RobustnessTest, TargetWithATrailingSeparatorGetsNoSecondOne) {
  TempDir dir;
  ToolRun run = RunInProcess(dir.path() + "/", {"-filesize", "1", "-maxDirFiles", "10"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.lines.find("E CreateFile " + dir.path() + "/file-0 (101213 bytes) No.1\n"),
            std::string::npos);
  EXPECT_NE(run.lines.find("E CreateDirecrory " + dir.path() + "/DIR-0\n"), std::string::npos);
  EXPECT_EQ(run.lines.find("//"), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

TEST(RobustnessTest, RelativeTargetsAndNamesWithSpacesAndUtf8) {
  TempDir dir;
  const std::string odd = "with space/d\xC3\xA9j\xC3\xA0 vu \xE2\x9C\x93";
  fs::create_directories(dir / odd);
  const std::string relative = fs::relative(dir / odd).generic_string();
  ASSERT_NE(relative[0], '/');
  ToolRun run = RunInProcess(relative, {"-filesize", "1", "-maxDirFiles", "5", "-verify"});
  EXPECT_EQ(run.status, 0) << run.lines;
  EXPECT_NE(run.lines.find("E CreateDirecrory " + relative + "/DIR-0\n"), std::string::npos);
  EXPECT_NE(run.lines.find("O Verify 22 files, 0 CRC Errors\n"), std::string::npos);
  EXPECT_NE(run.lines.find("O Remove 22 files, 4 directories\n"), std::string::npos);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"with space/", odd + "/"}));
}

TEST(RobustnessTest, PathsLongerThanTheSystemTakesGetItsErrorText) {
  TempDir dir;
  // One name longer than a directory entry can be.
  const std::string longName = dir / std::string(300, 'n');
  ToolRun run = RunInProcess(longName, {"-filesize", "1"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.lines.find("E CreateFile " + longName +
                           "/file-0 (101213 bytes) No.1\n"
                           "E CreateFile Error!: File name too long\n"
                           "E TS Finish\nE DtkTest Error!\n"),
            std::string::npos);

  // A whole path longer than any the system takes, printed in full.
  std::string longPath = dir.path();
  while (longPath.size() <= MaxPathLength()) longPath += "/DIR";
  run = RunInProcess(longPath, {"-filesize", "1", "-verify"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines.substr(run.lines.find("E CreateFile ")),
            "E CreateFile " + longPath +
                "/file-0 (101213 bytes) No.1\n"
                "E CreateFile Error!: File name too long\n"
                "E TS Finish\nE DtkTest Error!\nE TS Start\n"
                "E Verify " +
                longPath +
                "/file-0 (00000000:101213 bytes) No.1\n"
                "E CreateFile Error!: File name too long\n"
                "E TS Finish\nE Verify Error!\n");
  EXPECT_TRUE(dir.List().empty());
}

TEST(RobustnessTest, RemoveTreeTakesTreesDeeperThanAnyPath) {
  TempDir dir;
  // Each level is made relative to the last, so no path ever gets long.
  const std::string root = dir / "deep";
  fs::create_directory(root);
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const std::string name(200, 'd');
  for (int level = 0; level < 100; ++level) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0777), 0);
    int file = openat(fd, "file", O_WRONLY | O_CREAT, 0666);
    close(file);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  close(fd);
  EXPECT_TRUE(RemoveTree(root));
  EXPECT_TRUE(dir.List().empty());
}

// The line of `text` just before the line that starts with `line`.
std::string LineBefore(const std::string& text, const std::string& line) {
  size_t end = text.find("\n" + line);
  if (end == std::string::npos) return std::string();
  size_t start = text.rfind('\n', end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, end - start);
}

TEST(ProgramRobustnessTest, AChainAMillionDeepStopsWhereTheSystemRefusesThePath) {
  TempDir dir;
  ChildResult run = RunChild({DTK_BINARY, dir.path(), "-maxDirLevel", "2147483647", "-maxDirFiles",
                              "1", "-filesize", "1", "-minFileSize", "1", "-maxFileSize", "1"});
  EXPECT_EQ(run.status, 2);
  // The create phase reaches the first path the system refuses ...
  std::string lastFile = LineBefore(run.err, "CreateFile Error!");
  ASSERT_EQ(lastFile.rfind("CreateFile ", 0), 0u) << run.err.substr(0, 2000);
  ASSERT_NE(lastFile.find(" (1 bytes) No."), std::string::npos) << lastFile;
  std::string path = lastFile.substr(11, lastFile.find(" (1 bytes) No.") - 11);
  EXPECT_GT(path.size(), MaxPathLength());
  EXPECT_LT(CountLines(run.err, "CreateFile "), 1000);
  // ... and the remove phase removes everything made before it.
  size_t made = CountLines(run.err, "CreateFile ") - 2;  // not the error nor the failed file
  EXPECT_EQ(run.out, "Remove " + std::to_string(made) + " files, " + std::to_string(made) +
                         " directories\nRemove filesize " + std::to_string(made) + " bytes\n" +
                         run.out.substr(run.out.find("Remove time")));
  EXPECT_TRUE(dir.List().empty());
}

TEST(ProgramRobustnessTest, PlansTooLargeToNameOrHoldFailAtOnce) {
  TempDir dir;
  // Over two thousand million files to number; then 2^31 files, which can be
  // numbered but not held in any memory this runs in.
  for (const char* total : {"2147483647", "2048"}) {
    ChildResult run = RunChild({DTK_BINARY, dir.path(), "-filesize", total, "-maxFileSize", "1"});
    EXPECT_EQ(run.status, 1) << total;
    EXPECT_EQ(run.err, "CreateFileList error!\n");
    EXPECT_EQ(run.out, "");
  }
  TestConfig numbered;
  numbered.totalSize = int64_t{2048} << 20;
  numbered.maxFileSize = 1;
  EXPECT_FALSE(PlanMayFit(numbered, PhysicalMemoryBytes()));
  // Twenty million files do not fit in an address space of 300 MB.
  if (kUnderAddressSanitizer) return;  // which cannot start under such a limit
  ChildResult limited = RunChild({DTK_BINARY, dir.path(), "-filesize", "20", "-maxFileSize", "1"},
                                 false, 0, 300 << 20);
  EXPECT_EQ(limited.status, 1);
  EXPECT_EQ(limited.err, "CreateFileList error!\n");
  EXPECT_TRUE(dir.List().empty());
}

TEST(ProgramRobustnessTest, AClosedPipeNeitherEndsTheRunNorDecidesItsStatus) {
  TempDir dir;
  {
    // As `dtk T -verify 2>&1 | head -c 1`.
    Child child({DTK_BINARY, dir.path(), "-filesize", "20", "-verify"});
    child.ReadAndClose(1);
    ChildResult run = child.Finish();
    EXPECT_FALSE(child.killedBySignal());
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(dir.List().empty());
  }
  {
    // A run that fails still says so.
    Child child({DTK_BINARY, dir / "missing", "-filesize", "20"});
    child.ReadAndClose(1);
    EXPECT_EQ(child.Finish().status, 2);
  }
}

// A tree of about 10,000 small files: its lines fill the child's buffer for
// standard error (64 KiB) several times in each phase, so a phase is still
// under way when its first lines arrive.
std::vector<std::string> BigTree(const std::string& target) {
  return {DTK_BINARY, target, "-filesize", "4", "-maxFileSize", "800", "-verify"};
}

// A stop request in a phase ends the walk as a failed walk, skips verify
// and removes everything made; the status tells the signal.
struct StopCase {
  int signal;
  const char* during;  // a line of the phase it comes in
  int status;
  const char* phaseEnd;
};

class StopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopTest, EndsThePhaseAndTheTreeIsRemoved) {
  const StopCase& c = GetParam();
  TempDir dir;
  Child child(BigTree(dir.path()));
  ASSERT_TRUE(child.ReadUntil(c.during));
  child.Signal(c.signal);
  ChildResult run = child.Finish();
  EXPECT_FALSE(child.killedBySignal());
  EXPECT_EQ(run.status, c.status);
  std::string lines = MaskTimeStamps(run.out);
  EXPECT_NE(lines.find(std::string("\nTS Finish\n") + c.phaseEnd + "\nTS Start\nRemove"),
            std::string::npos)
      << lines.substr(0, 3000);
  EXPECT_EQ(CountLines(lines, "RemoveFile "), CountLines(lines, "CreateFile "));
  EXPECT_NE(lines.find("\nTS Finish\nRemove "), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopTest,
                         ::testing::Values(StopCase{SIGINT, "CreateFile ", 130, "DtkTest Error!"},
                                           StopCase{SIGTERM, "\nVerify ", 143, "Verify Error!"},
                                           StopCase{SIGHUP, "CreateFile ", 129, "DtkTest Error!"}));

TEST(ProgramRobustnessTest, AStopEndsARunWhoseConsoleNobodyReads) {
  TempDir dir;
  Child child(BigTree(dir.path()));
  ASSERT_TRUE(child.ReadUntil("CreateFile "));
  // From here on nobody reads: the pipe fills and the run blocks on it.
  EXPECT_EQ(child.WaitWithoutReading(1), -1);
  child.Signal(SIGTERM);
  EXPECT_EQ(child.WaitWithoutReading(10), 143);
  EXPECT_TRUE(dir.List().empty());
}

TEST(ProgramRobustnessTest, ASecondRunOnATargetInUseIsRefused) {
  TempDir dir;
  Child first(BigTree(dir.path()));
  ASSERT_TRUE(first.ReadUntil("CreateFile "));
  ChildResult second = RunChild({DTK_BINARY, dir.path(), "-filesize", "1"});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err, "Target Error!: another run of dtk is using " + dir.path() + "\n");
  EXPECT_EQ(second.out, "");
  first.Signal(SIGINT);
  ChildResult run = first.Finish();
  EXPECT_EQ(run.status, 130);
  EXPECT_EQ(run.out.find("Error!:"), std::string::npos);  // the first ran undisturbed
  EXPECT_TRUE(dir.List().empty());
}

TEST(ProgramRobustnessTest, AStopWhilePlanningEndsTheRunAtOnce) {
  TempDir dir;
  // A hundred million files take seconds to plan.
  Child child({DTK_BINARY, dir.path(), "-filesize", "100", "-maxFileSize", "1"});
  usleep(300000);
  child.Signal(SIGINT);
  EXPECT_EQ(child.WaitWithoutReading(1), 130);
  EXPECT_EQ(child.Finish().out, "");
  EXPECT_TRUE(dir.List().empty());
}

TEST(ProgramRobustnessTest, ASecondStopRequestEndsTheProgramAtOnce) {
  TempDir dir;
  Child child(BigTree(dir.path()));
  ASSERT_TRUE(child.ReadUntil("CreateFile "));
  child.Signal(SIGINT);
  child.Signal(SIGTERM);
  ChildResult run = child.Finish();
  EXPECT_TRUE(child.killedBySignal());
  EXPECT_TRUE(run.status == 130 || run.status == 143) << run.status;
  EXPECT_EQ(run.out.find("DtkTest Error!"), std::string::npos);
}
#endif

}  // namespace
}  // namespace dtk
