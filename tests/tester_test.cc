// The tester object: its buffers, its data pattern and the pattern ring.
#include "engine/tester.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/tree_walk.h"
#include "fault_file_system.h"
#include "test_util.h"
#include "tree/planner.h"

namespace dtk {
namespace {

struct Tester {
  MemoryConsole console;
  FixedClock clock;
  DtkTest test{SystemFileSystem(), console, clock};
};

TEST(DtkTestTest, AFreshTesterHasNoBuffersAndPrintsNothing) {
  Tester t;
  EXPECT_EQ(t.test.ioBufferSize(), 0u);
  EXPECT_EQ(t.test.ioBuffer(), nullptr);
  EXPECT_EQ(t.test.pattern(), nullptr);
  EXPECT_EQ(t.test.patternSize(), 0u);
  EXPECT_EQ(t.test.patternPos(), 0u);
  EXPECT_EQ(t.test.createdList().size(), 0u);
  EXPECT_EQ(t.test.Remove(), 0);  // nothing to remove: not even a start line
  EXPECT_TRUE(t.console.lines().empty());
}

TEST(DtkTestTest, PatternIsTheGeneratorOutputLittleEndian) {
  Tester t;
  ASSERT_EQ(t.test.MakePattern(262144), 0);
  EXPECT_EQ(t.test.patternSize(), 262144u);
  EXPECT_EQ(t.test.patternPos(), 0u);
  const uint8_t expected[] = {0x5C, 0xBB, 0x91, 0xD0, 0xF6, 0x9E, 0xAE, 0x22, 0xEE, 0xFA,
                              0xE1, 0xE7, 0x79, 0x1F, 0xC3, 0xD5, 0x2C, 0x35, 0x82, 0x20};
  EXPECT_EQ(std::memcmp(t.test.pattern(), expected, sizeof(expected)), 0);

  Tester partial;
  ASSERT_EQ(partial.test.MakePattern(6), 0);
  EXPECT_EQ(std::memcmp(partial.test.pattern(), expected, 6), 0);
}

TEST(DtkTestTest, PatternDoesNotDependOnWhatThePlannerDrew) {
  Tester first;
  first.test.MakePattern(262144);
  MtDefaultRandom planner;
  for (int i = 0; i < 10000; ++i) planner.Next();
  Tester second;
  second.test.MakePattern(262144);
  EXPECT_EQ(std::memcmp(first.test.pattern(), second.test.pattern(), 262144), 0);
}

// Plans files of the given sizes in the root, without drawing sizes.
void PlanFiles(FileList& list, std::initializer_list<int64_t> sizes) {
  int n = 0;
  for (int64_t size : sizes) {
    auto entry = std::make_unique<FileEntry>();
    entry->SetName("file-" + std::to_string(n++));
    entry->size = size;
    list.Append(std::move(entry));
  }
}

TEST(DtkTestTest, FilesTakeThePatternAsARing) {
  TempDir dir;
  Tester t;
  FileList plan;
  PlanFiles(plan, {10, 300000, 262144 - 37856 - 10 + 5});
  ASSERT_EQ(t.test.Create(plan, dir.path().c_str()), 0);
  std::string pattern(reinterpret_cast<const char*>(t.test.pattern()), 262144);
  std::string ring = pattern + pattern + pattern;
  EXPECT_EQ(ReadWholeFile(dir / "file-0"), ring.substr(0, 10));
  EXPECT_EQ(ReadWholeFile(dir / "file-1"), ring.substr(10, 300000));
  EXPECT_EQ(ReadWholeFile(dir / "file-2"), ring.substr(300010, 262144 - 37856 - 5));
  EXPECT_EQ(t.test.patternPos(), 5u);  // past the end of the ring and round again
  EXPECT_EQ(plan.front().crcValue, 0xACFF1B51u);
}

TEST(DtkTestTest, VerifyAfterCreateReusesTheTransferBuffer) {
  TempDir dir;
  Tester t;
  FileList plan;
  PlanFiles(plan, {524288, 524288});
  ASSERT_EQ(t.test.Create(plan, dir.path().c_str()), 0);
  const uint8_t* buffer = t.test.ioBuffer();
  // Page-aligned: the system copies into a buffer 16 bytes into a cache line
  // several times slower on some processors.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 4096, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(t.test.pattern()) % 4096, 0u);
  ASSERT_EQ(t.test.Verify(plan, dir.path().c_str()), 0);
  EXPECT_EQ(t.test.ioBuffer(), buffer);
  EXPECT_EQ(plan.front().crcValue, 0xEFE12EDCu);
  EXPECT_EQ(plan.back().crcValue, 0xEFE12EDCu);
}

// Takes every call and keeps nothing: the create phase at memory speed.
class DiscardingFileSystem : public FileSystem {
 public:
  ErrorCode MakeDirectory(const char*) override { return 0; }
  ErrorCode OpenForWrite(const char*, FileHandle* file) override { return *file = 3, 0; }
  ErrorCode OpenForRead(const char*, FileHandle* file) override { return *file = 3, 0; }
  ErrorCode Write(FileHandle, const void*, uint32_t) override { return 0; }
  ErrorCode Read(FileHandle, void*, uint32_t, uint32_t* got) override { return *got = 0, 0; }
  ErrorCode Flush(FileHandle) override { return 0; }
  ErrorCode FlushDirectory(const char*) override { return 0; }
  ErrorCode Close(FileHandle) override { return 0; }
  ErrorCode DeleteFile(const char*) override { return 0; }
  ErrorCode RemoveDirectory(const char*) override { return 0; }
};

std::vector<uint32_t> CrcsInCreateOrder(FileList& plan) {
  std::vector<uint32_t> crcs;
  WalkPlannedEntries(plan, [&](FileEntry& entry) {
    if (!entry.IsDirectory()) crcs.push_back(entry.crcValue);
    return 0;
  });
  return crcs;
}

TEST(DtkTestTest, CrcsWorkedOutWithoutWritingEqualThoseTheCreatePhaseRecords) {
  TestConfig crossing;  // files of 100000 to 400000 bytes: most cross the pattern's end
  crossing.totalSize = 5 << 20;
  crossing.minFileSize = 100000;
  crossing.maxFileSize = 400000;
  crossing.maxDirFiles = 3;
  crossing.maxDirLevel = 2;
  for (const TestConfig& config : {TestConfig(), crossing}) {
    FileList created;
    FileList computed;
    MtDefaultRandom sizes1;
    MtDefaultRandom sizes2;
    ASSERT_EQ(CreateFileList(created, config, sizes1), 0);
    ASSERT_EQ(CreateFileList(computed, config, sizes2), 0);

    DiscardingFileSystem discard;
    MemoryConsole console;
    FixedClock clock;
    DtkTest writer(discard, console, clock);
    ASSERT_EQ(writer.Create(created, "T"), 0);

    FaultFileSystem untouched(discard);
    MemoryConsole quiet;
    DtkTest reader(untouched, quiet, clock);
    ASSERT_EQ(reader.ComputeCrcs(computed), 0);
    EXPECT_TRUE(untouched.calls().empty());
    EXPECT_TRUE(quiet.lines().empty());

    std::vector<uint32_t> recorded = CrcsInCreateOrder(created);
    EXPECT_EQ(CrcsInCreateOrder(computed), recorded);
    EXPECT_EQ(reader.patternPos(), writer.patternPos());
    EXPECT_EQ(reader.patternPos(), CountPlan(created).bytes % 262144);
    if (config.maxFileSize == 102400) {
      EXPECT_EQ(recorded.size(), 2071u);
      EXPECT_EQ(recorded.front(), 0xD7739188u);
    }
  }

  // Two files of twice the pattern each start at pattern byte 0.
  Tester t;
  FileList twice;
  PlanFiles(twice, {524288, 524288});
  ASSERT_EQ(t.test.ComputeCrcs(twice), 0);
  EXPECT_EQ(CrcsInCreateOrder(twice), (std::vector<uint32_t>{0xEFE12EDC, 0xEFE12EDC}));
}

// A console that keeps progress lines apart from error lines.
struct SortingConsole : MemoryConsole {
  std::string progress;
  void Progress(std::string_view text) override { progress.append(text); }
};

// A frame that prints nothing and logs what the tester tells it.
struct LoggingFrame : PhaseFrame {
  std::string log;
  void Start(PhaseTimes&) override { log += "start "; }
  int Finish(const PhaseText& text, const PhaseCounters& counters, PhaseTimes&,
             int status) override {
    log += std::string(text.word) + ":" + std::to_string(counters.files) + ":" +
           std::to_string(status) + " ";
    return status < 0 ? -1 : 0;
  }
};

// What dtk-mpi changes of the tester: the frame around each walk, and
// where the progress lines go.
TEST(DtkTestTest, FrameAndProgressLinesCanBeTakenOver) {
  TempDir dir;
  SortingConsole console;
  FixedClock clock;
  FaultFileSystem fs(SystemFileSystem());
  DtkTest test(fs, console, clock, kPosixPathStyle);
  LoggingFrame frame;
  test.set_frame(&frame);
  FileList plan;
  PlanFiles(plan, {10, 20});
  ASSERT_EQ(test.Create(plan, dir.path().c_str()), 0);
  fs.FailCall(Op::kOpenForRead, 2, kNoSuchFile);
  EXPECT_EQ(test.Verify(plan, dir.path().c_str()), -1);
  EXPECT_EQ(frame.log, "start Create:2:0 start Verify:1:-1 ");
  // Only the error line is an error line; the frame printed nothing.
  EXPECT_EQ(console.ErrorText(), "CreateFile Error!: " + SystemText(kNoSuchFile) + "\n");
  EXPECT_EQ(console.OutputText(), "");
  const std::string T = dir.path();
  EXPECT_EQ(console.progress.substr(0, console.progress.rfind("Verify")),
            "CreateFile " + T + "/file-0 (10 bytes) No.1\n" + "CreateFile " + T +
                "/file-1 (20 bytes) No.2\n" + "Verify " + T + "/file-0 (ACFF1B51:10 bytes) No.1\n");
  EXPECT_EQ(console.progress.find("Verify " + T + "/file-1 ("), console.progress.rfind("Verify"));

  // The tester's own frame again: the lines of a whole phase.
  test.set_frame(nullptr);
  console.Clear();
  ASSERT_EQ(test.Remove(), 0);
  EXPECT_EQ(MaskTimeStamps(console.ErrorText()), "TS Start\nTS Finish\n");
  EXPECT_NE(console.OutputText().find("Remove 2 files, 0 directories\n"), std::string::npos);
  EXPECT_TRUE(dir.List().empty());
}

}  // namespace
}  // namespace dtk
