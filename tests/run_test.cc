// Whole runs: in process with a pinned clock, and as the real program.
#include "driver/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#endif
#ifdef __linux__
#include <sys/mount.h>
#endif
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "engine/batch_engine.h"
#include "engine/tester.h"
#include "engine/timed_file_system.h"
#include "fault_file_system.h"
#include "platform/process.h"
#include "support/crc32.h"
#include "test_util.h"

namespace dtk {
namespace {

struct InProcessRun {
  int status;
  std::string lines;  // time stamps masked, streams tagged
};

InProcessRun RunTool(std::vector<const char*> words, FileSystem& fs = SystemFileSystem(),
                     uint64_t memory = 0) {
  words.insert(words.begin(), "dtk");
  MemoryConsole console;
  FixedClock clock;
  MtDefaultRandom sizes;
  RunEnvironment environment{fs, console, clock, sizes, kPosixOptionRules, kPosixPathStyle, memory};
  int status = RunDtk(static_cast<int>(words.size()), words.data(), environment);
  return {status, MaskTimeStamps(console.Transcript())};
}

bool UringAvailable() {
  std::string why;
  return MakeBatchEngine({EngineKind::kUring}, &why) != nullptr;
}

// Whole runs with each engine: the same lines, trees and reports.
class EngineRunTest : public ::testing::TestWithParam<EngineKind> {
 protected:
  void SetUp() override {
    if (GetParam() == EngineKind::kUring && !UringAvailable()) GTEST_SKIP() << "no io_uring";
  }
  InProcessRun Run(std::vector<const char*> words, FileSystem& fs = SystemFileSystem()) {
    words.push_back("-engine");
    words.push_back(EngineName(GetParam()));
    return RunTool(std::move(words), fs);
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, EngineRunTest,
                         ::testing::Values(EngineKind::kSync, EngineKind::kUring),
                         [](const auto& info) { return std::string(EngineName(info.param)); });

TEST(RunTest, ParameterErrorsEndWithStatusOneAndTouchNothing) {
  EXPECT_EQ(RunTool({}).lines, "E Parameter error!\n");
  EXPECT_EQ(RunTool({}).status, 1);
  EXPECT_EQ(RunTool({"-verify"}).status, 1);
  InProcessRun bad = RunTool({"T", "-foo"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.lines, "E Parameter error! (foo)\n");
  EXPECT_EQ(RunTool({"T", "-minFileSize", "5", "-maxFileSize", "4"}).lines,
            "E Min/Max Filesize error!\n");
}

TEST(RunTest, EnginesThatCannotBeHadAreRefusedBeforeAnythingIsTouched) {
  TempDir dir;
  const char* T = dir.path().c_str();
  EXPECT_EQ(RunTool({T, "-engine", "fio"}).lines,
            "E Engine error!: no engine is named fio (sync, uring)\n");
  EXPECT_EQ(RunTool({T, "-depth", "4097"}).lines, "E Parameter error! (depth)\n");
  ForceUringRefusal(EPERM);  // as a kernel with io_uring turned off says
  InProcessRun refused = RunTool({T, "-ENGINE", "Uring", "-depth", "4096"});
  ForceUringRefusal(0);
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
  InProcessRun runs[2];
  for (EngineKind kind : {EngineKind::kSync, EngineKind::kUring}) {
    runs[static_cast<int>(kind)] =
        RunTool({dir.path().c_str(), "-filesize", "1", "-minFileSize", "20000", "-maxFileSize",
                 "40000", "-maxDirFiles", "8", "-verify", "-engine", EngineName(kind)});
    EXPECT_TRUE(dir.List().empty());
  }
  umount(dir.path().c_str());
  EXPECT_EQ(runs[0].status, 2);
  EXPECT_NE(runs[0].lines.find("WriteFile Error!: " + SystemText(ENOSPC)), std::string::npos);
  EXPECT_EQ(runs[1].status, 2);
  EXPECT_EQ(runs[1].lines, runs[0].lines);
}
#endif

TEST(RunTest, PlansThatCannotBeMadeFailAtOnce) {
  // Over two thousand million files cannot be numbered.
  InProcessRun tooMany = RunTool({"T", "-filesize", "2147483647", "-maxFileSize", "1"});
  EXPECT_EQ(tooMany.status, 1);
  EXPECT_EQ(tooMany.lines, "E CreateFileList error!\n");
  // Before planning: at least a million files, which do not fit in 10 MB of
  // memory.
  InProcessRun tooBig =
      RunTool({"T", "-filesize", "1", "-maxFileSize", "1"}, SystemFileSystem(), 10000000);
  EXPECT_EQ(tooBig.status, 1);
  EXPECT_EQ(tooBig.lines, "E CreateFileList error!\n");
  // While planning: at least 350,000 files might fit, but the plan has
  // about half a million.
  TestConfig config;
  config.totalSize = 1048576;
  config.maxFileSize = 3;
  EXPECT_TRUE(PlanMayFit(config, 10000000));
  InProcessRun tooMuch =
      RunTool({"T", "-filesize", "1", "-maxFileSize", "3"}, SystemFileSystem(), 10000000);
  EXPECT_EQ(tooMuch.lines, "E CreateFileList error!\n");
}

TEST_P(EngineRunTest, WholeRunOfTwoHalfMebibyteFiles) {
  TempDir dir;
  InProcessRun run = Run({dir.path().c_str(), "-filesize", "1", "-minFileSize", "524288",
                              "-maxFileSize", "524288", "-verify"});
  EXPECT_EQ(run.status, 0);
  const std::string T = dir.path();
  EXPECT_EQ(run.lines,
            "E TS Start\n"
            "E CreateFile " +
                T +
                "/file-0 (524288 bytes) No.1\n"
                "E CreateFile " +
                T +
                "/file-1 (524288 bytes) No.2\n"
                "E TS Finish\n"
                "O Create 2 files, 0 directories\n"
                "O Create filesize 1048576 bytes\n"
                "O Create time 1 sec\n"
                "O Create speed 1048.5KB/sec (1048576B/sec)\n"
                "E TS Start\n"
                "E Verify " +
                T +
                "/file-0 (EFE12EDC:524288 bytes) No.1\n"
                "E Verify " +
                T +
                "/file-1 (EFE12EDC:524288 bytes) No.2\n"
                "E TS Finish\n"
                "O Verify 2 files, 0 CRC Errors\n"
                "O Verify filesize 1048576 bytes\n"
                "O Verify time 1 sec\n"
                "O Verify speed 1048.5KB/sec (1048576B/sec)\n"
                "E TS Start\n"
                "E RemoveFile " +
                T +
                "/file-1 (524288 bytes) No.1\n"
                "E RemoveFile " +
                T +
                "/file-0 (524288 bytes) No.2\n"
                "E TS Finish\n"
                "O Remove 2 files, 0 directories\n"
                "O Remove filesize 1048576 bytes\n"
                "O Remove time 1 sec\n"
                "O Remove speed 1048.5KB/sec (1048576B/sec)\n");
  EXPECT_TRUE(dir.List().empty());
}

TEST(RunTest, WithoutVerifyOnlyCreateAndRemoveRun) {
  TempDir dir;
  InProcessRun run = RunTool({dir.path().c_str(), "-filesize", "1", "-maxDirFiles", "3"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines.find("Verify"), std::string::npos);
  EXPECT_NE(run.lines.find("O Remove filesize 1048576 bytes\n"), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

TEST(RunTest, FailuresGiveStatusTwoAndLaterPhasesStillRun) {
  TempDir dir;
  // The target does not exist: no file can be created, and nothing made
  // leaves nothing to remove.
  std::string missing = dir / "missing";
  InProcessRun run = RunTool({missing.c_str(), "-filesize", "1", "-verify"});
  EXPECT_EQ(run.status, 2);
  std::string noPath = SystemText(kNoSuchPath);
  EXPECT_EQ(run.lines.substr(run.lines.find("E CreateFile ")),
            "E CreateFile " + missing + "/file-0 (101213 bytes) No.1\nE CreateFile Error!: " +
                noPath + "\nE TS Finish\nE DtkTest Error!\nE TS Start\nE Verify " + missing +
                "/file-0 (00000000:101213 bytes) No.1\nE CreateFile Error!: " + noPath +
                "\nE TS Finish\nE Verify Error!\n");
  // With -noCreate it is told before any phase.
  run = RunTool({missing.c_str(), "-noCreate", "-verify"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines, "E Target Error!: " + noPath + "\n");

  // A CRC error alone fails the run, though every phase succeeds.
  struct Corrupting : FaultFileSystem {
    using FaultFileSystem::FaultFileSystem;
    ErrorCode Read(FileHandle file, void* data, uint32_t count, uint32_t* got) override {
      ErrorCode code = FaultFileSystem::Read(file, data, count, got);
      if (*got > 0) static_cast<char*>(data)[0] ^= 0x40;
      return code;
    }
  } corrupting(SystemFileSystem());
  InProcessRun corrupt = RunTool({dir.path().c_str(), "-filesize", "1", "-verify"}, corrupting);
  EXPECT_EQ(corrupt.status, 2);
  EXPECT_NE(corrupt.lines.find("O Verify 22 files, 22 CRC Errors\n"), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

TEST_P(EngineRunTest, StopRequestSkipsVerifyCleansUpAndReportsTheSignal) {
  TempDir dir;
  FaultFileSystem stopping(SystemFileSystem());
  stopping.AtCall(Op::kOpenForWrite, 4, [] { RequestStop(15); });
  InProcessRun run = Run({dir.path().c_str(), "-filesize", "1", "-verify"}, stopping);
  ClearStopRequest();
  EXPECT_EQ(run.status, 143);
  EXPECT_NE(run.lines.find("No.4\nE TS Finish\nE DtkTest Error!\nE TS Start\nE RemoveFile"),
            std::string::npos);
  EXPECT_EQ(run.lines.find("Verify"), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

TEST_P(EngineRunTest, SyncFlushesEveryFileAndEveryDirectoryAndPrintsTheSameLines) {
  TempDir plainDir;
  InProcessRun plain = RunTool({plainDir.path().c_str(), "-filesize", "1", "-maxDirFiles", "5"});
  TempDir dir;
  FaultFileSystem counting(SystemFileSystem());
  InProcessRun synced =
      Run({dir.path().c_str(), "-filesize", "1", "-maxDirFiles", "5", "-SYNC"}, counting);
  EXPECT_EQ(synced.status, 0);
  std::string lines = synced.lines;
  for (size_t at; (at = lines.find(dir.path())) != std::string::npos;) {
    lines.replace(at, dir.path().size(), plainDir.path());
  }
  EXPECT_EQ(lines, plain.lines);
  // 22 files in the target and four directories below it.
  EXPECT_EQ(counting.CountOf(Op::kFlush), 22);
  EXPECT_EQ(counting.CountOf(Op::kFlushDirectory), 5);
  const auto& calls = counting.calls();
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].op == Op::kFlush) {
      ASSERT_LT(i + 1, calls.size());
      EXPECT_EQ(calls[i + 1].op, Op::kClose);  // each file is flushed before it is closed
    }
    if (calls[i].op == Op::kFlushDirectory && i + 1 < calls.size() &&
        calls[i + 1].op != Op::kFlushDirectory) {
      // Nothing is made in a directory once it has been flushed.
      for (size_t k = i + 1; k < calls.size(); ++k) {
        if (calls[k].op == Op::kOpenForWrite || calls[k].op == Op::kMakeDirectory) {
          EXPECT_NE(calls[k].path.rfind(calls[i].path + "/", 0), 0u) << calls[k].path;
        }
      }
    }
  }
  // Nothing is flushed in the remove phase.
  auto firstRemoval = std::find_if(calls.begin(), calls.end(),
                                   [](const auto& call) { return call.op == Op::kDeleteFile; });
  EXPECT_TRUE(std::none_of(firstRemoval, calls.end(), [](const auto& call) {
    return call.op == Op::kFlush || call.op == Op::kFlushDirectory;
  }));

  FaultFileSystem failing(SystemFileSystem());
  failing.FailCall(Op::kFlush, 3, EIO);
  InProcessRun failed = Run({dir.path().c_str(), "-filesize", "1", "-sync"}, failing);
  EXPECT_EQ(failed.status, 2);
  EXPECT_NE(failed.lines.find("No.3\nE WriteFile Error!: " + SystemText(EIO) +
                              "\nE TS Finish\n"
                              "E DtkTest Error!\n"),
            std::string::npos);
  FaultFileSystem failingDir(SystemFileSystem());
  failingDir.FailCall(Op::kFlushDirectory, 1, EIO);
  InProcessRun failedDir =
      Run({dir.path().c_str(), "-filesize", "1", "-maxDirFiles", "5", "-sync"}, failingDir);
  EXPECT_EQ(failedDir.status, 2);
  EXPECT_NE(failedDir.lines.find("E WriteFile Error!: " + SystemText(EIO) +
                                 "\nE TS Finish\n"
                                 "E DtkTest Error!\n"),
            std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

TEST(RunTest, NoCreateWithNoRemoveNeedsVerify) {
  InProcessRun run = RunTool({"T", "-noCreate", "-noRemove"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines, "E Parameter error! (noRemove)\n");
}

TEST(RunTest, TreeLeftByAnInterruptedRunIsCleanedUpLater) {
  TempDir dir;
  FaultFileSystem stopping(SystemFileSystem());
  stopping.AtCall(Op::kOpenForWrite, 31, [] { RequestStop(2); });
  const char* T = dir.path().c_str();
  InProcessRun run = RunTool({T, "-filesize", "2", "-maxDirFiles", "4", "-noRemove"}, stopping);
  ClearStopRequest();
  EXPECT_EQ(run.status, 130);
  EXPECT_EQ(run.lines.find("Remove"), std::string::npos);
  ASSERT_FALSE(dir.List().empty());

  InProcessRun cleanup = RunTool({T, "-filesize", "2", "-maxDirFiles", "4", "-noCreate"});
  EXPECT_EQ(cleanup.status, 0);
  EXPECT_TRUE(dir.List().empty());
  // The file being opened when the stop came is finished: 31 files, in
  // seven directories.
  EXPECT_NE(cleanup.lines.find("O Remove 31 files, 7 directories\n"), std::string::npos)
      << cleanup.lines;
  EXPECT_EQ(cleanup.lines.find("Create"), std::string::npos);
  EXPECT_EQ(cleanup.lines.find("Verify"), std::string::npos);
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

struct HookedRun {
  bool failed;
  std::string lines;
  std::vector<std::string> recorded;  // each recorded phase's name and status
};

HookedRun RunPhasesWith(LoggingHooks& hooks, std::vector<const char*> words) {
  words.insert(words.begin(), "dtk");
  CommandLine commandLine;
  EXPECT_EQ(ParseCommandLine(static_cast<int>(words.size()), words.data(), kPosixOptionRules,
                             &commandLine),
            "");
  MemoryConsole console;
  FixedClock clock;
  MtDefaultRandom sizes;
  FileList plannedList;
  EXPECT_TRUE(PlanRun(commandLine, 0, sizes, plannedList));
  TimedFileSystem timed(SystemFileSystem());
  DtkTest tester(timed, console, clock, kPosixPathStyle);
  ReportRecorder recorder(timed);
  TreeRoot root(timed, commandLine.targetDir);
  HookedRun run;
  run.failed = RunPhases({commandLine, root, plannedList, tester, &recorder}, hooks);
  run.lines = MaskTimeStamps(console.Transcript());
  for (const PhaseReport& phase : recorder.phases()) {
    run.recorded.push_back(phase.name + ":" + phase.status);
  }
  return run;
}

// The sequence that dtk-mpi shares: the hooks frame every phase, what the
// walk returned passes through them into the record and the result, and
// every decision between phases is put to them, the same decisions in the
// same order whatever this process holds.
TEST(RunTest, PhaseHooksFrameEveryPhaseAndTakePartInEveryDecision) {
  TempDir dir;
  const char* T = dir.path().c_str();
  LoggingHooks alone;
  HookedRun run = RunPhasesWith(alone, {T, "-filesize", "1", "-maxDirFiles", "10", "-verify"});
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(alone.log,
            "begin:Create walk:Create:0 end:Create:22:0 ask:no "
            "begin:Verify walk:Verify:0 end:Verify:22:0 ask:yes "
            "begin:Remove walk:Remove:0 end:Remove:22:0 ");
  EXPECT_EQ(run.recorded, (std::vector<std::string>{"create:ok", "verify:ok", "remove:ok"}));
  EXPECT_NE(run.lines.find("O Remove 22 files, 2 directories\n"), std::string::npos);
  EXPECT_TRUE(dir.List().empty());

  // Another process cannot verify: none does. A remove walk that the hooks
  // fail is a failed phase, recorded as such.
  LoggingHooks together;
  together.otherSays = true;
  together.failRemoveWalk = true;
  run = RunPhasesWith(together, {T, "-filesize", "1", "-maxDirFiles", "10", "-verify"});
  EXPECT_TRUE(run.failed);
  EXPECT_EQ(together.log,
            "begin:Create walk:Create:0 end:Create:22:0 ask:no "
            "ask:yes begin:Remove walk:Remove:0 end:Remove:22:-1 ");
  EXPECT_EQ(run.recorded, (std::vector<std::string>{"create:ok", "remove:failed"}));
  EXPECT_EQ(run.lines.find("Verify"), std::string::npos);
}

// The report of a run, parsed.
nlohmann::json ReadReport(const std::string& path) {
  return nlohmann::json::parse(ReadWholeFile(path));
}

// The figure of the summary line of the console that matches `pattern`.
int64_t SummaryFigure(const std::string& lines, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(lines, match, std::regex(pattern))) return -1;
  return std::stoll(match[1]);
}

class EngineReportTest : public EngineRunTest {};

INSTANTIATE_TEST_SUITE_P(Engines, EngineReportTest,
                         ::testing::Values(EngineKind::kSync, EngineKind::kUring),
                         [](const auto& info) { return std::string(EngineName(info.param)); });

// Each call's latency, from submission to completion with the uring engine.
TEST_P(EngineReportTest, ARealRunAgreesWithTheConsoleAndThePlan) {
  TempDir dir;
  TempDir reports;
  const std::string reportPath = reports / "run.json";
  auto wallStart = std::chrono::steady_clock::now();
  InProcessRun run =
      Run({dir.path().c_str(), "-filesize", "3", "-minFileSize", "100000", "-maxFileSize",
               "300000", "-maxDirFiles", "4", "-verify", "-sync", "-report", reportPath.c_str()});
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(reports.List(), std::vector<std::string>{"run.json"});  // no temporary left
  nlohmann::json report = ReadReport(reportPath);

  // What the plan implies.
  TestConfig config;
  config.totalSize = 3 << 20;
  config.minFileSize = 100000;
  config.maxFileSize = 300000;
  config.maxDirFiles = 4;
  FileList plan;
  MtDefaultRandom sizes;
  ASSERT_EQ(CreateFileList(plan, config, sizes), 0);
  PlanTotals totals = CountPlan(plan);
  uint64_t chunks = 0;  // reads or writes of at most 128 KiB
  std::vector<const FileList*> lists{&plan};
  while (!lists.empty()) {
    const FileList* list = lists.back();
    lists.pop_back();
    for (const auto& entry : *list) {
      if (entry->children) lists.push_back(entry->children.get());
      if (!entry->IsDirectory()) chunks += (entry->size + 131071) / 131072;
    }
  }
  const uint64_t F = totals.files;
  const uint64_t D = totals.directories;
  ASSERT_GT(D, 0u);
  ASSERT_GT(chunks, F);

  EXPECT_EQ(report["version"], DTK_VERSION);
  EXPECT_EQ(report["platform"], kPlatform);
  EXPECT_EQ(report["target"], dir.path());
  EXPECT_TRUE(report["fileSystem"].is_string());
  nlohmann::json settings = nlohmann::json::parse(R"({"totalSize": 3145728, "minFileSize": 100000,
      "maxFileSize": 300000, "maxDirFiles": 4, "maxDirLevel": 4, "verify": true,
      "noCreate": false, "noRemove": false, "sync": true, "depth": 32, "threads": 1,
      "direct": false})");
  settings["engine"] = EngineName(GetParam());
  EXPECT_EQ(report["settings"], settings);
  EXPECT_TRUE(report["directBlockSize"].is_null());
  EXPECT_EQ(report["plan"]["files"], F);
  EXPECT_EQ(report["plan"]["directories"], D);
  EXPECT_EQ(report["plan"]["bytes"], totals.bytes);
  EXPECT_EQ(report["exitStatus"], 0);

  const auto& phases = report["phases"];
  ASSERT_EQ(phases.size(), 3u);
  double phaseSeconds = 0;
  // Directories are opened and closed too, each once per phase.
  std::map<std::string, std::map<std::string, uint64_t>> expectedCalls = {
      {"create",
       {{"mkdir", D}, {"open", F + D}, {"write", chunks}, {"flush", F + D + 1}, {"close", F + D}}},
      {"verify", {{"open", F + D}, {"read", chunks}, {"close", F + D}}},
      {"remove", {{"open", D}, {"close", D}, {"unlink", F}, {"rmdir", D}}}};
  const char* names[] = {"create", "verify", "remove"};
  const char* words[] = {"Create", "Verify", "Remove"};
  for (int i = 0; i < 3; ++i) {
    const auto& phase = phases[i];
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(phase["name"], names[i]);
    EXPECT_EQ(phase["status"], "ok");
    EXPECT_TRUE(
        std::regex_match(phase["start"].get<std::string>(),
                         std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")));
    double seconds = phase["seconds"];
    EXPECT_GT(seconds, 0);
    phaseSeconds += seconds;
    // The counts of the console's summary lines.
    std::string word = words[i];
    EXPECT_EQ(phase["files"], SummaryFigure(run.lines, "O " + word + " (\\d+) files"));
    EXPECT_EQ(phase["bytes"], SummaryFigure(run.lines, "O " + word + " filesize (\\d+) bytes"));
    EXPECT_EQ(phase["bytes"], totals.bytes);
    if (i == 1) {
      EXPECT_EQ(phase["crcErrors"], SummaryFigure(run.lines, "O Verify \\d+ files, (\\d+) CRC"));
      EXPECT_EQ(phase["crcMismatches"], nlohmann::json::array());
      EXPECT_DOUBLE_EQ(phase["entriesPerSecond"].get<double>(), F / seconds);
    } else {
      EXPECT_EQ(phase["directories"],
                SummaryFigure(run.lines, "O " + word + " \\d+ files, (\\d+) directories"));
      EXPECT_DOUBLE_EQ(phase["entriesPerSecond"].get<double>(), (F + D) / seconds);
    }
    EXPECT_DOUBLE_EQ(phase["bytesPerSecond"].get<double>(), totals.bytes / seconds);
    EXPECT_EQ(phase["failures"], nlohmann::json::array());

    // One entry per kind of call made, counting every call the plan implies.
    std::map<std::string, uint64_t> calls;
    double callSeconds = 0;
    for (const auto& [name, op] : phase["operations"].items()) {
      calls[name] = op["count"];
      double min = op["minMicros"], max = op["maxMicros"], mean = op["meanMicros"];
      EXPECT_LE(min, op["p50Micros"].get<double>()) << name;
      EXPECT_LE(op["p50Micros"].get<double>(), op["p90Micros"].get<double>()) << name;
      EXPECT_LE(op["p90Micros"].get<double>(), op["p99Micros"].get<double>()) << name;
      EXPECT_LE(op["p99Micros"].get<double>(), op["p999Micros"].get<double>()) << name;
      EXPECT_LE(op["p999Micros"].get<double>(), max) << name;
      EXPECT_TRUE(min <= mean && mean <= max) << name;
      EXPECT_NEAR(op["seconds"].get<double>(), mean * op["count"].get<double>() / 1e6, 1e-9);
      callSeconds += op["seconds"].get<double>();
      EXPECT_LE(max / 1e6, seconds) << name;
    }
    EXPECT_EQ(calls, expectedCalls[names[i]]);
    // One call at a time, the calls fit in the phase; in flight together,
    // they overlap.
    if (GetParam() == EngineKind::kSync) {
      EXPECT_LE(callSeconds, seconds);
    }
  }
  EXPECT_LT(phaseSeconds, wall);
}

TEST(ReportTest, FailuresAreListedAndPathsOfAnyBytesAreValidJson) {
  TempDir dir;
  TempDir reports;
  const std::string reportPath = reports / "failed.json";
  const std::string missing = dir / "gone\xFF";  // not UTF-8, and not there
  InProcessRun run =
      RunTool({missing.c_str(), "-filesize", "1", "-verify", "-report", reportPath.c_str()});
  ASSERT_EQ(run.status, 2);
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
                           {"message", SystemText(kNoSuchPath)}};
  EXPECT_EQ(phases[0]["status"], "failed");
  EXPECT_EQ(phases[0]["failures"], nlohmann::json::array({noFile}));
  EXPECT_EQ(phases[0]["operations"]["open"]["count"], 1);
  EXPECT_EQ(phases[1]["status"], "failed");
  EXPECT_EQ(phases[1]["failures"], nlohmann::json::array({noFile}));
}

TEST(ReportTest, CrcMismatchesCarryBothCrcs) {
  TempDir dir;
  const std::string target = dir / "caf\xE9";  // a Latin-1 name
  ASSERT_TRUE(std::filesystem::create_directory(target));
  const std::string reportPath = dir / "verify.json";
  ASSERT_EQ(RunTool({target.c_str(), "-filesize", "1", "-noRemove"}).status, 0);
  std::string damaged = ReadWholeFile(target + "/file-1");
  damaged[10] ^= 0x20;
  WriteWholeFile(target + "/file-1", damaged);
  Crc32 crc;
  crc.Update(static_cast<uint32_t>(damaged.size()), damaged.data());
  char actual[16];
  std::snprintf(actual, sizeof(actual), "%08X", crc.Value());

  InProcessRun run = RunTool(
      {target.c_str(), "-filesize", "1", "-noCreate", "-verify", "-report", reportPath.c_str()});
  ASSERT_EQ(run.status, 2);
  std::smatch line;
  ASSERT_TRUE(std::regex_search(run.lines, line, std::regex("/file-1 \\(([0-9A-F]{8}):")));
  nlohmann::json report = ReadReport(reportPath);
  const auto& phases = report["phases"];
  ASSERT_EQ(phases.size(), 2u);  // nothing created: verify and remove
  EXPECT_EQ(phases[0]["name"], "verify");
  EXPECT_EQ(phases[0]["status"], "ok");  // the walk went on to the end
  EXPECT_EQ(phases[0]["crcErrors"], 1);
  EXPECT_EQ(phases[0]["crcMismatches"],
            nlohmann::json::array({{{"path", dir.path() + "/caf\\xE9/file-1"},
                                    {"expected", line[1].str()},
                                    {"actual", actual}}}));
  EXPECT_NE(line[1].str(), actual);
  EXPECT_EQ(phases[1]["name"], "remove");
  EXPECT_EQ(report["exitStatus"], 2);
}

TEST(ReportTest, WrittenAfterAStopAndAfterAPlanningError) {
  TempDir dir;
  const std::string reportPath = dir / "stopped.json";
  TempDir target;
  FaultFileSystem stopping(SystemFileSystem());
  stopping.AtCall(Op::kOpenForWrite, 4, [] { RequestStop(2); });
  InProcessRun run =
      RunTool({target.path().c_str(), "-filesize", "1", "-verify", "-report", reportPath.c_str()},
              stopping);
  ClearStopRequest();
  EXPECT_EQ(run.status, 130);
  nlohmann::json report = ReadReport(reportPath);
  EXPECT_EQ(report["exitStatus"], 130);
  ASSERT_EQ(report["phases"].size(), 2u);
  EXPECT_EQ(report["phases"][0]["status"], "interrupted");
  EXPECT_EQ(report["phases"][0]["files"], 4);
  EXPECT_EQ(report["phases"][1]["name"], "remove");
  EXPECT_EQ(report["phases"][1]["status"], "ok");

  InProcessRun unplanned =
      RunTool({"T", "-filesize", "2147483647", "-maxFileSize", "1", "-report", reportPath.c_str()});
  EXPECT_EQ(unplanned.status, 1);
  EXPECT_EQ(unplanned.lines, "E CreateFileList error!\n");
  report = ReadReport(reportPath);
  EXPECT_TRUE(report["plan"].is_null());
  EXPECT_EQ(report["phases"], nlohmann::json::array());
  EXPECT_EQ(report["exitStatus"], 1);
  EXPECT_EQ(report["settings"]["totalSize"], int64_t{2147483647} << 20);
}

TEST(ReportTest, AReportThatCannotBeWrittenFailsTheRun) {
  TempDir dir;
  const std::string nowhere = dir / "missing/report.json";
  InProcessRun run = RunTool({dir.path().c_str(), "-filesize", "1", "-report", nowhere.c_str()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines.substr(run.lines.rfind("E ")),
            "E Report Error!: " + SystemText(kNoSuchPath) + "\n");
  EXPECT_TRUE(dir.List().empty());
}

#ifndef _WIN32
// The three runs of a power-cut test, each a process of its own: create and
// keep, verify and keep (after the cut), clean up.
TEST(ProgramTest, AKeptTreeIsVerifiedByALaterRunAndDamageIsCaught) {
  TempDir dir;
  const std::string T = dir.path();
  auto run = [&](std::vector<std::string> options) {
    std::vector<std::string> args = {DTK_BINARY, T, "-filesize", "2", "-maxDirFiles", "5"};
    args.insert(args.end(), options.begin(), options.end());
    ChildResult result = RunChild(args);
    result.err = MaskTimeStamps(result.err);
    return result;
  };
  auto verifyLines = [](const std::string& err) {
    size_t first = err.find("Verify ");
    return first == std::string::npos ? std::string() : err.substr(first);
  };

  ChildResult create = run({"-verify", "-noRemove"});
  ASSERT_EQ(create.status, 0) << create.err;
  EXPECT_EQ(create.out.find("Remove"), std::string::npos);
  std::vector<std::string> tree = dir.List();
  ASSERT_GT(tree.size(), 40u);

  ChildResult verify = run({"-noCreate", "-verify", "-noRemove"});
  EXPECT_EQ(verify.status, 0);
  EXPECT_EQ(verify.out.substr(0, verify.out.find('\n') + 1), "Verify 43 files, 0 CRC Errors\n");
  EXPECT_EQ(verify.out.find("Create"), std::string::npos);
  EXPECT_EQ(verify.out.find("Remove"), std::string::npos);
  // The same CRCs as the run that wrote the tree, line for line.
  EXPECT_EQ(verifyLines(verify.err), verifyLines(create.err));
  EXPECT_EQ(dir.List(), tree);

  const std::string victim = dir / "DIR-0/file-7";
  const std::string original = ReadWholeFile(victim);
  std::string flipped = original;
  flipped[1000] ^= 0x01;
  WriteWholeFile(victim, flipped);
  ChildResult corrupt = run({"-noCreate", "-verify", "-noRemove"});
  EXPECT_EQ(corrupt.status, 2);
  EXPECT_NE(corrupt.err.find("/DIR-0/file-7 ("), std::string::npos);
  EXPECT_NE(corrupt.err.find(" No.8\nCRC Error!\nVerify " + T + "/DIR-0/file-8 ("),
            std::string::npos);
  EXPECT_NE(corrupt.out.find("Verify 43 files, 1 CRC Errors\n"), std::string::npos);

  WriteWholeFile(victim, original.substr(0, original.size() - 1));
  ChildResult truncated = run({"-noCreate", "-verify", "-noRemove"});
  EXPECT_EQ(truncated.status, 2);
  EXPECT_NE(truncated.err.find(" No.8\nFileSize Error!\nTS Finish\nVerify Error!\n"),
            std::string::npos)
      << truncated.err;
  EXPECT_EQ(truncated.out, "");

  std::filesystem::remove(victim);
  ChildResult deleted = run({"-noCreate", "-verify", "-noRemove"});
  EXPECT_EQ(deleted.status, 2);
  EXPECT_NE(deleted.err.find(" No.8\nCreateFile Error!: No such file or directory\nTS Finish\n"
                             "Verify Error!\n"),
            std::string::npos);

  ChildResult cleanup = run({"-noCreate"});
  EXPECT_EQ(cleanup.status, 0) << cleanup.err;
  EXPECT_EQ(cleanup.out.substr(0, cleanup.out.find('\n') + 1), "Remove 42 files, 8 directories\n");
  EXPECT_EQ(cleanup.err.find("file-7 "), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

TEST(ProgramTest, AHalfMadeMillionDeepTreeIsCleanedUp) {
  TempDir dir;
  std::vector<std::string> deep = {DTK_BINARY,     dir.path(), "-filesize",    "1",
                                   "-minFileSize", "1",        "-maxFileSize", "1",
                                   "-maxDirFiles", "1",        "-maxDirLevel", "2147483647"};
  // The create phase stops where the paths outgrow the system, and the
  // chain is kept.
  deep.push_back("-noRemove");
  ChildResult create = RunChild(deep);
  deep.pop_back();
  EXPECT_EQ(create.status, 2);
  EXPECT_NE(create.err.find("CreateFile Error!: File name too long\n"), std::string::npos);
  ASSERT_GT(dir.List().size(), 200u);

  deep.push_back("-noCreate");
  auto start = std::chrono::steady_clock::now();
  ChildResult cleanup = RunChild(deep);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(cleanup.status, 0) << cleanup.err.substr(0, 2000);
  EXPECT_TRUE(dir.List().empty());
  std::printf("cleanup of a half-made chain of a million directories: %.2f s\n", seconds);
}

TEST(ProgramTest, LinesKeepTheirOrderWhenBothStreamsShareAPipe) {
  TempDir dir;
  ChildResult run = RunChild({DTK_BINARY, dir.path(), "-filesize", "1", "-minFileSize", "524288",
                              "-maxFileSize", "524288", "-verify"},
                             /*merged=*/true);
  EXPECT_EQ(run.status, 0);
  std::string lines = MaskTimeStamps(run.out);
  const std::string T = dir.path();
  EXPECT_EQ(lines,
            "TS Start\n"
            "CreateFile " +
                T +
                "/file-0 (524288 bytes) No.1\n"
                "CreateFile " +
                T +
                "/file-1 (524288 bytes) No.2\n"
                "TS Finish\n"
                "Create 2 files, 0 directories\nCreate filesize 1048576 bytes\n"
                "Create time 1 sec\nCreate speed 1048.5KB/sec (1048576B/sec)\n"
                "TS Start\n"
                "Verify " +
                T +
                "/file-0 (EFE12EDC:524288 bytes) No.1\n"
                "Verify " +
                T +
                "/file-1 (EFE12EDC:524288 bytes) No.2\n"
                "TS Finish\n"
                "Verify 2 files, 0 CRC Errors\nVerify filesize 1048576 bytes\n"
                "Verify time 1 sec\nVerify speed 1048.5KB/sec (1048576B/sec)\n"
                "TS Start\n"
                "RemoveFile " +
                T +
                "/file-1 (524288 bytes) No.1\n"
                "RemoveFile " +
                T +
                "/file-0 (524288 bytes) No.2\n"
                "TS Finish\n"
                "Remove 2 files, 0 directories\nRemove filesize 1048576 bytes\n"
                "Remove time 1 sec\nRemove speed 1048.5KB/sec (1048576B/sec)\n");
}

TEST(ProgramTest, DefaultTreeWithVerify) {
  TempDir dir;
  ChildResult run = RunChild({DTK_BINARY, dir.path(), "-verify"});
  EXPECT_EQ(run.status, 0) << run.err.substr(run.err.size() > 2000 ? run.err.size() - 2000 : 0);
  EXPECT_NE(run.out.find("Create 2071 files, 20 directories\nCreate filesize 104857600 bytes\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("Verify 2071 files, 0 CRC Errors\nVerify filesize 104857600 bytes\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("Remove 2071 files, 20 directories\nRemove filesize 104857600 bytes\n"),
            std::string::npos);
  EXPECT_NE(run.err.find("Verify " + dir.path() + "/file-0 (D7739188:101213 bytes) No.1\n"),
            std::string::npos);
  EXPECT_NE(run.err.find("CreateFile " + dir.path() +
                         "/DIR-16/DIR-17/DIR-18/DIR-19/file-2070 (22817 bytes) No.2071\n"),
            std::string::npos);
  EXPECT_TRUE(std::regex_search(
      run.out, std::regex(R"(Create time \d+ sec\nCreate speed \d+\.\dKB/sec \(\d+B/sec\)\n)")));
  EXPECT_TRUE(dir.List().empty());
}

TEST(ProgramTest, ForeignFileBlocksTheRemovePhase) {
  TempDir dir;
  std::filesystem::create_directory(dir / "DIR-0");
  WriteWholeFile(dir / "DIR-0/foreign", "x");
  ChildResult run = RunChild({DTK_BINARY, dir.path(), "-filesize", "1", "-maxDirFiles", "5"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("RemoveDirecrory " + dir.path() + "/DIR-0\n"), std::string::npos);
  EXPECT_EQ(run.err.substr(run.err.size() - 14), "Remove Error!\n");
  EXPECT_NE(run.out.find("Create 22 files"), std::string::npos);
}

TEST(ProgramTest, FileSizeLimitFailsTheWriteNotTheProcess) {
  TempDir dir;
  ChildResult run = RunChild({DTK_BINARY, dir.path(), "-filesize", "1", "-minFileSize", "300000",
                              "-maxFileSize", "300000"},
                             false, 200000);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("No.1\nWriteFile Error!: File too large\n"), std::string::npos);
  EXPECT_NE(run.out.find("Remove 1 files, 0 directories\n"), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

// With the uring engine, the signal comes with a full queue: every call in
// flight comes back before the phase ends and the tree goes.
TEST_P(EngineRunTest, CtrlCStillCleansUpAndWritesTheReport) {
  TempDir dir;
  TempDir reports;
  const std::string reportPath = reports / "stopped.json";
  // A million files of one byte: the create phase is still running when the
  // signal comes.
  std::vector<std::string> args = {DTK_BINARY, dir.path(), "-filesize", "1",    "-maxFileSize",
                                   "1",        "-report",  reportPath,  "-engine", EngineName(GetParam())};
  int errPipe[2];
  ASSERT_EQ(pipe(errPipe), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(errPipe[1], 2);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(errPipe[0]);
    close(errPipe[1]);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(errPipe[1]);
  std::string err;
  char buffer[4096];
  bool signalled = false;
  for (ssize_t n; (n = read(errPipe[0], buffer, sizeof(buffer))) > 0;) {
    err.append(buffer, static_cast<size_t>(n));
    if (!signalled && err.find("CreateFile ") != std::string::npos) {
      kill(pid, SIGINT);
      signalled = true;
    }
  }
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(signalled);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_TRUE(dir.List().empty());
  nlohmann::json report = ReadReport(reportPath);
  EXPECT_EQ(report["exitStatus"], 130);
  ASSERT_EQ(report["phases"].size(), 2u);
  EXPECT_EQ(report["phases"][0]["status"], "interrupted");
  EXPECT_EQ(report["phases"][1]["status"], "ok");
  EXPECT_EQ(report["phases"][1]["files"], report["phases"][0]["files"]);
}

TEST(ProgramTest, TheConsoleIsTheSameWithOrWithoutAReport) {
  TempDir plainDir;
  TempDir reportedDir;
  TempDir reports;
  std::vector<std::string> options = {"-filesize", "2", "-maxDirFiles", "7", "-verify"};
  std::vector<std::string> plainArgs = {DTK_BINARY, plainDir.path()};
  plainArgs.insert(plainArgs.end(), options.begin(), options.end());
  std::vector<std::string> reportedArgs = {DTK_BINARY, reportedDir.path()};
  reportedArgs.insert(reportedArgs.end(), options.begin(), options.end());
  reportedArgs.push_back("-report");
  reportedArgs.push_back(reports / "r.json");
  ChildResult plain = RunChild(plainArgs, /*merged=*/true);
  ChildResult reported = RunChild(reportedArgs, /*merged=*/true);
  EXPECT_EQ(reported.status, 0);
  std::string lines = MaskTimeStamps(reported.out);
  for (size_t at; (at = lines.find(reportedDir.path())) != std::string::npos;) {
    lines.replace(at, reportedDir.path().size(), plainDir.path());
  }
  EXPECT_EQ(lines, MaskTimeStamps(plain.out));
  EXPECT_EQ(ReadReport(reports / "r.json")["exitStatus"], 0);
}
#endif

}  // namespace
}  // namespace dtk
