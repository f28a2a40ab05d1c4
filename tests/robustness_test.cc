// The tool under hostile conditions: odd and overlong paths, trees deeper
// than any path, plans too large to hold, limits, closed pipes, stop
// signals, and a terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "driver/run.h"
#include "engine/batch_engine.h"
#include "platform/process.h"
#include "test_util.h"

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

namespace dtk {
namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

#ifndef _WIN32
// The lines of a merged transcript that start with `word`.
int CountLines(const std::string& text, const std::string& word) {
  int count = 0;
  for (size_t at = 0; (at = text.find("\n" + word, at)) != npos; ++at) ++count;
  return count + (text.rfind(word, 0) == 0 ? 1 : 0);
}

// Targets written in odd ways: the paths in the lines are the target as
// given joined with "/" (never "//"), and only the tree goes.
TEST(RobustnessTest, TargetsWithATrailingSeparatorOrRelativeWithSpacesAndUtf8) {
  TempDir dir;
  const std::string odd = "with space/d\xC3\xA9j\xC3\xA0 vu \xE2\x9C\x93";
  fs::create_directories(dir / odd);
  const std::string relative = fs::relative(dir / odd).generic_string();
  ASSERT_NE(relative[0], '/');
  for (auto [target, shown] : {std::pair{dir.path() + "/", dir.path()}, {relative, relative}}) {
    ToolRun run = RunInProcess({target.c_str(), "-filesize", "1", "-maxDirFiles", "5", "-verify"});
    EXPECT_EQ(run.status, 0) << run.lines;
    EXPECT_NE(run.lines.find("E CreateFile " + shown + "/file-0 (101213 bytes) No.1\n"), npos);
    EXPECT_NE(run.lines.find("E CreateDirecrory " + shown + "/DIR-0\n"), npos);
    EXPECT_EQ(run.lines.find("//"), npos);
    EXPECT_NE(run.lines.find("O Verify 22 files, 0 CRC Errors\n"), npos);
    EXPECT_NE(run.lines.find("O Remove 22 files, 4 directories\n"), npos);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"with space/", odd + "/"}));
  }
}

// A name longer than a directory entry can be, and a whole path longer than
// any the system takes: its error text, the path printed in full.
TEST(RobustnessTest, PathsLongerThanTheSystemTakesGetItsErrorText) {
  TempDir dir;
  std::string longPath = dir.path();
  while (longPath.size() <= MaxPathLength()) longPath += "/DIR";
  for (const std::string& target : {dir / std::string(300, 'n'), longPath}) {
    ToolRun run = RunInProcess({target.c_str(), "-filesize", "1", "-verify"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.lines.substr(run.lines.find("E CreateFile ")),
              "E CreateFile " + target +
                  "/file-0 (101213 bytes) No.1\n"
                  "E CreateFile Error!: File name too long\n"
                  "E TS Finish\nE DtkTest Error!\nE TS Start\n"
                  "E Verify " +
                  target +
                  "/file-0 (00000000:101213 bytes) No.1\n"
                  "E CreateFile Error!: File name too long\n"
                  "E TS Finish\nE Verify Error!\n");
  }
  EXPECT_TRUE(dir.List().empty());
}

// A chain a million deep: the create phase stops at the first path the
// system refuses, and the remove phase removes everything made before it.
TEST(ProgramRobustnessTest, AChainAMillionDeepStopsWhereTheSystemRefusesThePath) {
  TempDir dir;
  ChildResult run = RunChild({DTK_BINARY, dir.path(), "-maxDirLevel", "2147483647", "-maxDirFiles",
                              "1", "-filesize", "1", "-minFileSize", "1", "-maxFileSize", "1"});
  EXPECT_EQ(run.status, 2);
  size_t error = run.err.find("\nCreateFile Error!: File name too long\n");
  ASSERT_NE(error, npos) << run.err.substr(0, 2000);
  std::string lastFile = run.err.substr(0, error);
  lastFile = lastFile.substr(lastFile.rfind('\n') + 1);
  ASSERT_EQ(lastFile.rfind("CreateFile ", 0), 0u) << lastFile;
  size_t pathEnd = lastFile.find(" (1 bytes) No.");
  ASSERT_NE(pathEnd, npos) << lastFile;
  EXPECT_GT(pathEnd - 11, MaxPathLength());
  EXPECT_LT(CountLines(run.err, "CreateFile "), 1000);
  std::string made = std::to_string(CountLines(run.err, "CreateFile ") - 2);  // made whole
  EXPECT_EQ(
      run.out.substr(0, run.out.find("Remove time")),
      "Remove " + made + " files, " + made + " directories\nRemove filesize " + made + " bytes\n");
  EXPECT_TRUE(dir.List().empty());
}

// Runs as the program while the test signals it, reads on or stops reading
// (both streams on one pipe); or, with nothing to do, reads each stream
// whole.
struct ChildCase {
  const char* name;
  std::string options;  // words after the program ("T": the test's directory)
  std::function<void(Child&, const std::string&)> act;
  int status;  // -1: killed by a signal
  // What a stop leaves between the end of the stopped phase's walk and the
  // remove phase, which then removes everything made; the report tells the
  // phase was interrupted. Null: not checked.
  const char* phaseEnd = nullptr;
  const char* out = nullptr;  // regular expressions the streams match; null: not checked
  const char* err = nullptr;
  uint64_t fileSizeLimit = 0;
  uint64_t memoryLimit = 0;  // which no sanitizer can start under
};
void PrintTo(const ChildCase& c, std::ostream* os) { *os << c.name; }

class ChildTest : public ::testing::TestWithParam<ChildCase> {};

TEST_P(ChildTest, EndsAsTheUserAsks) {
  const ChildCase& c = GetParam();
  if (c.memoryLimit != 0 && (kUnderAddressSanitizer || kUnderThreadSanitizer)) GTEST_SKIP();
  std::string why;
  if (c.options.find("uring") != std::string::npos &&
      MakeBatchEngine({EngineKind::kUring}, &why) == nullptr) {
    GTEST_SKIP() << why;
  }
  TempDir dir;
  TempDir reports;
  std::vector<std::string> args = {DTK_BINARY};
  for (const std::string& option : Words(c.options)) {
    args.push_back(option.rfind("T", 0) == 0 ? dir.path() + option.substr(1) : option);
  }
  if (c.phaseEnd != nullptr) args.insert(args.end(), {"-report", reports / "r.json"});
  ChildResult run;
  if (c.act) {
    Child child(args);
    c.act(child, dir.path());
    run = child.Finish();
    EXPECT_EQ(child.killedBySignal(), c.status < 0);
  } else {
    run = RunChild(args, false, c.fileSizeLimit, c.memoryLimit);
  }
  if (c.status < 0) {
    EXPECT_TRUE(run.status == 130 || run.status == 143) << run.status;
    EXPECT_EQ(run.out.find("DtkTest Error!"), npos);
    return;
  }
  EXPECT_EQ(run.status, c.status);
  EXPECT_TRUE(dir.List().empty());
  if (c.out != nullptr) EXPECT_TRUE(std::regex_match(run.out, std::regex(c.out))) << run.out;
  if (c.err != nullptr) EXPECT_TRUE(std::regex_match(run.err, std::regex(c.err))) << run.err;
  if (c.phaseEnd == nullptr) return;
  std::string lines = MaskTimeStamps(run.out);
  EXPECT_NE(lines.find(std::string("\nTS Finish\n") + c.phaseEnd + "Remove"), npos)
      << lines.substr(0, 3000);
  EXPECT_EQ(CountLines(lines, "RemoveFile "), CountLines(lines, "CreateFile "));
  EXPECT_NE(lines.find("\nTS Finish\nRemove "), npos);
  EXPECT_EQ(lines.find("Error!:"), npos);  // no call failed
  EXPECT_EQ(lines.find("[thread"), npos);
  nlohmann::json report = nlohmann::json::parse(ReadWholeFile(reports / "r.json"));
  EXPECT_EQ(report["exitStatus"], c.status);
  const auto& phases = report["phases"];
  ASSERT_GE(phases.size(), 2u);
  EXPECT_EQ(phases[phases.size() - 2]["status"], "interrupted");
  EXPECT_EQ(phases.back()["status"], "ok");
  EXPECT_EQ(phases.back()["files"], phases[0]["files"]);
}

// A tree of about 10,000 small files: its lines fill the child's buffer for
// standard error (64 KiB) several times in each phase, so a phase is still
// under way when its first lines arrive.
const char* kBigTree = "T -filesize 4 -maxFileSize 800 -verify";

auto SignalAt(const char* text, std::vector<int> signals) {
  return [=](Child& child, const std::string&) {
    ASSERT_TRUE(child.ReadUntil(text));
    for (int signal : signals) child.Signal(signal);
  };
}
const char* kCreateEnd = "DtkTest Error!\nTS Start\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, ChildTest,
    ::testing::Values(
        ChildCase{"CtrlCInCreate", kBigTree, SignalAt("CreateFile ", {SIGINT}), 130, kCreateEnd},
        ChildCase{"SigtermInVerify", kBigTree, SignalAt("\nVerify ", {SIGTERM}), 143,
                  "Verify Error!\nTS Start\n"},
        ChildCase{"SighupInCreate", kBigTree, SignalAt("CreateFile ", {SIGHUP}), 129, kCreateEnd},
        // The signal comes with a full queue: every call in flight comes
        // back before the phase ends.
        ChildCase{"CtrlCInCreateWithUring", "T -filesize 4 -maxFileSize 800 -engine uring",
                  SignalAt("CreateFile ", {SIGINT}), 130, kCreateEnd},
        // The run of three threads is held while the signal comes, so the
        // phase is under way when it is taken.
        ChildCase{"CtrlCInVerifyOfThreads", "T -filesize 1 -maxFileSize 2000 -verify -threads 3",
                  [](Child& child, const std::string&) {
                    ASSERT_TRUE(child.ReadUntil("Start\n"));
                    ASSERT_TRUE(child.ReadUntil("Start\n", child.output().find("Start\n") + 6));
                    for (int signal : {SIGSTOP, SIGINT, SIGCONT}) child.Signal(signal);
                  },
                  130, "Verify Error!\nTS Start\nTS Finish\n"},
        // A second stop request ends the program at once.
        ChildCase{"SecondStop", kBigTree, SignalAt("CreateFile ", {SIGINT, SIGTERM}), -1},
        // From the first line on nobody reads: the pipe fills and the run
        // blocks on it, yet a stop ends it.
        ChildCase{"StopWhileNobodyReads", kBigTree,
                  [](Child& child, const std::string&) {
                    ASSERT_TRUE(child.ReadUntil("CreateFile "));
                    EXPECT_EQ(child.WaitWithoutReading(1), -1);
                    child.Signal(SIGTERM);
                    EXPECT_EQ(child.WaitWithoutReading(10), 143);
                  },
                  143},
        // A hundred million files take seconds to plan.
        ChildCase{"StopWhilePlanning", "T -filesize 100 -maxFileSize 1",
                  [](Child& child, const std::string&) {
                    usleep(300000);
                    child.Signal(SIGINT);
                    EXPECT_EQ(child.WaitWithoutReading(1), 130);
                    EXPECT_EQ(child.Finish().out, "");
                  },
                  130},
        // A second run on a target in use is refused; the first runs on
        // undisturbed.
        ChildCase{"SecondRunRefused", kBigTree,
                  [](Child& child, const std::string& target) {
                    ASSERT_TRUE(child.ReadUntil("CreateFile "));
                    ChildResult second = RunChild({DTK_BINARY, target, "-filesize", "1"});
                    EXPECT_EQ(second.status, 1);
                    EXPECT_EQ(second.err,
                              "Target Error!: another run of dtk is using " + target + "\n");
                    EXPECT_EQ(second.out, "");
                    child.Signal(SIGINT);
                  },
                  130, kCreateEnd},
        // As `dtk T -verify 2>&1 | head -c 1`: a closed pipe neither ends the
        // run nor decides its status.
        ChildCase{"ClosedPipe", "T -filesize 20 -verify",
                  [](Child& child, const std::string&) { child.ReadAndClose(1); }, 0},
        ChildCase{"ClosedPipeOfAFailedRun", "T/missing -filesize 20",
                  [](Child& child, const std::string&) { child.ReadAndClose(1); }, 2},
        // A file-size limit fails the write, not the process.
        ChildCase{"FileSizeLimit", "T -filesize 1 -minFileSize 300000 -maxFileSize 300000", nullptr,
                  2, nullptr, "[\\s\\S]*Remove 1 files, 0 directories\n[\\s\\S]*",
                  "[\\s\\S]*No\\.1\nWriteFile Error!: File too large\n[\\s\\S]*", 200000},
        // Plans too large to hold fail at once: 2^31 files, which can be
        // numbered but not held in any memory this runs in; twenty million
        // files in an address space of 300 MB.
        ChildCase{"PlanTooLargeForMemory", "T -filesize 2048 -maxFileSize 1", nullptr, 1, nullptr,
                  "", "CreateFileList error!\n"},
        ChildCase{"PlanTooLargeForAddressSpace", "T -filesize 20 -maxFileSize 1", nullptr, 1,
                  nullptr, "", "CreateFileList error!\n", 0, 300 << 20},
        // Threads that cannot all be started (their stacks do not fit in
        // the address space) start none: nothing is touched.
        ChildCase{"ThreadsThatCannotAllStart", "T -filesize 1 -threads 1024", nullptr, 1, nullptr,
                  "", "Thread Error!: [^\n]*\n", 0, uint64_t{2} << 30}),
    [](const auto& info) { return std::string(info.param.name); });

// On a terminal a run of threads keeps a status line below its lines; once
// the terminal has applied the redraws (CR, LF and ESC [ K), the screen
// holds exactly what the run prints elsewhere.
TEST(ProgramRobustnessTest, AStatusLineIsDrawnOnATerminalAndLeavesNoTrace) {
  TempDir dir;
  std::vector<std::string> args = {DTK_BINARY, dir.path(), "-filesize", "1", "-maxFileSize",
                                   "2000",     "-verify",  "-threads",  "2"};
  // The run is held for a while once its first line has come: the status
  // line is due when it goes on.
  Child child(args, -1, 0, 0, /*terminal=*/true);
  ASSERT_TRUE(child.ReadUntil("\n"));
  child.Signal(SIGSTOP);
  usleep(1200000);
  child.Signal(SIGCONT);
  std::string bytes = child.Finish().out;
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
#endif

}  // namespace
}  // namespace dtk
