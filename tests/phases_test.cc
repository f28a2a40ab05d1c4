// The create, verify and remove phases on a real scratch directory, with
// faults injected where the disk would not produce them on demand.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "engine/tester.h"
#include "fault_file_system.h"
#include "platform/process.h"
#include "test_util.h"
#include "tree/planner.h"

namespace dtk {
namespace {

class PhasesTest : public ::testing::Test {
 protected:
  // Plans `total` bytes in files of min..max bytes.
  void Plan(int64_t total, int64_t min, int64_t max, uint32_t dirFiles = 100,
            uint32_t dirLevel = 4) {
    TestConfig config;
    config.totalSize = total;
    config.minFileSize = min;
    config.maxFileSize = max;
    config.maxDirFiles = dirFiles;
    config.maxDirLevel = dirLevel;
    MtDefaultRandom random;
    ASSERT_EQ(CreateFileList(plan, config, random), 0);
  }
  std::string Lines() const { return MaskTimeStamps(console.Transcript()); }
  const char* target() const { return dir.path().c_str(); }
  std::string T() const { return dir.path(); }

  TempDir dir;
  FaultFileSystem fs{SystemFileSystem()};
  MemoryConsole console;
  FixedClock clock;
  // Paths joined with "/", which every system takes.
  DtkTest test{fs, console, clock, kPosixPathStyle};
  FileList plan;
};

TEST_F(PhasesTest, EmptyPlanStillFramesCreateAndVerify) {
  EXPECT_EQ(test.Create(plan, target()), 0);
  EXPECT_EQ(test.Verify(plan, target()), 0);
  EXPECT_EQ(test.Remove(), 0);
  EXPECT_EQ(Lines(),
            "E TS Start\nE TS Finish\n"
            "O Create 0 files, 0 directories\nO Create filesize 0 bytes\n"
            "O Create time 1 sec\nO Create speed 0.0KB/sec (0B/sec)\n"
            "E TS Start\nE TS Finish\n"
            "O Verify 0 files, 0 CRC Errors\nO Verify filesize 0 bytes\n"
            "O Verify time 1 sec\nO Verify speed 0.0KB/sec (0B/sec)\n");
}

TEST_F(PhasesTest, NestedTreeIsCreatedVerifiedAndRemovedInOrder) {
  Plan(10, 1, 2, 2, 2);  // sizes 1,1,1,2,1,2,2: chains of two directories
  ASSERT_EQ(test.Create(plan, target()), 0);
  EXPECT_EQ(dir.List(),
            (std::vector<std::string>{"DIR-0/", "DIR-0/DIR-1/", "DIR-0/DIR-1/file-4",
                                      "DIR-0/DIR-1/file-5", "DIR-0/file-2", "DIR-0/file-3",
                                      "DIR-2/", "DIR-2/file-6", "file-0", "file-1"}));
  ASSERT_EQ(test.Verify(plan, target()), 0);
  ASSERT_EQ(test.Remove(), 0);
  EXPECT_TRUE(dir.List().empty());
  EXPECT_EQ(Lines(),
            "E TS Start\n"
            "E CreateFile " +
                T() +
                "/file-0 (1 bytes) No.1\n"
                "E CreateFile " +
                T() +
                "/file-1 (1 bytes) No.2\n"
                "E CreateDirecrory " +
                T() +
                "/DIR-0\n"
                "E CreateFile " +
                T() +
                "/DIR-0/file-2 (1 bytes) No.3\n"
                "E CreateFile " +
                T() +
                "/DIR-0/file-3 (2 bytes) No.4\n"
                "E CreateDirecrory " +
                T() +
                "/DIR-0/DIR-1\n"
                "E CreateFile " +
                T() +
                "/DIR-0/DIR-1/file-4 (1 bytes) No.5\n"
                "E CreateFile " +
                T() +
                "/DIR-0/DIR-1/file-5 (2 bytes) No.6\n"
                "E CreateDirecrory " +
                T() +
                "/DIR-2\n"
                "E CreateFile " +
                T() +
                "/DIR-2/file-6 (2 bytes) No.7\n"
                "E TS Finish\n"
                "O Create 7 files, 3 directories\nO Create filesize 10 bytes\n"
                "O Create time 1 sec\nO Create speed 0.0KB/sec (10B/sec)\n"
                "E TS Start\n"
                "E Verify " +
                T() +
                "/file-0 (FC6C7028:1 bytes) No.1\n"
                "E Verify " +
                T() +
                "/file-1 (27820654:1 bytes) No.2\n"
                "E Verify " +
                T() +
                "/DIR-0/file-2 (902B6662:1 bytes) No.3\n"
                "E Verify " +
                T() +
                "/DIR-0/file-3 (BFED04FE:2 bytes) No.4\n"
                "E Verify " +
                T() +
                "/DIR-0/DIR-1/file-4 (A864DBDF:1 bytes) No.5\n"
                "E Verify " +
                T() +
                "/DIR-0/DIR-1/file-5 (A3580446:2 bytes) No.6\n"
                "E Verify " +
                T() +
                "/DIR-2/file-6 (D58DCE5B:2 bytes) No.7\n"
                "E TS Finish\n"
                "O Verify 7 files, 0 CRC Errors\nO Verify filesize 10 bytes\n"
                "O Verify time 1 sec\nO Verify speed 0.0KB/sec (10B/sec)\n"
                "E TS Start\n"
                "E RemoveFile " +
                T() +
                "/DIR-2/file-6 (2 bytes) No.1\n"
                "E RemoveDirecrory " +
                T() +
                "/DIR-2\n"
                "E RemoveFile " +
                T() +
                "/DIR-0/DIR-1/file-5 (2 bytes) No.2\n"
                "E RemoveFile " +
                T() +
                "/DIR-0/DIR-1/file-4 (1 bytes) No.3\n"
                "E RemoveDirecrory " +
                T() +
                "/DIR-0/DIR-1\n"
                "E RemoveFile " +
                T() +
                "/DIR-0/file-3 (2 bytes) No.4\n"
                "E RemoveFile " +
                T() +
                "/DIR-0/file-2 (1 bytes) No.5\n"
                "E RemoveDirecrory " +
                T() +
                "/DIR-0\n"
                "E RemoveFile " +
                T() +
                "/file-1 (1 bytes) No.6\n"
                "E RemoveFile " +
                T() +
                "/file-0 (1 bytes) No.7\n"
                "E TS Finish\n"
                "O Remove 7 files, 3 directories\nO Remove filesize 10 bytes\n"
                "O Remove time 1 sec\nO Remove speed 0.0KB/sec (10B/sec)\n");
}

TEST_F(PhasesTest, WriteAndReadCallsCarryAtMost128KiB) {
  for (int64_t size : {300000, 131072, 131073, 0}) {
    auto entry = std::make_unique<FileEntry>();
    entry->SetName("file-" + std::to_string(plan.size()));
    entry->size = size;
    plan.Append(std::move(entry));
  }
  ASSERT_EQ(test.Create(plan, target()), 0);
  EXPECT_EQ(fs.CountsOf(Op::kWrite),
            (std::vector<uint32_t>{131072, 131072, 37856, 131072, 131072, 1}));
  EXPECT_EQ(plan.back().crcValue, 0u);  // an empty file: the CRC of nothing
  fs.LimitReads(50000);                 // short reads are continued, not errors
  ASSERT_EQ(test.Verify(plan, target()), 0);
  EXPECT_EQ(test.verified().files, 4u);
  EXPECT_EQ(test.verified().second, 0u);
  EXPECT_EQ(fs.CountsOf(Op::kRead).front(), 131072u);
  EXPECT_EQ(fs.CountOf(Op::kOpenForRead), fs.CountOf(Op::kClose) - 4);
}

TEST_F(PhasesTest, FileThatCannotBeCreatedEndsTheWalkAndTheRemovePhase) {
  Plan(3, 1, 1);
  fs.FailCall(Op::kOpenForWrite, 2, EACCES);
  EXPECT_EQ(test.Create(plan, target()), -1);
  EXPECT_EQ(test.created().files, 1u);
  EXPECT_EQ(test.createdList().size(), 2u);  // the failed file included
  EXPECT_EQ(test.Remove(), -1);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"file-0"});  // nothing removed
  EXPECT_EQ(Lines(),
            "E TS Start\n"
            "E CreateFile " +
                T() +
                "/file-0 (1 bytes) No.1\n"
                "E CreateFile " +
                T() +
                "/file-1 (1 bytes) No.2\n"
                "E CreateFile Error!: " +
                SystemText(EACCES) +
                "\n"
                "E TS Finish\nE DtkTest Error!\n"
                "E TS Start\n"
                "E RemoveFile " +
                T() +
                "/file-1 (1 bytes) No.1\n"
                "E TS Finish\nE Remove Error!\n");
}

TEST_F(PhasesTest, WriteFailingPartWayLeavesAShortFileThatVerifyAndRemoveHandle) {
  Plan(400000, 200000, 200000);
  fs.FailCall(Op::kWrite, 3, ENOSPC, false, 1000);  // first chunk of file-1
  EXPECT_EQ(test.Create(plan, target()), -1);
  EXPECT_EQ(test.created().files, 1u);
  EXPECT_EQ(test.created().bytes, 200000);
  EXPECT_EQ(std::filesystem::file_size(dir / "file-1"), 1000u);
  EXPECT_EQ(test.Verify(plan, target()), -1);  // file-1 is short
  EXPECT_EQ(test.verified().files, 1u);
  EXPECT_EQ(test.Remove(), 0);
  EXPECT_TRUE(dir.List().empty());
  EXPECT_EQ(Lines(),
            "E TS Start\n"
            "E CreateFile " +
                T() +
                "/file-0 (200000 bytes) No.1\n"
                "E CreateFile " +
                T() +
                "/file-1 (200000 bytes) No.2\n"
                "E WriteFile Error!: " +
                SystemText(ENOSPC) +
                "\n"
                "E TS Finish\nE DtkTest Error!\n"
                "E TS Start\n"
                "E Verify " +
                T() +
                "/file-0 (04F752ED:200000 bytes) No.1\n"
                "E Verify " +
                T() +
                "/file-1 (00000000:200000 bytes) No.2\n"
                "E FileSize Error!\n"
                "E TS Finish\nE Verify Error!\n"
                "E TS Start\n"
                "E RemoveFile " +
                T() +
                "/file-1 (200000 bytes) No.1\n"
                "E RemoveFile " +
                T() +
                "/file-0 (200000 bytes) No.2\n"
                "E TS Finish\n"
                "O Remove 2 files, 0 directories\nO Remove filesize 400000 bytes\n"
                "O Remove time 1 sec\nO Remove speed 400.0KB/sec (400000B/sec)\n");
}

TEST_F(PhasesTest, FailedCloseOrFlushIsAWriteFailure) {
  Plan(2, 1, 1);
  fs.FailCall(Op::kClose, 1, EIO);
  EXPECT_EQ(test.Create(plan, target()), -1);
  EXPECT_NE(console.ErrorText().find("WriteFile Error!: " + SystemText(EIO) + "\n"),
            std::string::npos);
  EXPECT_EQ(test.created().files, 0u);

  console.Clear();
  test.set_sync(true);
  fs.FailCall(Op::kFlush, 2, EIO);
  EXPECT_EQ(test.Create(plan, target()), -1);
  EXPECT_EQ(test.created().files, 1u);
}

TEST_F(PhasesTest, DirectoryThatCannotBeMadeIsCountedAndItsFileFails) {
  Plan(3, 1, 1, 1, 4);  // file-0, DIR-0{file-1, DIR-1{file-2}}
  fs.FailCall(Op::kMakeDirectory, 1, EACCES);
  EXPECT_EQ(test.Create(plan, target()), -1);
  EXPECT_EQ(test.created().second, 1u);
  EXPECT_EQ(Lines(),
            "E TS Start\n"
            "E CreateFile " +
                T() +
                "/file-0 (1 bytes) No.1\n"
                "E CreateDirecrory " +
                T() +
                "/DIR-0\n"
                "E CreateFile " +
                T() +
                "/DIR-0/file-1 (1 bytes) No.2\n"
                "E CreateFile Error!: " +
                SystemText(kNoSuchPath) +
                "\n"
                "E TS Finish\nE DtkTest Error!\n");
}

TEST_F(PhasesTest, ReadFailureStopsTheWalkAndClosesTheFile) {
  Plan(3, 1, 1);
  ASSERT_EQ(test.Create(plan, target()), 0);
  console.Clear();
  fs.FailCall(Op::kRead, 2, EIO);
  EXPECT_EQ(test.Verify(plan, target()), -1);
  EXPECT_EQ(test.verified().files, 1u);
  EXPECT_EQ(fs.CountOf(Op::kOpenForRead), 2);
  EXPECT_EQ(fs.calls().back().op, Op::kClose);
  EXPECT_EQ(Lines(),
            "E TS Start\n"
            "E Verify " +
                T() +
                "/file-0 (FC6C7028:1 bytes) No.1\n"
                "E Verify " +
                T() +
                "/file-1 (27820654:1 bytes) No.2\n"
                "E ReadFile Error!: " +
                SystemText(EIO) +
                "\n"
                "E TS Finish\nE Verify Error!\n");
}

TEST_F(PhasesTest, DamagedFilesAreCaught) {
  Plan(40, 10, 10);
  ASSERT_EQ(test.Create(plan, target()), 0);
  std::string second = ReadWholeFile(dir / "file-1");
  second[3] ^= 1;
  WriteWholeFile(dir / "file-1", second);  // same length, one bit changed
  WriteWholeFile(dir / "file-2", ReadWholeFile(dir / "file-2") + "tail");  // longer: passes
  console.Clear();
  EXPECT_EQ(test.Verify(plan, target()), 0);
  EXPECT_EQ(test.verified().files, 4u);
  EXPECT_EQ(test.verified().second, 1u);
  EXPECT_EQ(test.verified().bytes, 40);
  std::string lines = Lines();
  EXPECT_NE(lines.find("/file-1 ("), std::string::npos);
  EXPECT_NE(lines.find("No.2\nE CRC Error!\nE Verify "), std::string::npos);
  EXPECT_NE(lines.find("O Verify 4 files, 1 CRC Errors\n"), std::string::npos);

  std::filesystem::remove(dir / "file-3");
  console.Clear();
  EXPECT_EQ(test.Verify(plan, target()), -1);
  EXPECT_NE(Lines().find("No.4\nE CreateFile Error!: " + SystemText(kNoSuchFile) +
                         "\nE TS Finish\n"
                         "E Verify Error!\n"),
            std::string::npos);
}

TEST_F(PhasesTest, ForeignFileBlocksItsDirectoryAndEverythingCreatedBefore) {
  Plan(4, 1, 1, 2, 4);  // file-0, file-1, DIR-0{file-2, file-3}
  ASSERT_EQ(test.Create(plan, target()), 0);
  WriteWholeFile(dir / "DIR-0/foreign", "x");
  console.Clear();
  EXPECT_EQ(test.Remove(), -1);
  EXPECT_EQ(test.removed().files, 2u);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"DIR-0/", "DIR-0/foreign", "file-0", "file-1"}));
  EXPECT_EQ(Lines(),
            "E TS Start\n"
            "E RemoveFile " +
                T() +
                "/DIR-0/file-3 (1 bytes) No.1\n"
                "E RemoveFile " +
                T() +
                "/DIR-0/file-2 (1 bytes) No.2\n"
                "E RemoveDirecrory " +
                T() +
                "/DIR-0\n"
                "E TS Finish\nE Remove Error!\n");
}

TEST_F(PhasesTest, FileThatCannotBeDeletedStopsTheRemovePhase) {
  Plan(3, 1, 1);
  ASSERT_EQ(test.Create(plan, target()), 0);
  fs.FailCall(Op::kDeleteFile, 2, EBUSY);
  console.Clear();
  EXPECT_EQ(test.Remove(), -1);
  EXPECT_EQ(test.removed().files, 1u);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"file-0", "file-1"}));
}

TEST_F(PhasesTest, RunningOutOfMemoryEndsTheWalkAsAFailure) {
  Plan(3, 1, 1, 1, 4);
  fs.FailCall(Op::kMakeDirectory, 1, kThrowBadAlloc);
  EXPECT_EQ(test.Create(plan, target()), -1);
  EXPECT_EQ(MaskTimeStamps(console.lines().back().text), "DtkTest Error!\n");
}

TEST_F(PhasesTest, StopRequestEndsCreateAndVerifyButNotRemove) {
  Plan(3, 1, 1);
  RequestStop(2);
  EXPECT_EQ(test.Create(plan, target()), -1);
  EXPECT_EQ(test.Verify(plan, target()), -1);
  EXPECT_EQ(test.createdList().size(), 0u);
  ClearStopRequest();
  ASSERT_EQ(test.Create(plan, target()), 0);
  RequestStop(2);
  EXPECT_EQ(test.Remove(), 0);
  ClearStopRequest();
  EXPECT_TRUE(dir.List().empty());
}

TEST_F(PhasesTest, RemovingThePlannedTreeGivesTheLinesOfRemovingTheCreatedOne) {
  Plan(10, 1, 2, 2, 2);
  ASSERT_EQ(test.Create(plan, target()), 0);
  console.Clear();
  ASSERT_EQ(test.Remove(), 0);
  std::string fromCreatedList = Lines();
  ASSERT_EQ(test.Create(plan, target()), 0);
  console.Clear();
  DtkTest later(fs, console, clock, kPosixPathStyle);  // a later run that created nothing
  ASSERT_EQ(later.RemovePlanned(plan, target()), 0);
  EXPECT_EQ(Lines(), fromCreatedList);
  EXPECT_TRUE(dir.List().empty());

  // Nothing planned: nothing printed, as for the created list.
  FileList nothing;
  console.Clear();
  EXPECT_EQ(later.RemovePlanned(nothing, target()), 0);
  EXPECT_TRUE(console.lines().empty());
}

TEST_F(PhasesTest, RemovingAHalfMadeTreePassesOverWhatIsNotThere) {
  // file-0, file-1, DIR-0{file-2, file-3, DIR-1{file-4, file-5}}, DIR-2{...
  Plan(12, 1, 1, 2, 2);
  fs.FailCall(Op::kOpenForWrite, 5, EIO);  // file-4: DIR-1 made, empty
  ASSERT_EQ(test.Create(plan, target()), -1);
  ASSERT_EQ(dir.List(), (std::vector<std::string>{"DIR-0/", "DIR-0/DIR-1/", "DIR-0/file-2",
                                                  "DIR-0/file-3", "file-0", "file-1"}));
  console.Clear();
  DtkTest later(fs, console, clock, kPosixPathStyle);
  ASSERT_EQ(later.RemovePlanned(plan, target()), 0);
  EXPECT_TRUE(dir.List().empty());
  EXPECT_EQ(Lines(),
            "E TS Start\n"
            "E RemoveDirecrory " +
                T() +
                "/DIR-0/DIR-1\n"
                "E RemoveFile " +
                T() +
                "/DIR-0/file-3 (1 bytes) No.1\n"
                "E RemoveFile " +
                T() +
                "/DIR-0/file-2 (1 bytes) No.2\n"
                "E RemoveDirecrory " +
                T() +
                "/DIR-0\n"
                "E RemoveFile " +
                T() +
                "/file-1 (1 bytes) No.3\n"
                "E RemoveFile " +
                T() +
                "/file-0 (1 bytes) No.4\n"
                "E TS Finish\n"
                "O Remove 4 files, 2 directories\nO Remove filesize 4 bytes\n"
                "O Remove time 1 sec\nO Remove speed 0.0KB/sec (4B/sec)\n");
}

TEST_F(PhasesTest, RemovingATreeWithEntriesDeletedByHand) {
  Plan(12, 1, 1, 2, 2);
  ASSERT_EQ(test.Create(plan, target()), 0);
  std::filesystem::remove(dir / "file-1");
  std::filesystem::remove_all(dir / "DIR-0/DIR-1");
  std::filesystem::remove(dir / "DIR-2/file-7");
  console.Clear();
  DtkTest later(fs, console, clock, kPosixPathStyle);
  ASSERT_EQ(later.RemovePlanned(plan, target()), 0);
  EXPECT_TRUE(dir.List().empty());
  EXPECT_EQ(later.removed().files, 12u - 4u);
  EXPECT_EQ(later.removed().second, 5u - 1u);
  EXPECT_EQ(later.removed().bytes, 8);
  EXPECT_EQ(Lines().find("file-1 "), std::string::npos);
  EXPECT_EQ(Lines().find("DIR-1\n"), std::string::npos);

  // A tree that is gone altogether: nothing removed, and that is no failure.
  console.Clear();
  ASSERT_EQ(later.RemovePlanned(plan, target()), 0);
  EXPECT_EQ(Lines(),
            "E TS Start\nE TS Finish\n"
            "O Remove 0 files, 0 directories\nO Remove filesize 0 bytes\n"
            "O Remove time 1 sec\nO Remove speed 0.0KB/sec (0B/sec)\n");
}

TEST_F(PhasesTest, OtherFailuresStopThePlannedRemoval) {
  Plan(4, 1, 1, 2, 4);  // file-0, file-1, DIR-0{file-2, file-3}
  ASSERT_EQ(test.Create(plan, target()), 0);
  WriteWholeFile(dir / "DIR-0/foreign", "x");
  // Calls 3 and 4 find file-3 and file-2 gone; call 6 is file-0's.
  fs.FailCall(Op::kDeleteFile, 6, EACCES);
  console.Clear();
  DtkTest later(fs, console, clock, kPosixPathStyle);
  EXPECT_EQ(later.RemovePlanned(plan, target()), -1);
  EXPECT_EQ(Lines(),
            "E TS Start\n"
            "E RemoveFile " +
                T() +
                "/DIR-0/file-3 (1 bytes) No.1\n"
                "E RemoveFile " +
                T() +
                "/DIR-0/file-2 (1 bytes) No.2\n"
                "E RemoveDirecrory " +
                T() +
                "/DIR-0\n"
                "E TS Finish\nE Remove Error!\n");
  std::filesystem::remove(dir / "DIR-0/foreign");
  console.Clear();
  EXPECT_EQ(later.RemovePlanned(plan, target()), -1);
  EXPECT_NE(Lines().find("E RemoveFile " + T() +
                         "/file-0 (1 bytes) No.2\nE TS Finish\n"
                         "E Remove Error!\n"),
            std::string::npos);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"file-0"});
}

TEST_F(PhasesTest, PathsTooLongToExistAreNeverBuilt) {
  // A chain 3000 deep: file-0, DIR-0{file-1, DIR-1{file-2, ...}}. Its paths
  // outgrow what the system accepts a few hundred levels down, where the
  // create phase stops.
  Plan(3000, 1, 1, 1, 3000);
  EXPECT_EQ(test.Create(plan, target()), -1);
#ifdef _WIN32
  EXPECT_NE(console.ErrorText().find("CreateFile Error!: "), std::string::npos);
  const uint32_t fewest = 20;  // MAX_PATH holds a few dozen levels
#else
  EXPECT_NE(console.ErrorText().find("CreateFile Error!: File name too long\n"), std::string::npos);
  const uint32_t fewest = 100;
#endif
  uint32_t made = test.created().second;
  ASSERT_GT(made, fewest);
  ASSERT_LT(made, 1000u);

  size_t callsBefore = fs.calls().size();
  console.Clear();
  DtkTest later(fs, console, clock, kPosixPathStyle);
  ASSERT_EQ(later.RemovePlanned(plan, target()), 0) << Lines();
  EXPECT_TRUE(dir.List().empty());
  EXPECT_EQ(later.removed().second, made);
  EXPECT_EQ(later.removed().files, test.created().files);
  // Only the entries whose paths can exist were tried.
  size_t tried = fs.calls().size() - callsBefore;
#ifndef _WIN32
  EXPECT_LE(tried, 2 * made + 2);
#else
  (void)tried;  // Windows may accept paths beyond MAX_PATH: all are tried
#endif
  for (size_t i = callsBefore; i < fs.calls().size(); ++i) {
    EXPECT_LE(fs.calls()[i].path.size(), MaxPathLength());
  }
}

}  // namespace
}  // namespace dtk
