// Whole runs: in process with a pinned clock, and as the real program.
#include "driver/run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <regex>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "engine/dtk_test.h"
#include "fault_file_system.h"
#include "platform/process.h"
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

TEST(RunTest, PlansThatCannotBeMadeFailAtOnce) {
  // Over two thousand million files cannot be numbered.
  InProcessRun tooMany = RunTool({"T", "-filesize", "2147483647", "-maxFileSize", "1"});
  EXPECT_EQ(tooMany.status, 1);
  EXPECT_EQ(tooMany.lines, "E CreateFileList error!\n");
  // Before planning: at least a million files, which with their copies do
  // not fit in 100 MB of memory.
  InProcessRun tooBig =
      RunTool({"T", "-filesize", "1", "-maxFileSize", "1"}, SystemFileSystem(), 100000000);
  EXPECT_EQ(tooBig.status, 1);
  EXPECT_EQ(tooBig.lines, "E CreateFileList error!\n");
  // While planning: at least 350,000 files might fit, but the plan has
  // about half a million.
  TestConfig config;
  config.totalSize = 1048576;
  config.maxFileSize = 3;
  EXPECT_TRUE(PlanMayFit(config, 1, kLongestPath, 100000000));
  InProcessRun tooMuch =
      RunTool({"T", "-filesize", "1", "-maxFileSize", "3"}, SystemFileSystem(), 100000000);
  EXPECT_EQ(tooMuch.lines, "E CreateFileList error!\n");
  // After planning: 32,767 entries fit, but the copies of their paths, a
  // hundred directories deep, do not.
  InProcessRun deepPaths = RunTool({"T", "-filesize", "1", "-minFileSize", "64", "-maxFileSize",
                                    "64", "-maxDirFiles", "1", "-maxDirLevel", "100"},
                                   SystemFileSystem(), 10000000);
  EXPECT_EQ(deepPaths.lines, "E CreateFileList error!\n");
}

TEST(RunTest, MemoryEstimatesOfPlans) {
  EXPECT_TRUE(PlanMayFit(TestConfig(), 40, kLongestPath, 1 << 30));
  // The default plan: 2,071 files and 20 directories, with short paths.
  MtDefaultRandom random;
  FileList plan;
  ASSERT_EQ(CreateFileList(plan, TestConfig(), random), 0);
  uint64_t bytes = EstimatePlanMemory(plan, 10, kLongestPath);
  EXPECT_GT(bytes, 2091 * (kPlannedFileBytes + kCopyBytes));
  EXPECT_LT(bytes, 2091 * (kPlannedDirectoryBytes + kCopyBytes + 60));

  // A chain a million directories deep: the create phase stops at the path
  // the system refuses, so only the entries up to there are copied, and the
  // plan fits in a quarter of a GiB.
  TestConfig deep;
  deep.totalSize = 1048576;
  deep.maxFileSize = 1;
  deep.maxDirFiles = 1;
  deep.maxDirLevel = 2147483647;
  EXPECT_EQ(LeastBytesPerEntry(deep, 40, kLongestPath), kPlannedFileBytes);
  EXPECT_TRUE(PlanMayFit(deep, 40, kLongestPath, 1 << 30));
  FileList chain;
  ASSERT_EQ(CreateFileList(chain, deep, random), 0);
  uint64_t chainBytes = EstimatePlanMemory(chain, 40, 4095);
  EXPECT_LT(chainBytes, 1048576 * (kPlannedFileBytes + kPlannedDirectoryBytes) + 4000000);
  EXPECT_GT(chainBytes, 1048576 * (kPlannedFileBytes + kPlannedDirectoryBytes));
}

// The heap is measured with glibc's allocator, which AddressSanitizer
// replaces.
#if defined(__SANITIZE_ADDRESS__)
#define DTK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DTK_UNDER_ASAN 1
#endif
#endif
#if defined(__GLIBC__) && !defined(DTK_UNDER_ASAN)
#define DTK_CAN_MEASURE_HEAP 1
#endif

#ifdef DTK_CAN_MEASURE_HEAP
size_t HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Succeeds at everything and keeps nothing, so that only the tool's own
// memory is counted.
class NullFileSystem : public FileSystem {
 public:
  ErrorCode MakeDirectory(const char*) override { return 0; }
  ErrorCode OpenForWrite(const char*, FileHandle* file) override { return *file = 3, 0; }
  ErrorCode OpenForRead(const char*, FileHandle* file) override { return *file = 3, 0; }
  ErrorCode Write(FileHandle, const void*, uint32_t) override { return 0; }
  ErrorCode Read(FileHandle, void*, uint32_t count, uint32_t* got) override {
    return *got = count, 0;
  }
  ErrorCode Flush(FileHandle) override { return 0; }
  ErrorCode FlushDirectory(const char*) override { return 0; }
  ErrorCode Close(FileHandle) override { return 0; }
  ErrorCode DeleteFile(const char*) override { return 0; }
  ErrorCode RemoveDirectory(const char*) override { return 0; }
};

class SilentConsole : public Console {
 public:
  void Error(std::string_view) override {}
  void Output(std::string_view) override {}
};
#endif

TEST(RunTest, MemoryEstimateCoversWhatPlanAndCopiesTake) {
#ifndef DTK_CAN_MEASURE_HEAP
  GTEST_SKIP() << "the heap cannot be measured in this build";
#else
  struct Case {
    int64_t total, min, max;
    uint32_t dirFiles, dirLevel;
  };
  const std::string target = "/some/target/directory";
  // Flat, a directory per file, and chains deep enough for long paths.
  for (Case c : {Case{1 << 20, 1, 1, 100, 4}, Case{1 << 19, 1, 1, 1, 1},
                 Case{1 << 18, 1, 1, 1, 200}, Case{104857600, 1, 102400, 100, 4}}) {
    TestConfig config;
    config.totalSize = c.total;
    config.minFileSize = c.min;
    config.maxFileSize = c.max;
    config.maxDirFiles = c.dirFiles;
    config.maxDirLevel = c.dirLevel;
    NullFileSystem fs;
    SilentConsole console;
    FixedClock clock;
    MtDefaultRandom random;
    DtkTest tester(fs, console, clock, kPosixPathStyle);
    size_t before = HeapInUse();
    FileList plan;
    ASSERT_EQ(CreateFileList(plan, config, random), 0);
    ASSERT_EQ(tester.Create(plan, target.c_str()), 0);
    size_t taken = HeapInUse() - before - DtkTest::kIoBufferSize - DtkTest::kPatternSize;
    uint64_t estimate = EstimatePlanMemory(plan, target.size(), kLongestPath);
    EXPECT_GE(estimate, taken) << c.dirFiles << " " << c.dirLevel;
    EXPECT_LE(estimate, 2 * taken) << c.dirFiles << " " << c.dirLevel;
  }
#endif
}

TEST(RunTest, WholeRunOfTwoHalfMebibyteFiles) {
  TempDir dir;
  InProcessRun run = RunTool({dir.path().c_str(), "-filesize", "1", "-minFileSize", "524288",
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
  // The target does not exist: no file can be created.
  std::string missing = dir / "missing";
  InProcessRun run = RunTool({missing.c_str(), "-filesize", "1", "-verify"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.lines.find("E CreateFile " + missing +
                           "/file-0 (101213 bytes) No.1\n"
                           "E CreateFile Error!: No such file or directory\n"
                           "E TS Finish\nE DtkTest Error!\nE TS Start\n"
                           "E Verify " +
                           missing +
                           "/file-0 (00000000:101213 bytes) No.1\n"
                           "E CreateFile Error!: No such file or directory\n"
                           "E TS Finish\nE Verify Error!\nE TS Start\n"
                           "E RemoveFile " +
                           missing +
                           "/file-0 (101213 bytes) No.1\n"
                           "E TS Finish\nE Remove Error!\n"),
            std::string::npos)
      << run.lines;

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

TEST(RunTest, StopRequestSkipsVerifyCleansUpAndReportsTheSignal) {
  TempDir dir;
  struct Stopping : FaultFileSystem {
    using FaultFileSystem::FaultFileSystem;
    ErrorCode OpenForWrite(const char* path, FileHandle* file) override {
      if (CountOf(Op::kOpenForWrite) == 3) RequestStop(15);
      return FaultFileSystem::OpenForWrite(path, file);
    }
  } stopping(SystemFileSystem());
  InProcessRun run = RunTool({dir.path().c_str(), "-filesize", "1", "-verify"}, stopping);
  ClearStopRequest();
  EXPECT_EQ(run.status, 143);
  EXPECT_NE(run.lines.find("No.4\nE TS Finish\nE DtkTest Error!\nE TS Start\nE RemoveFile"),
            std::string::npos);
  EXPECT_EQ(run.lines.find("Verify"), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

#ifndef _WIN32
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
#endif

}  // namespace
}  // namespace dtk
