// -direct: the block arithmetic of unbuffered transfers against a file
// system that plays any block size and refuses what is not aligned; a file
// system that refuses unbuffered I/O; real runs where the file system takes
// it, which must leave the pages of the files out of the system's cache.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "driver/run.h"
#include "engine/tester.h"
#include "fault_file_system.h"
#include "test_util.h"

namespace dtk {
namespace {

// Plans files of these sizes in the root, numbered from 0.
void PlanFiles(const std::vector<int64_t>& sizes, FileList& plan) {
  for (int64_t size : sizes) {
    FileEntry entry;
    entry.number = static_cast<int32_t>(plan.size());
    entry.size = size;
    plan.Append(std::move(entry));
  }
}

std::string FileName(size_t number) { return "file-" + std::to_string(number); }

struct BlockCase {
  const char* name;
  uint32_t blockSize;
  std::vector<int64_t> sizes;
};

class DirectBlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(DirectBlockTest, EveryTransferIsWholeAlignedBlocksAndTheFilesHoldThePlan) {
  const BlockCase& c = GetParam();
  FileList plan;
  PlanFiles(c.sizes, plan);
  MemoryConsole console;
  FixedClock clock;
  TempDir direct;
  FaultFileSystem fs(SystemFileSystem());
  fs.PlayDirectIo(c.blockSize);
  DtkTest test(fs, console, clock, kPosixPathStyle);
  test.set_direct(c.blockSize);
  ASSERT_EQ(test.Create(plan, TreeRoot(fs, direct.path())), 0) << console.Transcript();
  ASSERT_EQ(test.Verify(plan, TreeRoot(fs, direct.path())), 0) << console.Transcript();
  EXPECT_EQ(test.verified().files, c.sizes.size());
  EXPECT_EQ(test.verified().second, 0u);  // CRC errors
  int transfers = 0;
  for (const auto& call : fs.calls()) {
    if (call.op == Op::kOpenForWrite || call.op == Op::kOpenForRead) {
      EXPECT_TRUE(call.direct);
    }
    if (call.op == Op::kWrite || call.op == Op::kRead) {
      ++transfers;
      EXPECT_TRUE(call.aligned) << OpName(call.op) << " of " << call.count;
      EXPECT_EQ(call.result, 0u);
    }
  }
  EXPECT_GT(transfers, 0);

  // Byte for byte what the same plan leaves through the cache.
  TempDir cached;
  FaultFileSystem plain(SystemFileSystem());
  DtkTest reference(plain, console, clock, kPosixPathStyle);
  ASSERT_EQ(reference.Create(plan, TreeRoot(plain, cached.path())), 0);
  ASSERT_EQ(direct.List(), cached.List());
  for (size_t i = 0; i < c.sizes.size(); ++i) {
    std::string bytes = ReadWholeFile(direct / FileName(i));
    EXPECT_EQ(static_cast<int64_t>(bytes.size()), c.sizes[i]) << FileName(i);
    EXPECT_TRUE(bytes == ReadWholeFile(cached / FileName(i))) << FileName(i);
  }
}

constexpr int64_t kChunk = 131072;

INSTANTIATE_TEST_SUITE_P(
    Sizes, DirectBlockTest,
    ::testing::Values(
        // A byte, a block, a byte over; a 128 KiB chunk, a byte over; a
        // file whose last chunk is short of a block; an empty file.
        BlockCase{"Block4096", 4096, {1, 4096, 4097, kChunk, kChunk + 1, 3 * kChunk + 4095, 0}},
        BlockCase{"Block8192", 8192, {1, 8192, 8193, kChunk, kChunk + 1, 2 * kChunk + 8191, 0}},
        BlockCase{"Block512", 512, {1, 511, 512, 513, kChunk - 1, kChunk + 513}},
        // A block larger than a transfer of the cache's size.
        BlockCase{"Block256KiB", 262144, {1, kChunk, 262144, 262145, 600000}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DirectIoTest, FilesLongerOrShorterThanPlannedAreFoundReadingWholeBlocks) {
  constexpr uint32_t kBlock = 8192;
  struct SizeCase {
    int64_t planned;
    int64_t onDisk;
  } cases[] = {
      {8192, 8193},          // one byte over a block
      {kChunk, kChunk + 1},  // one byte over a chunk: the next read asks a block
      {100, 99},
      {20000, 16384},    // short by whole blocks
      {200000, 140000},  // ends inside a block: no read from there
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.planned) + " planned, " + std::to_string(c.onDisk) + " there");
    FileList plan;
    PlanFiles({c.planned}, plan);
    TempDir dir;
    MemoryConsole console;
    FixedClock clock;
    FaultFileSystem fs(SystemFileSystem());
    fs.PlayDirectIo(kBlock);
    DtkTest test(fs, console, clock, kPosixPathStyle);
    test.set_direct(kBlock);
    ASSERT_EQ(test.Create(plan, TreeRoot(fs, dir.path())), 0);
    std::filesystem::resize_file(dir / "file-0", static_cast<uintmax_t>(c.onDisk));
    console.Clear();
    EXPECT_EQ(test.Verify(plan, TreeRoot(fs, dir.path())), -1);
    EXPECT_NE(console.ErrorText().find(" No.1\nFileSize Error!\n"), std::string::npos)
        << console.ErrorText();
    for (const auto& call : fs.calls()) EXPECT_TRUE(call.aligned);
  }
}

struct InProcessRun {
  int status;
  std::string lines;  // time stamps masked, streams tagged, the target "T"
};

InProcessRun RunTool(const std::string& target, std::vector<const char*> words, FileSystem& fs) {
  words.insert(words.begin(), {"dtk", target.c_str()});
  MemoryConsole console;
  FixedClock clock;
  MtDefaultRandom sizes;
  RunEnvironment environment{fs, console, clock, sizes, kPosixOptionRules, kPosixPathStyle, 0};
  int status = RunDtk(static_cast<int>(words.size()), words.data(), environment);
  std::string lines = MaskTimeStamps(console.Transcript());
  for (size_t at; (at = lines.find(target)) != std::string::npos;) {
    lines.replace(at, target.size(), "T");
  }
  return {status, lines};
}

TEST(DirectIoTest, ARunPrintsTheSameLinesAndReportsItsBlockSize) {
  TempDir plainDir;
  TempDir dir;
  TempDir reports;
  const std::vector<const char*> words = {"-filesize", "1",     "-maxFileSize", "150000",
                                          "-verify",   "-sync", "-maxDirFiles", "5"};
  FaultFileSystem plainFs(SystemFileSystem());
  InProcessRun plain = RunTool(plainDir.path(), words, plainFs);
  ASSERT_EQ(plain.status, 0) << plain.lines;

  FaultFileSystem fs(SystemFileSystem());
  fs.PlayDirectIo(8192);
  const std::string report = reports / "r.json";
  std::vector<const char*> directWords = words;
  directWords.insert(directWords.end(), {"-DIRECT", "-noRemove", "-report", report.c_str()});
  InProcessRun direct = RunTool(dir.path(), directWords, fs);
  ASSERT_EQ(direct.status, 0) << direct.lines;
  // Without the remove phase, the lines are the other run's up to there.
  EXPECT_EQ(direct.lines, plain.lines.substr(0, direct.lines.size()));
  EXPECT_EQ(plain.lines.substr(direct.lines.size()).find("E TS Start\nE RemoveFile"), 0u);
  int files = 0;
  int unaligned = 0;  // files that end inside a block
  for (const std::string& name : dir.List()) {
    if (name.back() == '/') continue;
    ++files;
    unaligned += std::filesystem::file_size(dir / name) % 8192 != 0;
  }
  // -sync still flushes every file; each file that ends inside a block is
  // cut to its size.
  EXPECT_EQ(fs.CountOf(Op::kFlush), files);
  EXPECT_EQ(fs.CountOf(Op::kSetFileSize), unaligned);
  for (const auto& call : fs.calls()) EXPECT_TRUE(call.aligned && call.result == 0);
  nlohmann::json json = nlohmann::json::parse(ReadWholeFile(report));
  EXPECT_EQ(json["settings"]["direct"], true);
  EXPECT_EQ(json["directBlockSize"], 8192);
  EXPECT_EQ(json["phases"][0]["operations"]["truncate"]["count"], unaligned);

  // A kept tree is verified with unbuffered reads too.
  FaultFileSystem later(SystemFileSystem());
  later.PlayDirectIo(4096);
  InProcessRun verify = RunTool(dir.path(),
                                {"-filesize", "1", "-maxFileSize", "150000", "-maxDirFiles", "5",
                                 "-noCreate", "-verify", "-direct"},
                                later);
  EXPECT_EQ(verify.status, 0) << verify.lines;
  EXPECT_EQ(later.CountOf(Op::kOpenForRead), files);
  for (const auto& call : later.calls()) {
    EXPECT_TRUE(call.aligned && call.result == 0);
    if (call.op == Op::kOpenForRead) {
      EXPECT_TRUE(call.direct);
    }
  }
  EXPECT_TRUE(dir.List().empty());
}

TEST(DirectIoTest, AFileSystemThatRefusesIsNamedBeforeAnyPhaseAndNothingIsTouched) {
  TempDir dir;
  TempDir reports;
  const std::string report = reports / "r.json";
  FaultFileSystem fs(SystemFileSystem());
  fs.RefuseDirectIo(kInvalidArgument);
  InProcessRun run =
      RunTool(dir.path(), {"-verify", "-direct", "-filesize", "1", "-report", report.c_str()}, fs);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines, "E Direct Error!: the file system of T refuses unbuffered I/O (-direct): " +
                           SystemText(kInvalidArgument) + "\n");
  EXPECT_TRUE(dir.List().empty());
  EXPECT_EQ(
      fs.CountOf(Op::kMakeDirectory) + fs.CountOf(Op::kOpenForWrite) + fs.CountOf(Op::kOpenForRead),
      0);
  nlohmann::json json = nlohmann::json::parse(ReadWholeFile(report));
  EXPECT_EQ(json["settings"]["direct"], true);
  EXPECT_TRUE(json["directBlockSize"].is_null());
  EXPECT_TRUE(json["phases"].empty());
  EXPECT_EQ(json["exitStatus"], 1);
}

#ifndef _WIN32
// Per page of the file `path`, whether it is in the system's cache.
std::vector<bool> ResidentPages(const std::string& path) {
  std::vector<bool> resident;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_size == 0) {
    if (fd >= 0) ::close(fd);
    return resident;
  }
  const size_t size = static_cast<size_t>(info.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return resident;
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> pages((size + page - 1) / page);
  if (::mincore(map, size, pages.data()) == 0) {
    for (unsigned char flags : pages) resident.push_back((flags & 1) != 0);
  }
  ::munmap(map, size);
  return resident;
}

TEST(DirectIoProgramTest, ARunBypassesTheCacheAndLeavesTheSameLinesAndTree) {
  TempDir direct;
  TempDir cached;
  const std::string type = FileSystemTypeName(direct.path().c_str());
  // tmpfs and ramfs keep every file in the cache: nothing to bypass.
  if (type == "tmpfs" || type == "ramfs") GTEST_SKIP() << direct.path() << " is on " << type;
  {
    TreeRoot root(SystemFileSystem(), direct.path());
    const std::string probe = direct / "probe";
    uint32_t block = 0;
    ErrorCode code =
        SystemFileSystem().ProbeDirectIo(PlaceOf(root.dir(), probe, probe.size() - 5), &block);
    if (code != 0) {
      GTEST_SKIP() << type << " at " << direct.path()
                   << " refuses unbuffered I/O: " << SystemText(code);
    }
    EXPECT_EQ(block & (block - 1), 0u) << block;  // a power of two
  }
  EXPECT_TRUE(direct.List().empty());  // the probe left nothing

  auto run = [](const std::string& target, bool unbuffered) {
    std::vector<std::string> args = {DTK_BINARY,     target,   "-filesize",    "2",
                                     "-maxFileSize", "300000", "-maxDirFiles", "4",
                                     "-maxDirLevel", "2",      "-verify",      "-noRemove"};
    if (unbuffered) args.push_back("-direct");
    ChildResult result = RunChild(args);
    EXPECT_EQ(result.status, 0) << result.err;
    static const std::regex varying(
        R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}| time \d+ sec| speed .*)");
    std::string text = result.err + result.out;
    for (size_t at; (at = text.find(target)) != std::string::npos;) {
      text.replace(at, target.size(), "T");
    }
    return std::regex_replace(text, varying, "~");
  };
  EXPECT_EQ(run(direct.path(), true), run(cached.path(), false));

  // The same tree, byte for byte.
  const std::vector<std::string> tree = direct.List();
  ASSERT_EQ(tree, cached.List());
  ASSERT_GT(tree.size(), 10u);
  // No page of a file went through the cache, but perhaps the last.
  for (const std::string& name : tree) {
    if (name.back() == '/') continue;
    std::vector<bool> pages = ResidentPages(direct / name);
    for (size_t k = 0; k + 1 < pages.size(); ++k) {
      EXPECT_FALSE(pages[k]) << name << ": page " << k << " of " << pages.size();
    }
  }
  for (const std::string& name : tree) {
    if (name.back() == '/') continue;
    EXPECT_TRUE(ReadWholeFile(direct / name) == ReadWholeFile(cached / name)) << name;
  }
}
#endif

}  // namespace
}  // namespace dtk
