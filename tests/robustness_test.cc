// The tool under hostile conditions: odd and overlong paths, trees deeper
// than any path, plans too large to hold, limits, closed pipes, stop
// signals, and a terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "driver/run.h"
#include "engine/file_engine.h"
#include "platform/process.h"
#include "test_util.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dtk {
namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

#ifndef _WIN32
// A relative target with spaces and UTF-8, written with a trailing
// separator: the lines name each entry as the target given joined with "/"
// (never "//"), and only the tree goes. Paths longer than the system takes
// (a name, a whole path) get its error text, the path printed in full.
TEST(RobustnessTest, OddTargetsPathsLongerThanTheSystemTakesAndAChainDeeperThanAny) {
  TempDir dir;
  const std::string odd = "with space/d\xC3\xA9j\xC3\xA0 vu \xE2\x9C\x93";
  fs::create_directories(dir / odd);
  const std::string relative = fs::relative(dir / odd).generic_string();
  ToolRun run = RunInProcess({(relative + "/").c_str(), "-filesize", "1", "-maxDirFiles", "5"});
  EXPECT_EQ(run.status, 0) << run.lines;
  EXPECT_NE(run.lines.find("E CreateDirecrory " + relative + "/DIR-0\n"), npos);
  EXPECT_EQ(run.lines.find("//"), npos);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"with space/", odd + "/"}));
  // The longest path is the kernel's: a file whose path is as long is made,
  // one a byte longer is refused.
  std::string path = dir.path();
  while (path.size() + 256 < MaxPathLength()) {
    path += "/" + std::string(200, 'd');
    ASSERT_TRUE(fs::create_directory(path)) << path.size();
  }
  const std::string longest = path + "/" + std::string(MaxPathLength() - path.size() - 8, 'x');
  ASSERT_TRUE(fs::create_directory(longest) && fs::create_directory(longest + "y"));
  EXPECT_EQ(::mkdir((longest + "/abcdef").c_str(), 0700), 0);  // the kernel's, by whole path
  EXPECT_EQ(::mkdir((longest + "/abcdefg").c_str(), 0700) == 0 ? 0 : errno, ENAMETOOLONG);
  const std::string refused = "E CreateFile Error!: File name too long\nE TS Finish\n";
  // A chain a million deep in it: the file at the longest path is made, the
  // create phase stops at the first path refused, and everything made goes.
  run = RunInProcess({longest.c_str(), "-maxDirLevel", "2147483647", "-maxDirFiles", "1",
                      "-filesize", "1", "-minFileSize", "1", "-maxFileSize", "1"});
  EXPECT_EQ(run.status, 2);
  const std::string& L = longest;
  EXPECT_EQ(run.lines, "E TS Start\nE CreateFile " + L +
                           "/file-0 (1 bytes) No.1\nE CreateDirecrory " + L +
                           "/DIR-0\nE CreateFile " + L + "/DIR-0/file-1 (1 bytes) No.2\n" +
                           refused + "E DtkTest Error!\nE TS Start\nE RemoveDirecrory " + L +
                           "/DIR-0\nE RemoveFile " + L +
                           "/file-0 (1 bytes) No.1\nE TS Finish\nO Remove 1 files, 1 directories\n"
                           "O Remove filesize 1 bytes\nO Remove time 1 sec\n"
                           "O Remove speed 0.0KB/sec (1B/sec)\n");
  for (const std::string& target : {dir / std::string(300, 'n'), longest + "y"}) {
    run = RunInProcess({target.c_str(), "-filesize", "1", "-verify"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.lines.substr(run.lines.find("E CreateFile ")),
              "E CreateFile " + target + "/file-0 (101213 bytes) No.1\n" + refused +
                  "E DtkTest Error!\nE TS Start\nE Verify " + target +
                  "/file-0 (00000000:101213 bytes) No.1\n" + refused + "E Verify Error!\n");
  }
}

// Runs the program and reads each stream whole; or, with `act` or
// `signals`, reads both streams from one pipe as it runs, waits for `at` in
// the output (none and no `act`: 0.3 s), does `act` and sends `signals`.
struct ChildCase {
  const char* name;
  // Words after the program ("T": the test's directory); one starting with
  // "--" is a limit that prlimit(1) sets for the program.
  std::string options;
  const char* at;
  const char* signals;  // their names, as kill(1) takes them
  int status;           // negated when a signal kills the program
  // What a stop leaves between the end of the stopped phase's walk and the
  // remove phase, which then removes everything made; the report tells the
  // phase was interrupted. Null: not checked.
  const char* phaseEnd = nullptr;
  const char* out = nullptr;  // regular expressions the streams match; null: not checked
  const char* err = nullptr;
  // Nonzero: nobody reads from `at` on, and the program ends within that
  // many seconds of the signals, not before them.
  int unreadFor = 0;
  std::function<void(Child&, const std::string&)> act = nullptr;
};

const std::map<std::string, int> kSignals = {
    {"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"STOP", SIGSTOP}, {"CONT", SIGCONT}};

class ChildTest : public ::testing::TestWithParam<ChildCase> {};

TEST_P(ChildTest, EndsAsTheUserAsks) {
  const ChildCase& c = GetParam();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  if (c.options.find("--as") != npos) GTEST_SKIP() << "no sanitizer starts in a bounded space";
#endif
  std::string why;
  if (c.options.find("uring") != npos && MakeFileEngine({EngineKind::kUring}, &why) == nullptr)
    GTEST_SKIP() << why;
  TempDir dir, reports;
  std::vector<std::string> args = {DTK_BINARY};
  for (const std::string& word : Words(c.options)) {
    if (word.rfind("--", 0) == 0) {
      args.insert(args.begin(), {"/usr/bin/prlimit", word});
    } else {
      args.push_back(word[0] == 'T' ? dir.path() + word.substr(1) : word);
    }
  }
  if (c.phaseEnd != nullptr) args.insert(args.end(), {"-report", reports / "r.json"});
  const bool live = c.act || *c.signals != '\0';
  ChildResult run = live ? ChildResult() : RunChild(args);
  if (live) {
    Child child(args);
    if (c.at == nullptr && !c.act) usleep(300000);
    ASSERT_TRUE(c.at == nullptr || child.ReadUntil(c.at));
    if (c.act) c.act(child, dir.path());
    const int before = c.unreadFor > 0 ? child.WaitWithoutReading(c.at != nullptr ? 1 : 0) : -1;
    for (const std::string& name : Words(c.signals)) child.Signal(kSignals.at(name));
    const int after = c.unreadFor > 0 ? child.WaitWithoutReading(c.unreadFor) : c.status;
    EXPECT_EQ(std::vector<int>({before, after}), std::vector<int>({-1, c.status}));
    run = child.Finish();
    EXPECT_EQ(child.killedBySignal(), c.status < 0);
  }
  EXPECT_EQ(run.status, std::abs(c.status));
  if (c.status < 0) return;  // ended at once: what it made stays
  EXPECT_TRUE(dir.List().empty());
  if (c.out != nullptr) {
    EXPECT_TRUE(std::regex_match(run.out, std::regex(c.out))) << run.out;
  }
  if (c.err != nullptr) {
    EXPECT_TRUE(std::regex_match(run.err, std::regex(c.err))) << run.err;
  }
  if (c.phaseEnd == nullptr) return;
  std::string lines = MaskTimeStamps(run.out);
  EXPECT_NE(lines.find(std::string("\nTS Finish\n") + c.phaseEnd + "Remove"), npos)
      << lines.substr(0, 3000);
  EXPECT_EQ(LinesStartingWith(lines, "RemoveFile ").size(),
            LinesStartingWith(lines, "CreateFile ").size());
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
const char* kCreateEnd = "DtkTest Error!\nTS Start\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, ChildTest,
    ::testing::Values(
        ChildCase{"SigtermInVerify", kBigTree, "\nVerify ", "TERM", 143,
                  "Verify Error!\nTS Start\n"},
        // The signal comes with a full queue: every call in flight comes
        // back before the phase ends.
        ChildCase{"CtrlCInCreateWithUring", "T -filesize 4 -maxFileSize 800 -engine uring",
                  "CreateFile ", "INT", 130, kCreateEnd},
        // The run of three threads (no progress lines) is held while the
        // signal comes, so its verify phase is under way when it is taken.
        ChildCase{"CtrlCInVerifyOfThreads", "T -filesize 2 -maxFileSize 800 -verify -threads 3",
                  "B/sec)\n", "STOP INT CONT", 130, "Verify Error!\nTS Start\nTS Finish\n", nullptr,
                  nullptr, 0,
                  [](Child& child, const std::string&) {
                    ASSERT_TRUE(child.ReadUntil("Start\n", child.output().find("B/sec)\n")));
                  }},
        // A second stop request ends the program at once.
        ChildCase{"SecondStop", kBigTree, "CreateFile ", "INT TERM", -143},
        // From the first line on nobody reads: the pipe fills and the run
        // blocks on it, yet a stop ends it.
        ChildCase{"StopWhileNobodyReads", kBigTree, "CreateFile ", "TERM", 143, nullptr, nullptr,
                  nullptr, 10},
        // A hundred million files take seconds to plan.
        ChildCase{"StopWhilePlanning", "T -filesize 100 -maxFileSize 1", nullptr, "INT", 130,
                  nullptr, "", nullptr, 1},
        // A second run on a target in use is refused; the first runs on
        // undisturbed, and a hang-up stops it in its create phase.
        ChildCase{"SecondRunRefusedAndHangUp", kBigTree, "CreateFile ", "HUP", 129, kCreateEnd,
                  nullptr, nullptr, 0,
                  [](Child&, const std::string& target) {
                    ChildResult second = RunChild({DTK_BINARY, target, "-filesize", "1"});
                    EXPECT_EQ(second.status, 1);
                    EXPECT_EQ(second.err,
                              "Target Error!: another run of dtk is using " + target + "\n");
                    EXPECT_EQ(second.out, "");
                  }},
        // As `dtk T -verify 2>&1 | head -c 1`: a closed pipe neither ends the
        // run nor decides its status.
        ChildCase{"ClosedPipe", "T -filesize 20 -verify", nullptr, "", 0, nullptr, nullptr, nullptr,
                  0, [](Child& child, const std::string&) { child.ReadAndClose(1); }},
        // A file-size limit fails the write, not the process.
        ChildCase{"FileSizeLimit",
                  "--fsize=200000 T -filesize 1 -minFileSize 300000 -maxFileSize 300000", nullptr,
                  "", 2, nullptr, "[\\s\\S]*Remove 1 files, 0 directories\n[\\s\\S]*",
                  "[\\s\\S]*No\\.1\nWriteFile Error!: File too large\n[\\s\\S]*"},
        // Twenty million files do not fit in an address space of 300 MiB.
        ChildCase{"PlanTooLargeForAddressSpace", "--as=314572800 T -filesize 20 -maxFileSize 1",
                  nullptr, "", 1, nullptr, "", "CreateFileList error!\n"},
        // Threads that cannot all be started (their stacks do not fit in
        // the address space) start none: nothing is touched.
        ChildCase{"ThreadsThatCannotAllStart", "--as=2147483648 T -filesize 1 -threads 1024",
                  nullptr, "", 1, nullptr, "", "Thread Error!: [^\n]*\n"},
        // Engines whose rings and slots run out of memory in some threads
        // and not others: one line for all, nothing touched.
        ChildCase{"EnginesOutOfMemory",
                  "--as=1024000000 T -filesize 1 -threads 100 -engine uring -depth 4096", nullptr,
                  "", 1, nullptr, "", "Memory Error!: Cannot allocate memory\n"}),
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
  Child child(args, -1, /*terminal=*/true);
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
  const std::regex drawn(
      "\r(Create|Verify|Remove)  (100\\.0|[1-9]?[0-9]\\.[0-9])% [^\r\n]* left\033\\[K");
  EXPECT_TRUE(std::regex_search(bytes, drawn)) << bytes.substr(0, 2000);
}

// A run stopped for 1.5 s (SIGSTOP) shows its stop in the create phase's
// timeline, samples of nothing for as long; the samples add up to the
// phase all the same.
TEST(ProgramRobustnessTest, AStoppedProcessShowsItsStopInTheTimeline) {
  TempDir dir, reports;
  Child child({DTK_BINARY, dir.path(), "-filesize", "4", "-maxFileSize", "800", "-interval",
               "100", "-report", reports / "r.json"});
  ASSERT_TRUE(child.ReadUntil("CreateFile "));
  child.Signal(SIGSTOP);
  usleep(1500000);
  child.Signal(SIGCONT);
  ASSERT_EQ(child.Finish().status, 0);
  const nlohmann::json create = nlohmann::json::parse(ReadWholeFile(reports / "r.json"))["phases"][0];
  double still = 0, longest = 0;
  int64_t files = 0;
  for (const auto& sample : create["timeline"]) {
    still = sample["files"] == 0 ? still + sample["seconds"].get<double>() : 0;
    longest = std::max(longest, still);
    files += sample["files"].get<int64_t>();
  }
  EXPECT_GE(longest, 1.3) << create["timeline"];
  EXPECT_EQ(files, create["files"]);
}
#endif

}  // namespace
}  // namespace dtk
