// Whole runs of one thread or several: in process with a pinned clock, and
// as the real program.
#include "driver/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/mount.h>
#endif

#include "engine/file_engine.h"
#include "engine/tester.h"
#include "reporting/timed_file_system.h"
#include "fault_file_system.h"
#include "platform/process.h"
#include "support/crc32.h"
#include "test_util.h"

namespace dtk {
namespace {

constexpr auto npos = std::string::npos;

bool UringAvailable() {
  std::string why;
  return MakeFileEngine({EngineKind::kUring}, &why) != nullptr;
}

nlohmann::json ReadReport(const std::string& path) {
  return nlohmann::json::parse(ReadWholeFile(path));
}

// The end of a phase's lines: the frame's last line and the summary of
// `counts` and `bytes` (`kb` thousands) in a second.
std::string Summary(const std::string& word, const std::string& counts, const std::string& bytes,
                    const std::string& kb) {
  return "E TS Finish\nO " + word + " " + counts + "\nO " + word + " filesize " + bytes +
         " bytes\nO " + word + " time 1 sec\nO " + word + " speed " + kb + "KB/sec (" + bytes +
         "B/sec)\n";
}

// Whole runs with each engine: the same lines, trees and reports.
class EngineRunTest : public ::testing::TestWithParam<EngineKind> {
 protected:
  void SetUp() override {
    if (GetParam() == EngineKind::kUring && !UringAvailable()) GTEST_SKIP() << "no io_uring";
  }
  ToolRun Run(std::vector<const char*> words, FaultFileSystem* faults = nullptr) {
    words.insert(words.end(), {"-engine", EngineName(GetParam())});
    if (faults == nullptr) return RunInProcess(std::move(words));
    return RunInProcess(std::move(words), *faults, 0, faults);
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, EngineRunTest,
                         ::testing::Values(EngineKind::kSync, EngineKind::kUring),
                         [](const auto& info) { return std::string(EngineName(info.param)); });

// Command lines and plans that cannot be run end with status 1 and one
// line before anything is touched; the report says what was asked.
TEST(RunTest, RefusedRunsTouchNothing) {
  TempDir dir;
  TempDir reports;
  const char* T = dir.path().c_str();
  const std::string reportPath = reports / "refused.json";
  const std::string planError = "E CreateFileList error!\n";
  struct Case {
    std::vector<const char*> words;
    uint64_t memory;
    std::string lines;
  } cases[] = {
      {{"-verify"}, 0, "E Parameter error!\n"},
      {{T, "-minFileSize", "5", "-maxFileSize", "4"}, 0, "E Min/Max Filesize error!\n"},
      {{T, "-engine", "fio"}, 0, "E Engine error!: no engine is named fio (sync, uring)\n"},
      {{T, "-depth", "4097"}, 0, "E Parameter error! (depth)\n"},
      // Over two thousand million files cannot be numbered.
      {{T, "-filesize", "2147483647", "-maxFileSize", "1", "-report", reportPath.c_str()},
       0,
       planError},
      // Before planning: a million files do not fit in 10 MB; while
      // planning: 350,000 might, but the plan has about half a million.
      {{T, "-filesize", "1", "-maxFileSize", "1"}, 10000000, planError},
      {{T, "-filesize", "1", "-maxFileSize", "3"}, 10000000, planError},
  };
  for (const Case& c : cases) {
    ToolRun run = RunInProcess(c.words, SystemFileSystem(), c.memory);
    EXPECT_EQ(run.status, 1) << c.lines;
    EXPECT_EQ(run.lines, c.lines);
  }
  EXPECT_TRUE(PlanMayFit(Config(1048576, 1, 3, 100, 4), 10000000));
  // 2^31 files can be numbered, but not held in any memory this runs in.
  EXPECT_FALSE(PlanMayFit(Config(int64_t{2048} << 20, 1, 1, 100, 4), PhysicalMemoryBytes()));
  nlohmann::json report = ReadReport(reportPath);
  EXPECT_TRUE(report["plan"].is_null() && report["phases"].empty());
  EXPECT_EQ(report["exitStatus"], 1);
  EXPECT_EQ(report["settings"]["totalSize"], int64_t{2147483647} << 20);
  // A file system that refuses unbuffered I/O is named before any phase.
  FaultFileSystem refusing(SystemFileSystem());
  refusing.RefuseDirectIo(kInvalidArgument);
  ToolRun direct = RunInProcess({T, "-verify", "-direct", "-report", reportPath.c_str()}, refusing);
  EXPECT_EQ(direct.status, 1);
  EXPECT_EQ(direct.lines, "E Direct Error!: the file system of " + dir.path() +
                              " refuses unbuffered I/O (-direct): " + SystemText(kInvalidArgument) +
                              "\n");
  report = ReadReport(reportPath);
  EXPECT_EQ(report["settings"]["direct"], true);
  EXPECT_TRUE(report["directBlockSize"].is_null() && report["phases"].empty());

  // As a kernel with io_uring turned off says.
  ToolRun refused =
      RunInProcess({T, "-ENGINE", "Uring", "-depth", "4096"}, SystemFileSystem(), 0, nullptr, EPERM);
  EXPECT_EQ(refused.status, 1);
  const std::string prefix = "E Engine error!: uring is not available: ";
  EXPECT_EQ(refused.lines.substr(0, prefix.size()), prefix) << refused.lines;
  if (UringAvailable()) {
    EXPECT_EQ(refused.lines, prefix + "io_uring_setup: " + SystemText(EPERM) +
                                 " (io_uring is turned off by kernel.io_uring_disabled or a "
                                 "seccomp policy)\n");
  }
  EXPECT_TRUE(dir.List().empty());
}

#ifdef __linux__
// A file system that fills up amid a batch of files in flight: the same file
// fails, with the same lines, and nothing stays.
TEST(RunTest, AFileSystemThatFillsUpFailsAtTheSameFileWithEitherEngine) {
  if (!UringAvailable()) GTEST_SKIP() << "no io_uring";
  TempDir dir;
  if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  ToolRun runs[2];
  for (EngineKind kind : {EngineKind::kSync, EngineKind::kUring}) {
    runs[static_cast<int>(kind)] =
        RunInProcess({dir.path().c_str(), "-filesize", "1", "-minFileSize", "20000", "-maxFileSize",
                      "40000", "-maxDirFiles", "8", "-verify", "-engine", EngineName(kind)});
    EXPECT_TRUE(dir.List().empty());
  }
  umount(dir.path().c_str());
  EXPECT_EQ(runs[0].status, 2);
  EXPECT_NE(runs[0].lines.find("WriteFile Error!: " + SystemText(ENOSPC)), npos);
  EXPECT_EQ(runs[1].status, 2);
  EXPECT_EQ(runs[1].lines, runs[0].lines);
}
#endif

// Failures give status 2 and the later phases still run; the report lists
// each failure, its path shown in valid JSON whatever its bytes.
TEST(RunTest, FailuresGiveStatusTwoAndAreListedInTheReport) {
  TempDir dir;
  TempDir reports;
  const std::string reportPath = reports / "failed.json";
  const std::string missing = dir / "gone\xFF";  // not UTF-8, and not there
  ToolRun run =
      RunInProcess({missing.c_str(), "-filesize", "1", "-verify", "-report", reportPath.c_str()});
  EXPECT_EQ(run.status, 2);
  const std::string noPath = SystemText(kNoSuchPath);
  EXPECT_EQ(run.lines.substr(run.lines.find("E CreateFile ")),
            "E CreateFile " + missing + "/file-0 (101213 bytes) No.1\nE CreateFile Error!: " +
                noPath + "\nE TS Finish\nE DtkTest Error!\nE TS Start\nE Verify " + missing +
                "/file-0 (00000000:101213 bytes) No.1\nE CreateFile Error!: " + noPath +
                "\nE TS Finish\nE Verify Error!\n");
  nlohmann::json report = ReadReport(reportPath);  // the parser takes only valid UTF-8
  const std::string shown = dir.path() + "/gone\\xFF";
  EXPECT_EQ(report["target"], shown);
#ifndef _WIN32
  EXPECT_TRUE(report["fileSystem"].is_null());  // statfs finds no such path
#endif
  EXPECT_EQ(report["exitStatus"], 2);
  const auto& phases = report["phases"];
  ASSERT_EQ(phases.size(), 2u);  // nothing was made: nothing to remove
  nlohmann::json noFile = {{"operation", "open"},
                           {"path", shown + "/file-0"},
                           {"code", kNoSuchPath},
                           {"message", noPath}};
  for (const auto& phase : phases) {
    EXPECT_EQ(phase["status"], "failed");
    EXPECT_EQ(phase["failures"], nlohmann::json::array({noFile}));
  }
  EXPECT_EQ(phases[0]["operations"]["open"]["count"], 1);
  // With -noCreate it is told before any phase.
  run = RunInProcess({missing.c_str(), "-noCreate", "-verify"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines, "E Target Error!: " + noPath + "\n");
  // A report that cannot be written fails a run that went well.
  const std::string nowhere = dir / "missing/report.json";
  run = RunInProcess({dir.path().c_str(), "-filesize", "1", "-report", nowhere.c_str()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines.substr(run.lines.rfind("E ")), "E Report Error!: " + noPath + "\n");
  EXPECT_TRUE(dir.List().empty());
}

// A file call that fails is listed in the report with either engine: a
// write ends the create phase, and an unlink the remove phase, which a
// later run finishes.
TEST_P(EngineRunTest, FailedCallsAreListedInTheReport) {
  TempDir dir, reports;
  const std::string reportPath = reports / "failed.json";
  FaultFileSystem failing(SystemFileSystem());
  failing.FailCall(Op::kWrite, 3, ENOSPC);
  failing.FailCall(Op::kDeleteFile, 1, EACCES);
  ToolRun run = Run({dir.path().c_str(), "-filesize", "1", "-report", reportPath.c_str()}, &failing);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.lines.find("No.1\nE DeleteFile Error!: " + SystemText(EACCES) + "\n"), npos);
  nlohmann::json report = ReadReport(reportPath);
  const std::tuple<int, const char*, ErrorCode> failures[] = {{0, "write", ENOSPC},
                                                              {1, "unlink", EACCES}};
  for (const auto& [phase, operation, code] : failures) {
    EXPECT_EQ(report["phases"][phase]["failures"],
              nlohmann::json::array({{{"operation", operation},
                                      {"path", dir / "file-2"},
                                      {"code", code},
                                      {"message", SystemText(code)}}}));
  }
  EXPECT_EQ(RunInProcess({dir.path().c_str(), "-filesize", "1", "-noCreate"}).status, 0);
  EXPECT_TRUE(dir.List().empty());
}

// A stop with -noRemove leaves the tree, the status telling the signal;
// a later run cleans it up (the stop in the ChildTest table's cases).
TEST_P(EngineRunTest, TreeLeftByAStoppedRunIsCleanedUpLater) {
  TempDir dir;
  const char* T = dir.path().c_str();
  FaultFileSystem stopping(SystemFileSystem());
  stopping.AtCall(Op::kOpenForWrite, 31, [] { RequestStop(2); });
  ToolRun run = Run({T, "-filesize", "2", "-maxDirFiles", "4", "-noRemove"}, &stopping);
  ClearStopRequest();
  EXPECT_EQ(run.status, 130);
  EXPECT_EQ(run.lines.substr(run.lines.find("No.31\n")), "No.31\nE TS Finish\nE DtkTest Error!\n");
  ASSERT_FALSE(dir.List().empty());
  ToolRun cleanup = Run({T, "-filesize", "2", "-maxDirFiles", "4", "-noCreate"});
  EXPECT_EQ(cleanup.status, 0);
  EXPECT_TRUE(dir.List().empty());
  // The file being opened when the stop came is finished: 31 files, in
  // seven directories.
  EXPECT_NE(cleanup.lines.find("O Remove 31 files, 7 directories\n"), npos) << cleanup.lines;
  EXPECT_EQ(cleanup.lines.find("Create"), npos);
  EXPECT_EQ(cleanup.lines.find("Verify"), npos);
}

// Hooks that log each call and answer for other processes as told.
struct LoggingHooks : PhaseHooks {
  bool otherSays = false;  // what another process holds, for Anywhere
  bool failRemoveWalk = false;
  std::string log;
  bool Anywhere(bool local) override {
    log += local ? "ask:yes " : "ask:no ";
    return local || otherSays;
  }
  void BeginPhase(const PhaseText& text) override {
    log += std::string("begin:") + text.word + " ";
  }
  int EndWalk(const PhaseText& text, int result) override {
    log += std::string("walk:") + text.word + ":" + std::to_string(result) + " ";
    return &text == &kRemoveText && failRemoveWalk ? -1 : result;
  }
  int EndPhase(const PhaseText& text, const PhaseCounters& counters, int result) override {
    log += std::string("end:") + text.word + ":" + std::to_string(counters.files) + ":" +
           std::to_string(result) + " ";
    return result;
  }
};

// The sequence that dtk-mpi shares: the hooks frame every phase, what the
// walk returned passes through them into the record and the result, and
// every decision between phases is put to them, the same decisions in the
// same order whatever this process holds. When another process cannot
// verify, none does; a remove walk that the hooks fail is a failed phase.
TEST(RunTest, PhaseHooksFrameEveryPhaseAndTakePartInEveryDecision) {
  TempDir dir;
  const char* words[] = {"dtk", dir.path().c_str(), "-filesize", "1", "-maxDirFiles",
                         "10",  "-verify"};
  CommandLine commandLine;
  ASSERT_EQ(ParseCommandLine(7, words, kPosixOptionRules, &commandLine), "");
  for (bool other : {false, true}) {
    LoggingHooks hooks;
    hooks.otherSays = hooks.failRemoveWalk = other;
    MemoryConsole console;
    FixedClock clock;
    MtDefaultRandom sizes;
    FileList plannedList;
    ASSERT_TRUE(PlanRun(commandLine, 0, sizes, plannedList));
    TimedFileSystem timed(SystemFileSystem());
    DtkTest tester(timed, console, clock, kPosixPathStyle);
    ReportRecorder recorder(timed);
    TreeRoot root(timed, commandLine.targetDir);
    EXPECT_EQ(RunPhases({commandLine, root, plannedList, tester, &recorder}, hooks), other);
    EXPECT_EQ(hooks.log, other ? "begin:Create walk:Create:0 end:Create:22:0 ask:no ask:yes "
                                 "begin:Remove walk:Remove:0 end:Remove:22:-1 "
                               : "begin:Create walk:Create:0 end:Create:22:0 ask:no begin:Verify "
                                 "walk:Verify:0 end:Verify:22:0 ask:yes begin:Remove "
                                 "walk:Remove:0 end:Remove:22:0 ");
    std::string recorded;
    for (const PhaseReport& phase : recorder.phases())
      recorded += phase.name + ":" + phase.status + " ";
    EXPECT_EQ(recorded, other ? "create:ok remove:failed " : "create:ok verify:ok remove:ok ");
    EXPECT_EQ(console.Transcript().find("Verify") == npos, other);
    EXPECT_NE(console.Transcript().find("O Remove 22 files, 2 directories\n"), npos);
  }
  EXPECT_TRUE(dir.List().empty());
}

// Every line of a run, in process (tagged by stream) and as the program
// with both streams on one pipe (in the same order), where -threads 1 is
// the run without it. -sync flushes every file before it is closed and
// every directory once nothing more is made in it; neither it nor a report
// changes the lines. The report agrees with the plan; each call's latency
// runs from submission to completion with the uring engine.
TEST_P(EngineRunTest, AWholeRunPrintsEveryLineAndReportsEveryCall) {
  TempDir dir;
  TempDir reports;
  const std::string reportPath = reports / "run.json";
  // Three files a directory, chains two deep: a second chain starts in the
  // target, and the remove phase takes the chains last to first.
  const std::string lines = Replaced(
      "E TS Start\n"
      "E CreateFile @/file-0 (100000 bytes) No.1\n"
      "E CreateFile @/file-1 (100000 bytes) No.2\n"
      "E CreateFile @/file-2 (100000 bytes) No.3\n"
      "E CreateDirecrory @/DIR-0\n"
      "E CreateFile @/DIR-0/file-3 (100000 bytes) No.4\n"
      "E CreateFile @/DIR-0/file-4 (100000 bytes) No.5\n"
      "E CreateFile @/DIR-0/file-5 (100000 bytes) No.6\n"
      "E CreateDirecrory @/DIR-0/DIR-1\n"
      "E CreateFile @/DIR-0/DIR-1/file-6 (100000 bytes) No.7\n"
      "E CreateFile @/DIR-0/DIR-1/file-7 (100000 bytes) No.8\n"
      "E CreateFile @/DIR-0/DIR-1/file-8 (100000 bytes) No.9\n"
      "E CreateDirecrory @/DIR-2\n"
      "E CreateFile @/DIR-2/file-9 (100000 bytes) No.10\n"
      "E CreateFile @/DIR-2/file-10 (48576 bytes) No.11\n" +
          Summary("Create", "11 files, 3 directories", "1048576", "1048.5") +
          "E TS Start\n"
          "E Verify @/file-0 (42A5E7CC:100000 bytes) No.1\n"
          "E Verify @/file-1 (F714DAF7:100000 bytes) No.2\n"
          "E Verify @/file-2 (3D8425BE:100000 bytes) No.3\n"
          "E Verify @/DIR-0/file-3 (7847DFBD:100000 bytes) No.4\n"
          "E Verify @/DIR-0/file-4 (AF386E7B:100000 bytes) No.5\n"
          "E Verify @/DIR-0/file-5 (3570592E:100000 bytes) No.6\n"
          "E Verify @/DIR-0/DIR-1/file-6 (1AEA429D:100000 bytes) No.7\n"
          "E Verify @/DIR-0/DIR-1/file-7 (CE634616:100000 bytes) No.8\n"
          "E Verify @/DIR-0/DIR-1/file-8 (163A0AE7:100000 bytes) No.9\n"
          "E Verify @/DIR-2/file-9 (097B6FC3:100000 bytes) No.10\n"
          "E Verify @/DIR-2/file-10 (E916D83D:48576 bytes) No.11\n" +
          Summary("Verify", "11 files, 0 CRC Errors", "1048576", "1048.5") +
          "E TS Start\n"
          "E RemoveFile @/DIR-2/file-10 (48576 bytes) No.1\n"
          "E RemoveFile @/DIR-2/file-9 (100000 bytes) No.2\n"
          "E RemoveDirecrory @/DIR-2\n"
          "E RemoveFile @/DIR-0/DIR-1/file-8 (100000 bytes) No.3\n"
          "E RemoveFile @/DIR-0/DIR-1/file-7 (100000 bytes) No.4\n"
          "E RemoveFile @/DIR-0/DIR-1/file-6 (100000 bytes) No.5\n"
          "E RemoveDirecrory @/DIR-0/DIR-1\n"
          "E RemoveFile @/DIR-0/file-5 (100000 bytes) No.6\n"
          "E RemoveFile @/DIR-0/file-4 (100000 bytes) No.7\n"
          "E RemoveFile @/DIR-0/file-3 (100000 bytes) No.8\n"
          "E RemoveDirecrory @/DIR-0\n"
          "E RemoveFile @/file-2 (100000 bytes) No.9\n"
          "E RemoveFile @/file-1 (100000 bytes) No.10\n"
          "E RemoveFile @/file-0 (100000 bytes) No.11\n" +
          Summary("Remove", "11 files, 3 directories", "1048576", "1048.5"),
      "@", dir.path());
  std::vector<const char*> words = {
      dir.path().c_str(), "-filesize",    "1", "-minFileSize", "100000", "-maxFileSize",
      "100000",           "-maxDirFiles", "3", "-maxDirLevel", "2",      "-verify"};
#ifndef _WIN32
  std::vector<std::string> args(words.begin(), words.end());
  args.insert(args.begin(), DTK_BINARY);
  args.insert(args.end(), {"-engine", EngineName(GetParam()), "-threads", "1"});
  ChildResult program = RunChild(args, /*merged=*/true);
  EXPECT_EQ(program.status, 0);
  EXPECT_EQ(MaskTimeStamps(program.out),
            std::regex_replace(lines, std::regex("(^|\n)[EO] "), "$1"));
#endif
  words.insert(words.end(), {"-SYNC", "-report", reportPath.c_str()});
  FaultFileSystem counting(SystemFileSystem());
  auto wallStart = std::chrono::steady_clock::now();
  ToolRun run = Run(words, &counting);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines, lines);
  EXPECT_TRUE(dir.List().empty());
  EXPECT_EQ(reports.List(), std::vector<std::string>{"run.json"});  // no temporary left
  nlohmann::json report = ReadReport(reportPath);
  const uint64_t F = 11, D = 3, bytes = 1048576;
  // Each file is flushed just before it is closed, and each directory once
  // nothing more is made in it (M: a directory made, O: a file opened, F: a
  // directory flushed): DIR-1 and DIR-0 before DIR-2, DIR-2 and the target
  // at the end.
  const auto& calls = counting.calls();
  std::string order;
  for (size_t i = 0; i < calls.size() && calls[i].op != Op::kOpenForRead; ++i) {
    if (calls[i].op == Op::kFlush) {
      EXPECT_EQ(calls[i + 1].op, Op::kClose);
    }
    order += calls[i].op == Op::kMakeDirectory    ? "M"
             : calls[i].op == Op::kOpenForWrite   ? "O"
             : calls[i].op == Op::kFlushDirectory ? "F"
                                                  : "";
  }
  EXPECT_EQ(order, "OOOMOOOMOOOFFMOOFF");
  nlohmann::json head = nlohmann::json::parse(R"({"settings": {"totalSize": 1048576,
      "minFileSize": 100000, "maxFileSize": 100000, "maxDirFiles": 3, "maxDirLevel": 2,
      "verify": true, "noCreate": false, "noRemove": false, "sync": true, "depth": 32,
      "threads": 1, "direct": false}, "directBlockSize": null, "exitStatus": 0})");
  head["settings"]["engine"] = EngineName(GetParam());
  head.update({{"version", DTK_VERSION},
               {"platform", kPlatform},
               {"target", dir.path()},
               {"fileSystem", report["fileSystem"]},
               {"plan", {{"files", F}, {"directories", D}, {"bytes", bytes}}},
               {"phases", report["phases"]}});
  EXPECT_EQ(report, head);
  EXPECT_TRUE(report["fileSystem"].is_string());

  // Each phase but for its times and rates, with the count of each kind of
  // call it made: every call the plan implies (directories are opened and
  // closed too, once a phase; nothing is flushed but in the create phase).
  const nlohmann::json expected = nlohmann::json::parse(R"([
    {"name": "create", "status": "ok", "files": 11, "directories": 3, "bytes": 1048576,
     "operations": {"mkdir": 3, "opendir": 3, "open": 11, "write": 11, "flush": 15,
                    "close": 14},
     "failures": [], "failuresNotListed": 0},
    {"name": "verify", "status": "ok", "files": 11, "crcErrors": 0, "bytes": 1048576,
     "operations": {"opendir": 3, "open": 11, "read": 11, "close": 14}, "failures": [],
     "failuresNotListed": 0, "crcMismatches": [], "crcMismatchesNotListed": 0},
    {"name": "remove", "status": "ok", "files": 11, "directories": 3, "bytes": 1048576,
     "operations": {"opendir": 3, "close": 3, "unlink": 11, "rmdir": 3},
     "failures": [], "failuresNotListed": 0}])");
  ASSERT_EQ(report["phases"].size(), 3u);
  double phaseSeconds = 0;
  for (int i = 0; i < 3; ++i) {
    nlohmann::json phase = report["phases"][i];
    const double seconds = phase["seconds"];
    EXPECT_GT(seconds, 0);
    phaseSeconds += seconds;
    EXPECT_EQ(phase["start"].get<std::string>().size(), 29u);  // 2026-12-07T22:17:50.123+01:00
    EXPECT_DOUBLE_EQ(phase["bytesPerSecond"].get<double>(), bytes / seconds);
    // Each kind of call's figures in order, within the phase.
    double callSeconds = 0;
    for (auto& [name, op] : phase["operations"].items()) {
      std::vector<double> figures;
      for (const char* figure :
           {"minMicros", "p50Micros", "p90Micros", "p99Micros", "p999Micros", "maxMicros"}) {
        figures.push_back(op[figure]);
      }
      EXPECT_TRUE(std::is_sorted(figures.begin(), figures.end())) << name;
      EXPECT_LE(figures.back() / 1e6, seconds) << name;
      EXPECT_GT(op["seconds"].get<double>(), 0) << name;
      callSeconds += op["seconds"].get<double>();
      op = op["count"];
    }
    // The timeline's samples follow one another to the phase's end and add
    // up to its counts.
    nlohmann::json sums = {{"files", 0}, {"directories", 0}, {"bytes", 0}}, sum = sums;
    double t = 0;
    for (const auto& sample : phase["timeline"]) {
      t += sample["seconds"].get<double>();
      EXPECT_NEAR(sample["t"].get<double>(), t, 1e-6);
      for (auto& [name, total] : sum.items()) total = total.get<int64_t>() + sample[name].get<int64_t>();
    }
    EXPECT_NEAR(t, seconds, 0.05);
    for (const char* count : {"files", "bytes"}) sums[count] = phase[count];
    sums["directories"] = phase.contains("directories") ? phase["directories"] : nlohmann::json(0);
    EXPECT_EQ(sum, sums) << phase["name"];
    for (const char* varying :
         {"start", "seconds", "bytesPerSecond", "entriesPerSecond", "timeline"}) {
      phase.erase(varying);
    }
    EXPECT_EQ(phase, expected[i]);
    // One call at a time, the calls fit in the phase; in flight together,
    // they overlap.
    if (GetParam() == EngineKind::kSync) {
      EXPECT_LE(callSeconds, seconds);
    }
  }
  EXPECT_LT(phaseSeconds, wall);
  EXPECT_TRUE(dir.List().empty());
}

#ifndef _WIN32
// Whether a page of the file `path` other than its last is in the cache.
bool AnyPageButTheLastCached(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  bool cached = false;
  if (fd >= 0 && ::fstat(fd, &info) == 0 && info.st_size > 0) {
    const size_t size = static_cast<size_t>(info.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> pages((size + page - 1) / page);
    EXPECT_TRUE(map != MAP_FAILED && ::mincore(map, size, pages.data()) == 0) << path;
    for (size_t k = 0; k + 1 < pages.size(); ++k) cached |= (pages[k] & 1) != 0;
    if (map != MAP_FAILED) ::munmap(map, size);
  }
  if (fd >= 0) ::close(fd);
  return cached;
}

// The runs of a power-cut test, each a process of its own: create and keep
// (around the system's cache with -direct, where the file system takes it),
// verify and keep through the cache (after the cut, finding any damage),
// clean up.
TEST_P(EngineRunTest, AKeptTreeIsVerifiedByALaterRunAndDamageIsCaught) {
  TempDir dir;
  const std::string T = dir / "caf\xE9";  // a Latin-1 name
  ASSERT_TRUE(std::filesystem::create_directory(T));
  TempDir reports;
  const std::string reportPath = reports / "verify.json";
  auto run = [&](std::vector<std::string> options) {
    std::vector<std::string> args = {DTK_BINARY,     T,   "-filesize", "2",
                                     "-maxDirFiles", "5", "-engine",   EngineName(GetParam())};
    args.insert(args.end(), options.begin(), options.end());
    ChildResult result = RunChild(args);
    result.err = MaskTimeStamps(result.err);
    return result;
  };
  auto firstLine = [](const std::string& text) { return text.substr(0, text.find('\n') + 1); };
  auto verifyLines = [](const std::string& err) {
    return err.substr(std::min(err.find("Verify "), err.size()));
  };
  // tmpfs and ramfs keep every file in the cache: nothing to bypass.
  const std::string type = FileSystemTypeName(T.c_str());
  bool direct = type != "tmpfs" && type != "ramfs";
  ChildResult create = run({"-verify", "-noRemove", "-report", reportPath, "-direct"});
  if (!direct || create.err.find("Direct Error!") != npos) {
    direct = false;
    create = run({"-verify", "-noRemove"});
  }
  ASSERT_EQ(create.status, 0) << create.err;
  EXPECT_EQ(create.out.find("Remove"), npos);
  std::vector<std::string> tree = dir.List();
  ASSERT_GT(tree.size(), 40u);
  // No page of a file went through the cache, but perhaps the last, neither
  // written nor read.
  for (const std::string& name : tree) {
    EXPECT_FALSE(direct && name.back() != '/' && AnyPageButTheLastCached(dir / name)) << name;
  }
  if (direct) {
    const uint32_t block = ReadReport(reportPath)["directBlockSize"];
    EXPECT_TRUE(block >= 512 && (block & (block - 1)) == 0) << block;
  }

  ChildResult verify = run({"-noCreate", "-verify", "-noRemove"});
  EXPECT_EQ(verify.status, 0);
  EXPECT_EQ(firstLine(verify.out), "Verify 43 files, 0 CRC Errors\n");
  EXPECT_EQ(verify.out.find("Remove"), npos);
  // The same CRCs as the run that wrote the tree, line for line.
  EXPECT_EQ(verifyLines(verify.err), verifyLines(create.err));
  EXPECT_EQ(dir.List(), tree);

  const std::string victim = T + "/DIR-0/file-7";
  const std::string original = ReadWholeFile(victim);
  std::string flipped = original;
  flipped[1000] ^= 0x01;
  struct Damage {
    std::string contents;  // empty: the file is deleted
    std::string err;
    std::string out;
  } damages[] = {
      {flipped, " No.8\nCRC Error!\nVerify " + T + "/DIR-0/file-8 (",
       "Verify 43 files, 1 CRC Errors\n"},
      {original.substr(0, original.size() - 1),
       " No.8\nFileSize Error!\nTS Finish\nVerify Error!\n", ""},
      {"", " No.8\nCreateFile Error!: No such file or directory\nTS Finish\nVerify Error!\n", ""},
  };
  for (const Damage& damage : damages) {
    if (damage.contents.empty())
      std::filesystem::remove(victim);
    else
      WriteWholeFile(victim, damage.contents);
    ChildResult checked = run({"-noCreate", "-verify", "-noRemove", "-report", reportPath});
    EXPECT_EQ(checked.status, 2);
    EXPECT_NE(checked.err.find(damage.err), npos) << damage.err;
    EXPECT_EQ(firstLine(checked.out), damage.out);
    if (&damage != damages) continue;
    // The report carries both CRCs of the damaged file, its path as JSON.
    std::smatch line;
    ASSERT_TRUE(
        std::regex_search(checked.err, line, std::regex("/DIR-0/file-7 \\(([0-9A-F]{8}):")));
    Crc32 crc;
    crc.Update(static_cast<uint32_t>(flipped.size()), flipped.data());
    char actual[16];
    std::snprintf(actual, sizeof(actual), "%08X", crc.Value());
    EXPECT_NE(line[1].str(), actual);
    nlohmann::json report = ReadReport(reportPath);
    EXPECT_EQ(report["exitStatus"], 2);
    ASSERT_EQ(report["phases"].size(), 1u);
    EXPECT_EQ(report["phases"][0]["status"], "ok");  // the walk went on to the end
    EXPECT_EQ(report["phases"][0]["crcErrors"], 1);
    EXPECT_EQ(report["phases"][0]["crcMismatches"],
              nlohmann::json::array({{{"path", dir.path() + "/caf\\xE9/DIR-0/file-7"},
                                      {"expected", line[1].str()},
                                      {"actual", actual}}}));
  }
  ChildResult cleanup = run({"-noCreate"});
  EXPECT_EQ(cleanup.status, 0) << cleanup.err;
  EXPECT_EQ(firstLine(cleanup.out), "Remove 42 files, 8 directories\n");
  EXPECT_EQ(cleanup.err.find("file-7 "), npos);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"caf\xE9/"});
}
#endif

// A small tree (22 files of 1 MiB in all, 2 directories) in `target`.
ToolRun RunSmall(const std::string& target, const std::string& options,
                 FileSystem& fs = SystemFileSystem()) {
  std::vector<std::string> words = Words(target + " -filesize 1 -maxDirFiles 10 " + options);
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  return RunInProcess(argv, fs);
}

// Each of several threads makes a single run's tree in its own directory,
// which later runs with as many threads find. One frame is printed with
// the sums of all threads; the report adds each.
TEST(ThreadRunTest, EachThreadMakesASingleRunsTreeThatLaterRunsFindAgain) {
  TempDir single;
  RunSmall(single.path(), "-noRemove");
  TempDir dir;
  ToolRun keep = RunSmall(dir.path(), "-noRemove -Threads 3");
  EXPECT_EQ(keep.lines,
            "E TS Start\n" + Summary("Create", "66 files, 6 directories", "3145728", "3145.7"));
  std::vector<std::string> trees;
  for (const char* thread : {"thread-0/", "thread-1/", "thread-2/"}) {
    trees.push_back(thread);
    for (const std::string& name : single.List()) trees.push_back(thread + name);
  }
  EXPECT_EQ(dir.List(), trees);
  // A fourth thread finds no tree: nothing runs.
  ToolRun more = RunSmall(dir.path(), "-noCreate -verify -threads 4");
  EXPECT_EQ(more.status, 2);
  std::vector<std::string> errors = LinesStartingWith(more.lines, "E ");
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0].rfind("E [thread 3] Target Error!: ", 0), 0u);
  EXPECT_EQ(LinesStartingWith(more.lines, "E [thread 3] "), errors);  // and no other line

  TempDir reports;
  std::string report = reports / "report.json";
  ToolRun check = RunSmall(dir.path(), "-noCreate -verify -threads 3 -report " + report);
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.lines,
            "E TS Start\n" + Summary("Verify", "66 files, 0 CRC Errors", "3145728", "3145.7") +
                "E TS Start\n" + Summary("Remove", "66 files, 6 directories", "3145728", "3145.7"));
  EXPECT_TRUE(dir.List().empty());
  nlohmann::json json = ReadReport(report);
  EXPECT_EQ(json["settings"]["threads"], 3);
  EXPECT_EQ(json["plan"]["files"], 22);  // each thread's
  ASSERT_EQ(json["threads"].size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(json["phases"][i]["files"], 66);
    int64_t sampled = 0;  // the threads' timelines added up
    for (const auto& sample : json["phases"][i]["timeline"]) sampled += sample["files"].get<int64_t>();
    EXPECT_EQ(sampled, 66);
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
  ToolRun run = RunSmall(dir.path(), c.words + (" -threads 3 -report " + report), faults);
  EXPECT_EQ(run.status, 2);
  std::string mark = "E [thread " + std::string(c.path).substr(7, 1) + "] ";
  std::vector<std::string> marked = LinesStartingWith(run.lines, "E [thread");
  ASSERT_EQ(marked.size(), 3u) << run.lines;
  EXPECT_EQ(marked[0].rfind(mark + c.entry + (dir / c.path), 0), 0u) << marked[0];
  EXPECT_EQ(marked[1], mark + c.error + SystemText(c.code));
  EXPECT_EQ(marked[2], mark + c.phaseError);
  EXPECT_NE(run.lines.find("E TS Start\n" + marked[0]), npos);  // never before its phase's start
  EXPECT_NE(run.lines.find("E TS Finish\nE " + std::string(c.phaseError) + "\n"), npos);
  EXPECT_EQ(dir.List(), Words(c.left));

  nlohmann::json json = ReadReport(report);
  std::string failed;
  for (const auto& phase : json["phases"]) {
    for (const auto& failure : phase["failures"]) {
      if (failure["path"] == dir / c.path) failed = phase["status"];
    }
  }
  EXPECT_EQ(failed, "failed");
  for (int k : {0, 2}) {
    if (c.othersStopped) {
      EXPECT_EQ(json["threads"][k]["phases"][0]["status"], "interrupted");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, ThreadFaultTest,
    ::testing::Values(ThreadFault{"-filesize 10 -maxFileSize 100", Op::kOpenForWrite,
                                  "thread-1/file-0", EACCES, "CreateFile ",
                                  "CreateFile Error!: ", "DtkTest Error!", "", true},
                      ThreadFault{"-verify", Op::kOpenForRead, "thread-2/file-3", EIO, "Verify ",
                                  "CreateFile Error!: ", "Verify Error!", "", false},
                      // The thread's own directory fails as an entry of its tree does.
                      ThreadFault{"", Op::kRemoveDirectory, "thread-2", EBUSY, "RemoveDirecrory ",
                                  "RemoveDirectory Error!: ", "Remove Error!", "thread-2/",
                                  false}));

// Another user renames a thread's directory away during the run and puts
// one of their own at its name: the thread's tree goes from where it is,
// their directory stays, and the run says that its own was not found.
TEST(ThreadRunTest, AThreadsDirectoryMovedAwayIsReportedAndTheOneAtItsNameStays) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  FaultFileSystem faults(SystemFileSystem());
  bool moved = false;
  faults.AtCall(Op::kOpenForRead, 1, [&] {
    moved = AsOtherUser([&] {
      return rename((dir / "thread-1").c_str(), (dir / "moved").c_str()) == 0 &&
             mkdir((dir / "thread-1").c_str(), 0700) == 0;
    });
  });
  ToolRun run = RunSmall(dir.path(), "-verify -threads 2", faults);
  if (!moved) GTEST_SKIP() << "only root can act as another user";
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.lines.find("E [thread 1] RemoveDirecrory " + (dir / "thread-1") +
                           "\nE [thread 1] RemoveDirectory Error!: " + SystemText(ENOENT)),
            npos)
      << run.lines;
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"moved/", "thread-1/"}));
}

#endif

}  // namespace
}  // namespace dtk
