// The tester's create, verify and remove phases on a real scratch
// directory, with faults injected where the disk would not produce them on
// demand. Transcripts name the scratch directory "T".
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "engine/file_engine.h"
#include "engine/tester.h"
#include "fault_file_system.h"
#include "platform/process.h"
#include "support/crc32.h"
#include "test_util.h"
#include "tree/planner.h"

namespace dtk {
namespace {

class EngineTest : public ::testing::Test {
 protected:
  // Plans `total` bytes in files of min..max bytes.
  void Plan(int64_t total, int64_t min, int64_t max, uint32_t dirFiles = 100,
            uint32_t dirLevel = 4) {
    MtDefaultRandom random;
    ASSERT_EQ(CreateFileList(plan, Config(total, min, max, dirFiles, dirLevel), random), 0);
  }
  // Plans files of these sizes in the root, numbered from 0.
  void PlanFiles(const std::vector<int64_t>& sizes) {
    for (int64_t size : sizes) {
      FileEntry entry;
      entry.number = static_cast<int32_t>(plan.size());
      entry.size = size;
      plan.Append(std::move(entry));
    }
  }
  int Create() { return test.Create(plan, TreeRoot(fs, dir.path())); }
  int Verify() { return test.Verify(plan, TreeRoot(fs, dir.path())); }
  int Remove() { return test.Remove(plan, TreeRoot(fs, dir.path())); }
  int RemovePlanned() { return test.RemovePlanned(plan, TreeRoot(fs, dir.path())); }
  // The lines so far, the scratch directory named "T", then forgotten.
  std::string Lines() {
    std::string text = Replaced(MaskTimeStamps(console.Transcript()), dir.path(), "T");
    console.Clear();
    return text;
  }

  // Gives the tester `kind`'s engine, which sees the faults of `fs`; skips
  // the test where the system cannot give it.
  void UseEngine(EngineKind kind) {
    std::string why;
    engine = MakeFileEngine({kind, kDefaultEngineDepth, &fs, nullptr, &fs}, &why);
    if (!why.empty()) GTEST_SKIP() << why;
    test.set_engine(engine.get());
  }

  // Plays a file system that takes unbuffered I/O in blocks of `block`
  // bytes, and has the tester use it.
  void PlayDirectIo(uint32_t block) {
    fs.PlayDirectIo(block);
    test.set_direct(block);
  }
  // Every file was opened for unbuffered I/O (the fault double fails any
  // transfer on one that is not whole aligned blocks).
  void ExpectAllUnbuffered(size_t from = 0) {
    for (size_t i = from; i < fs.calls().size(); ++i) {
      const FaultFileSystem::Call& call = fs.calls()[i];
      bool open = call.op == Op::kOpenForWrite || call.op == Op::kOpenForRead;
      EXPECT_TRUE(!open || call.direct) << call.path;
    }
  }

  TempDir dir;
  FaultFileSystem fs{SystemFileSystem()};
  MemoryConsole console;
  FixedClock clock;
  // Paths joined with "/", which every system takes.
  DtkTest test{fs, console, clock, kPosixPathStyle};
  FileList plan;
  std::unique_ptr<FileEngine> engine;
};

// A test run with each engine: what is printed, made and left is the same.
class BothEngines : public EngineTest, public ::testing::WithParamInterface<EngineKind> {
 protected:
  void SetUp() override { UseEngine(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Engines, BothEngines,
                         ::testing::Values(EngineKind::kSync, EngineKind::kUring),
                         [](const auto& info) { return EngineName(info.param); });

TEST_P(BothEngines, PatternIsTheGeneratorOutputLaidDownAsARingIn128KiBTransfers) {
  // Files take consecutive bytes of the generator's output, little-endian,
  // round a ring of 262,144 bytes: the second file ends a byte short of the
  // end of the ring, the third takes its last byte, and the fourth starts
  // again at its first. The bytes are checked against the standard
  // library's generator, not against the tester's own pattern or CRC.
  PlanFiles({10, 262133, 1, 300000, 0, 131072, 131073});
  ASSERT_EQ(Create(), 0);
  // Transfers carry at most 128 KiB, and the last read of a file asks one
  // byte more than is left, to find a file longer than planned.
  EXPECT_EQ(fs.CountsOf(Op::kWrite), (std::vector<uint32_t>{10, 131072, 131061, 1, 131072, 131072,
                                                            37856, 131072, 131072, 1}));
  ASSERT_EQ(Verify(), 0);
  EXPECT_EQ(fs.CountsOf(Op::kRead), (std::vector<uint32_t>{11, 131072, 131062, 2, 131072, 131072,
                                                           37857, 1, 131072, 1, 131072, 2}));
  fs.LimitReads(50000);  // short reads are continued, not errors
  fs.FailCall(Op::kClose, fs.CountOf(Op::kClose) + 1, EIO);  // nor is a close after reading
  ASSERT_EQ(Verify(), 0);
  EXPECT_EQ(test.verified().files, 7u);
  EXPECT_EQ(test.verified().directoriesOrErrors, 0u);
  EXPECT_EQ(fs.CountOf(Op::kOpenForRead), 14);
  EXPECT_EQ(fs.CountOf(Op::kClose), 21);
  std::mt19937 generator;  // MT19937 with the default seed 5489
  std::string ring;
  for (int i = 0; i < 65536; ++i) {
    uint32_t word = generator();
    for (int k = 0; k < 4; ++k) ring.push_back(static_cast<char>(word >> (8 * k)));
  }
  EXPECT_EQ(ReadWholeFile(dir / "file-0"), ring.substr(0, 10));
  EXPECT_EQ(ReadWholeFile(dir / "file-1"), ring.substr(10, 262133));
  EXPECT_EQ(ReadWholeFile(dir / "file-2"), ring.substr(262143));
  EXPECT_EQ(ReadWholeFile(dir / "file-3"), ring + ring.substr(0, 300000 - 262144));
  EXPECT_EQ(ReadWholeFile(dir / "file-4"), "");
  EXPECT_EQ(test.patternPos(), (300000u + 131072 + 131073) % 262144);  // after a whole ring
  // The CRC of a stretch of the ring, also one that wraps, is that of its
  // bytes.
  auto crcOf = [](const std::string& bytes) {
    Crc32 crc;
    crc.Update(static_cast<uint32_t>(bytes.size()), bytes.data());
    return crc.Value();
  };
  EXPECT_EQ(test.PatternCrc(0, 10), 0xACFF1B51u);
  EXPECT_EQ(test.PatternCrc(10, 262134), crcOf(ring.substr(10)));
  EXPECT_EQ(test.PatternCrc(0, 300000), crcOf(ring + ring.substr(0, 300000 - 262144)));
  EXPECT_EQ(test.PatternCrc(262000, 1000), crcOf(ring.substr(262000) + ring.substr(0, 856)));
  EXPECT_EQ(test.PatternCrc(0, 524288), 0xEFE12EDCu);  // the pattern twice over
  EXPECT_EQ(test.PatternCrc(5, 0), 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(test.pattern()) % 4096, 0u);
}

// A fault in one call, or an entry that another user planted where the plan
// puts one: what the create phase prints about it, that only what it made
// is removed, and that nothing outside the tree is touched.
struct FaultCase {
  const char* name;
  Op op;
  int nth;
  ErrorCode code;  // the fault's, or the reason a plant is refused
  bool sync;
  int failsAt;  // the number of the file whose line comes before the error
  const char* error;
  const char* removed;  // the remove phase's counts; "": no remove phase
  // An entry made at `plantAt` (instead of a fault) by `plant`, e.g. symlink,
  // from `target`, a path in a directory outside the tree.
  const char* plantAt = nullptr;
  int (*plant)(const char* target, const char* at) = nullptr;
  const char* target = "";
};

const FaultCase kFaultCases[] = {
    {"OpenFails", Op::kOpenForWrite, 2, EACCES, false, 1, "CreateFile Error!",
     "1 files, 1 directories"},
    {"WriteFails", Op::kWrite, 2, ENOSPC, false, 1, "WriteFile Error!", "2 files, 1 directories"},
    {"CloseFails", Op::kClose, 1, EIO, false, 0, "WriteFile Error!", "1 files, 0 directories"},
    {"FlushFails", Op::kFlush, 1, EIO, true, 0, "WriteFile Error!", "1 files, 0 directories"},
    {"DirectoryFlushFails", Op::kFlushDirectory, 1, EIO, true, 2, "WriteFile Error!",
     "3 files, 2 directories"},
    // The directory is made but cannot be opened: it is counted, its first
    // file fails with the reason, and it goes again.
    {"DirectoryCannotBeOpened", Op::kOpenDirectory, 2, EACCES, false, 2, "CreateFile Error!",
     "2 files, 2 directories"},
    {"MemoryRunsOut", Op::kOpenForWrite, 2, kThrowBadAlloc, false, 1, "Memory Error!",
     "1 files, 1 directories"},
#ifndef _WIN32
    {"LinkAtADirectory", Op::kCount, 0, ENOTDIR, false, 1, "CreateFile Error!",
     "1 files, 0 directories", "DIR-0", symlink},
    {"FileAtADirectory", Op::kCount, 0, ENOTDIR, false, 1, "CreateFile Error!",
     "1 files, 0 directories", "DIR-0",
     [](const char*, const char* at) { return mknod(at, S_IFREG, 0); }},
#endif
};

class EngineFaultTest : public EngineTest,
                        public ::testing::WithParamInterface<std::tuple<EngineKind, FaultCase>> {
 protected:
  void SetUp() override { UseEngine(std::get<0>(GetParam())); }
};

TEST_P(EngineFaultTest, EndsTheCreatePhaseAndOnlyWhatWasMadeIsRemoved) {
  const FaultCase& c = std::get<1>(GetParam());
  // The uring engine opens files in batches, away from the file's line.
  if (c.code == kThrowBadAlloc && std::get<0>(GetParam()) == EngineKind::kUring) GTEST_SKIP();
  TempDir outside;
  WriteWholeFile(outside / "victim", "precious");
  Plan(3, 1, 1, 1, 4);  // file-0, DIR-0/file-1, DIR-0/DIR-1/file-2
  if (c.plant) {
    ASSERT_EQ(c.plant((outside / c.target).c_str(), (dir / c.plantAt).c_str()), 0);
  } else {
    fs.FailCall(c.op, c.nth, c.code);
  }
  test.set_sync(c.sync);
  EXPECT_EQ(Create(), -1);
  const char* paths[] = {"file-0", "DIR-0/file-1", "DIR-0/DIR-1/file-2"};
  std::string tail = "E CreateFile T/" + std::string(paths[c.failsAt]) + " (1 bytes) No." +
                     std::to_string(c.failsAt + 1) + "\nE " + c.error + ": " +
                     SystemText(c.code == kThrowBadAlloc ? OutOfMemoryError() : c.code) +
                     "\nE TS Finish\nE DtkTest Error!\n";
  std::string lines = Lines();
  EXPECT_EQ(lines.substr(lines.size() - std::min(lines.size(), tail.size())), tail) << lines;
  // Every directory the walk opened is closed, however it ended, and the
  // target.
  if (c.code == kThrowBadAlloc) {
    EXPECT_EQ(fs.CountOf(Op::kCloseDirectory), fs.CountOf(Op::kOpenDirectory) + 1);
  }
  EXPECT_EQ(Remove(), 0);
  lines = Lines();
  if (*c.removed == '\0') {
    EXPECT_EQ(lines, "");  // nothing was made: no phase at all
  } else {
    EXPECT_NE(lines.find("E TS Finish\nO Remove " + std::string(c.removed) + "\n"),
              std::string::npos)
        << lines;
  }
  EXPECT_EQ(dir.List().size(), c.plant ? 1u : 0u);  // the plant stays as it was
  EXPECT_EQ(ReadWholeFile(outside / "victim"), "precious");
  EXPECT_EQ(outside.List(), std::vector<std::string>{"victim"});
}

INSTANTIATE_TEST_SUITE_P(Faults, EngineFaultTest,
                         ::testing::Combine(::testing::Values(EngineKind::kSync,
                                                              EngineKind::kUring),
                                            ::testing::ValuesIn(kFaultCases)),
                         [](const auto& info) {
                           return std::string(std::get<1>(info.param).name) + "_" +
                                  EngineName(std::get<0>(info.param));
                         });

#ifndef _WIN32
// Fails the test if it runs for ten seconds, and lets go whatever waits on
// a FIFO at one of `paths` then (the FIFO's other end is opened and closed
// again, as often as it takes): no FIFO is ever waited on.
struct FifoGuard {
  std::vector<std::string> paths;
  std::atomic<bool> done{false};
  std::thread thread{[this] {
    for (int waited = 0; !done; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (waited == 10000) signal(SIGPIPE, SIG_IGN), ADD_FAILURE() << "a FIFO was waited on";
      if (waited >= 10000) {
        for (const auto& path : paths) close(open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW));
      }
    }
  }};
  ~FifoGuard() { done = true, thread.join(); }
};

// What another user plants at a planned name, given a victim file outside
// the tree: a link to it (to its directory where a thread's directory
// goes), a second name of it, a FIFO, a device (a copy of /dev/null, made
// only by root); why the create phase refuses it, and why the verify phase
// does (0: it is opened for reading only, and holds the wrong size).
struct Hostile {
  const char* name;
  int (*plant)(const char* victim, const char* at);
  ErrorCode createRefusal;
  ErrorCode verifyRefusal;
};

const Hostile kHostiles[] = {
    {"Link", symlink, ELOOP, ELOOP},
    {"HardLink", link, EMLINK, 0},
    {"Fifo", [](const char*, const char* at) { return mkfifo(at, 0600); }, EEXIST, 0},
    {"Device", [](const char*, const char* at) { return mknod(at, S_IFCHR | 0600, makedev(1, 3)); },
     EEXIST, 0}};

// Where and when it is planted, in a plan of eight files of a byte (one
// batch of the uring engine): at the file the create phase fails at; at a
// later one, while an earlier one fails (a directory is there), and in
// place of a file made before that, before the remove phase; in place of a
// file made, before the verify phase, or before the cleanup walk of a kept
// tree (-noCreate); where a thread's directory goes, before whole runs.
enum class Place { kCreate, kAfterAFailure, kVerify, kCleanup, kThreadDirectory };
const char* const kPlaces[] = {"AtTheFailure", "AfterAFailure", "BeforeVerify", "BeforeCleanup",
                               "AtAThreadsDirectory"};

class HostileEntryTest
    : public EngineTest,
      public ::testing::WithParamInterface<std::tuple<EngineKind, Hostile, Place>> {
 protected:
  void SetUp() override { UseEngine(std::get<0>(GetParam())); }
};

TEST_P(HostileEntryTest, IsNeitherFollowedNorWaitedOnNorWrittenAndNothingOutsideIsTouched) {
  const auto& [kind, hostile, place] = GetParam();
  TempDir outside;
  const std::string victim = outside / "file-0";
  WriteWholeFile(victim, "precious");
  // What an entry is, whatever reads it (its access time aside).
  auto identity = [](const std::string& path) {
    struct stat s {};
    EXPECT_EQ(lstat(path.c_str(), &s), 0) << path;
    return std::tuple(s.st_dev, s.st_ino, s.st_mode, s.st_uid, s.st_size, s.st_mtim.tv_sec,
                      s.st_mtim.tv_nsec);
  };
  const auto before = identity(victim);
  auto plant = [&](const std::string& name) {
    std::filesystem::remove(dir / name);
    const bool intoDirectory = name[0] == 't' && hostile.plant == symlink;
    return hostile.plant((intoDirectory ? outside.path() : victim).c_str(), (dir / name).c_str());
  };
  if (plant("file-1") != 0) GTEST_SKIP() << SystemText(errno);  // a device, but not as root
  std::filesystem::remove(dir / "file-1");
  FifoGuard guard{{dir / "file-1", dir / "file-5", dir / "thread-1"}};
  PlanFiles({1, 1, 1, 1, 1, 1, 1, 1});
  const char* survivor = place == Place::kCreate             ? "file-1"
                         : place == Place::kAfterAFailure    ? "file-5"
                         : place == Place::kThreadDirectory ? "thread-1"
                                                             : nullptr;
  ASSERT_EQ(survivor != nullptr ? plant(survivor) : 0, 0);
  const auto planted = survivor != nullptr ? identity(dir / survivor) : before;
  std::vector<std::string> left;  // what is in the target at the end
  std::string lines;
  if (place == Place::kThreadDirectory) {
    // Its thread fails in each walk (none runs without the directory), the
    // other goes on.
    for (const char* option : {"-sync", "-noRemove", "-noCreate"}) {
      ToolRun run = RunInProcess({dir.path().c_str(), "-filesize", "1", "-threads", "2", "-engine",
                                  EngineName(kind), option});
      EXPECT_EQ(run.status, 2);
      EXPECT_FALSE(LinesStartingWith(run.lines, "E [thread 1] ").empty()) << run.lines;
      EXPECT_TRUE(LinesStartingWith(run.lines, "E [thread 0] ").empty()) << run.lines;
    }
  } else if (survivor != nullptr) {
    // A file of someone else's at a later name stays too.
    WriteWholeFile(dir / "file-6", "theirs");
    EXPECT_EQ(chown((dir / "file-6").c_str(), kOtherUser, kOtherUser) == 0, geteuid() == 0);
    const bool after = place == Place::kAfterAFailure;
    ASSERT_TRUE(!after || std::filesystem::create_directory(dir / "file-3"));
    EXPECT_EQ(Create(), -1);
    lines = Lines();
    const std::string fails = after ? "3" : "1";
    EXPECT_EQ(lines.substr(lines.find("E CreateFile T/file-" + fails)),
              "E CreateFile T/file-" + fails + " (1 bytes) No." + (after ? "4" : "2") +
                  "\nE CreateFile Error!: " + SystemText(after ? EISDIR : hostile.createRefusal) +
                  "\nE TS Finish\nE DtkTest Error!\n");
    ASSERT_EQ(after ? plant("file-1") : 0, 0);
    left = after ? std::vector<std::string>{"file-3/", "file-5", "file-6"}
                 : std::vector<std::string>{"file-1", "file-6"};
  } else {
    ASSERT_EQ(Create(), 0);
    ASSERT_EQ(plant("file-1"), 0);
  }
  if (place == Place::kVerify) {
    console.Clear();
    EXPECT_EQ(Verify(), -1);
    lines = Lines();
    const std::string error = hostile.verifyRefusal != 0
                                  ? "CreateFile Error!: " + SystemText(hostile.verifyRefusal)
                                  : "FileSize Error!";
    EXPECT_EQ(lines.substr(lines.find("No.2\n")),
              "No.2\nE " + error + "\nE TS Finish\nE Verify Error!\n");
  }
  if (place != Place::kThreadDirectory) {
    EXPECT_EQ(place == Place::kCleanup ? RemovePlanned() : Remove(), 0);
    const char* removed = place == Place::kCreate ? "1" : place == Place::kAfterAFailure ? "3" : "8";
    EXPECT_NE(Lines().find(std::string("O Remove ") + removed + " files, 0 directories\n"),
              std::string::npos);
    EXPECT_EQ(dir.List(), left);
  }
  if (survivor != nullptr) {
    EXPECT_EQ(identity(dir / survivor), planted);
  }
  if (!left.empty()) {
    EXPECT_EQ(ReadWholeFile(dir / "file-6"), "theirs");
  }
  EXPECT_EQ(ReadWholeFile(victim), "precious");
  EXPECT_EQ(identity(victim), before);
  EXPECT_EQ(outside.List(), std::vector<std::string>{"file-0"});
}

INSTANTIATE_TEST_SUITE_P(
    Plants, HostileEntryTest,
    ::testing::Combine(::testing::Values(EngineKind::kSync, EngineKind::kUring),
                       ::testing::ValuesIn(kHostiles),
                       ::testing::Values(Place::kCreate, Place::kAfterAFailure, Place::kVerify,
                                         Place::kCleanup, Place::kThreadDirectory)),
    [](const auto& info) {
      return std::string(std::get<1>(info.param).name) +
             kPlaces[static_cast<int>(std::get<2>(info.param))] + "_" +
             EngineName(std::get<0>(info.param));
    });
#endif

// -direct: the block arithmetic of unbuffered transfers against a file
// system that plays any block size and refuses what is not aligned.
constexpr int64_t kChunk = 131072;

struct BlockCase {
  const char* name;
  uint32_t blockSize;
  std::vector<int64_t> sizes;
};

class DirectBlockTest : public EngineTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(DirectBlockTest, EveryTransferIsWholeAlignedBlocksAndTheFilesHoldThePlan) {
  const BlockCase& c = GetParam();
  PlanFiles(c.sizes);
  PlayDirectIo(c.blockSize);
  test.set_sync(true);
  ASSERT_EQ(Create(), 0) << console.Transcript();
  // Every file is still flushed with -sync.
  EXPECT_EQ(fs.CountOf(Op::kFlush), static_cast<int>(c.sizes.size()));
  // The verify phase finds each file's planned bytes (its CRC) and no more.
  ASSERT_EQ(Verify(), 0) << console.Transcript();
  EXPECT_EQ(test.verified().directoriesOrErrors, 0u);
  for (size_t i = 0; i < c.sizes.size(); ++i) {
    EXPECT_EQ(std::filesystem::file_size(dir / ("file-" + std::to_string(i))),
              static_cast<uintmax_t>(c.sizes[i]));
  }
  ExpectAllUnbuffered();
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DirectBlockTest,
    ::testing::Values(
        // A byte, a block, a byte over; a 128 KiB chunk, a byte over; a
        // file whose last chunk is short of a block; an empty file.
        BlockCase{"Block4096", 4096, {1, 4096, 4097, kChunk, kChunk + 1, 3 * kChunk + 4095, 0}},
        BlockCase{"Block8192", 8192, {1, 8192, 8193, kChunk, kChunk + 1, 2 * kChunk + 8191, 0}},
        BlockCase{"Block512", 512, {1, 511, 512, 513, kChunk - 1, kChunk + 513}},
        // A block larger than a transfer through the cache.
        BlockCase{"Block256KiB", 262144, {1, kChunk, 262144, 262145, 600000}}),
    [](const auto& info) { return std::string(info.param.name); });

// A file longer or shorter than planned stops the verify phase there, read
// with either engine through the cache, then unbuffered in whole blocks.
TEST_P(BothEngines, AFileLongerOrShorterThanPlannedStopsTheVerifyPhaseThere) {
  // Planned sizes, and the size each file is given in its turn: a byte
  // short, a byte over, far over; a byte over a block, and over a chunk (the
  // next read asks a block); short by whole blocks; ending inside a block
  // (nothing is read from there).
  const std::vector<std::pair<int64_t, int64_t>> cases = {
      {100, 99},      {100, 101},      {100, 100100}, {8192, 8193}, {kChunk, kChunk + 1},
      {20000, 16384}, {200000, 140000}};
  for (const auto& c : cases) PlanFiles({c.first});
  for (bool direct : {false, true}) {
    if (direct && GetParam() == EngineKind::kUring) break;
    if (direct) PlayDirectIo(8192);
    const size_t from = fs.calls().size();
    for (size_t i = 0; i < cases.size(); ++i) {
      ASSERT_EQ(Create(), 0);
      std::filesystem::resize_file(dir / ("file-" + std::to_string(i)),
                                   static_cast<uintmax_t>(cases[i].second));
      console.Clear();
      EXPECT_EQ(Verify(), -1);
      std::string lines = Lines();
      EXPECT_NE(lines.find(" No." + std::to_string(i + 1) +
                           "\nE FileSize Error!\nE TS Finish\nE Verify Error!\n"),
                std::string::npos)
          << lines;
      EXPECT_EQ(test.verified().files, i);
    }
    if (direct) ExpectAllUnbuffered(from);
  }
  // A read that fails stops the phase there too; every file opened is
  // closed (the create phases closed one file each).
  fs.FailCall(Op::kRead, fs.CountOf(Op::kRead) + 1, EIO);
  EXPECT_EQ(Verify(), -1);
  EXPECT_NE(Lines().find("No.1\nE ReadFile Error!: " + SystemText(EIO) + "\n"), std::string::npos);
  EXPECT_EQ(fs.CountOf(Op::kOpenForRead), fs.CountOf(Op::kClose) - fs.CountOf(Op::kOpenForWrite));
}

TEST_P(BothEngines, RemoveFailuresSayWhyAndStopButEntriesGoneSinceAreNotMissed) {
  Plan(6, 1, 1, 2, 4);  // file-0,1; DIR-0: file-2,3; DIR-0/DIR-1: file-4,5
  ASSERT_EQ(Create(), 0);
  fs.FailCall(Op::kDeleteFile, 1, EBUSY);
  console.Clear();
  EXPECT_EQ(Remove(), -1);
  EXPECT_EQ(Lines(),
            "E TS Start\nE RemoveFile T/DIR-0/DIR-1/file-5 (1 bytes) No.1\n"
            "E DeleteFile Error!: " +
                SystemText(EBUSY) + "\nE TS Finish\nE Remove Error!\n");
  // Removals in flight with it are made all the same.
  EXPECT_EQ(std::filesystem::exists(dir / "DIR-0/DIR-1/file-4"), GetParam() == EngineKind::kSync);
  EXPECT_EQ(dir.List().size(), GetParam() == EngineKind::kSync ? 8u : 7u);
  // Deleted by hand, and a directory replaced by a plain file: passed over
  // without a line, as is everything below the file.
  std::filesystem::remove(dir / "file-1");
  std::filesystem::remove_all(dir / "DIR-0/DIR-1");
  WriteWholeFile(dir / "DIR-0/DIR-1", "x");
  console.Clear();
  EXPECT_EQ(Remove(), -1);
  // A foreign file in a directory of the tree stops the phase there.
  EXPECT_EQ(Lines(),
            "E TS Start\nE RemoveFile T/DIR-0/file-3 (1 bytes) No.1\n"
            "E RemoveFile T/DIR-0/file-2 (1 bytes) No.2\nE RemoveDirecrory T/DIR-0\n"
            "E RemoveDirectory Error!: " +
                SystemText(kNotEmpty) + "\nE TS Finish\nE Remove Error!\n");
  // Removing the whole plan of an earlier run passes over what is gone,
  // also below a directory that is a plain file now.
  std::filesystem::remove(dir / "DIR-0/DIR-1");
  std::filesystem::remove(dir / "DIR-0");
  WriteWholeFile(dir / "DIR-0", "not a directory");
  EXPECT_EQ(RemovePlanned(), 0);
  EXPECT_EQ(Lines(),
            "E TS Start\nE RemoveFile T/file-0 (1 bytes) No.1\nE TS Finish\n"
            "O Remove 1 files, 0 directories\nO Remove filesize 1 bytes\n"
            "O Remove time 1 sec\nO Remove speed 0.0KB/sec (1B/sec)\n");
  EXPECT_EQ(dir.List(), std::vector<std::string>{"DIR-0"});
#ifndef _WIN32
  // Nor is a link in the place of a directory followed.
  TempDir outside;
  WriteWholeFile(outside / "file-2", "theirs");
  std::filesystem::remove(dir / "DIR-0");
  symlink(outside.path().c_str(), (dir / "DIR-0").c_str());
  EXPECT_EQ(RemovePlanned(), 0);
  EXPECT_EQ(ReadWholeFile(outside / "file-2"), "theirs");
#endif
}

TEST_P(BothEngines, StopRequestEndsCreateAndVerifyButNotRemove) {
  Plan(4, 1, 1, 2, 4);
  RequestStop(2);
  EXPECT_EQ(Create(), -1);
  EXPECT_EQ(Verify(), -1);
  EXPECT_EQ(Lines(),
            "E TS Start\nE TS Finish\nE DtkTest Error!\nE TS Start\nE TS Finish\n"
            "E Verify Error!\n");
  ClearStopRequest();
  ASSERT_EQ(Create(), 0);
  RequestStop(15);
  EXPECT_EQ(Remove(), 0);
  ClearStopRequest();
  EXPECT_TRUE(dir.List().empty());
}

// The cleanup walk takes an entry whose path is exactly as long as the
// system takes, and passes over one a byte longer.
TEST_F(EngineTest, TheCleanupWalkTakesPathsUpToTheLongest) {
  PlanFiles({1});
  for (size_t limit : {size_t{8}, size_t{7}}) {  // "T/file-0"
    int visited = 0;
    WalkPlannedTreeReversed(
        plan, "T", NativePathStyle(), limit, WalkDir(), [](const FileEntry&) { return true; },
        [](const FileEntry&, const std::string&, size_t, const WalkDir&, WalkDir*) { return 0; },
        [&](const FileEntry&, const std::string& path, size_t, const WalkDir&) {
          visited += path.size() == 8;
          return 0;
        },
        [](const WalkDir&) {});
    EXPECT_EQ(visited, limit == 8 ? 1 : 0) << limit;
  }
}

#ifndef _WIN32
// Another thread swaps DIR-0 with a link to the outside, back and forth,
// while the tree is made and removed again and again: nothing outside the
// tree is written, truncated or removed.
TEST_P(BothEngines, ADirectorySwappedForALinkDuringTheRunLeadsNowhere) {
  TempDir outside;
  WriteWholeFile(outside / "victim", "precious");
  Plan(400, 1, 1, 20, 1);
  std::atomic<bool> done{false};
  std::string link = dir / "swap";
  symlink(outside.path().c_str(), link.c_str());
  std::thread swapper([&] {
    while (!done) {
      renameat2(AT_FDCWD, (dir / "DIR-0").c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
    }
  });
  for (int i = 0; i < 20; ++i) {
    Create();
    Remove();
  }
  done = true;
  swapper.join();
  EXPECT_EQ(ReadWholeFile(outside / "victim"), "precious");
  EXPECT_EQ(outside.List(), std::vector<std::string>{"victim"});
}
#endif

}  // namespace
}  // namespace dtk
