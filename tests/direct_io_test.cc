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

constexpr int64_t kChunk = 131072;

class DirectIoTest : public ::testing::Test {
 protected:
  // Plans files of `sizes` in the root, for a file system that plays
  // unbuffered I/O in blocks of `block` bytes.
  void Start(uint32_t block, const std::vector<int64_t>& sizes) {
    for (int64_t size : sizes) {
      FileEntry entry;
      entry.number = static_cast<int32_t>(plan.size());
      entry.size = size;
      plan.Append(std::move(entry));
    }
    fs.PlayDirectIo(block);
    test.set_direct(block);
  }
  int Create() { return test.Create(plan, TreeRoot(fs, dir.path())); }
  int Verify() { return test.Verify(plan, TreeRoot(fs, dir.path())); }
  // Every file was opened for unbuffered I/O (the fault double fails any
  // transfer on one that is not whole aligned blocks).
  void ExpectAllUnbuffered() {
    for (const auto& call : fs.calls()) {
      bool open = call.op == Op::kOpenForWrite || call.op == Op::kOpenForRead;
      EXPECT_TRUE(!open || call.direct) << call.path;
    }
  }

  TempDir dir;
  FaultFileSystem fs{SystemFileSystem()};
  MemoryConsole console;
  FixedClock clock;
  DtkTest test{fs, console, clock, kPosixPathStyle};
  FileList plan;
};

struct BlockCase {
  const char* name;
  uint32_t blockSize;
  std::vector<int64_t> sizes;
};

class DirectBlockTest : public DirectIoTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(DirectBlockTest, EveryTransferIsWholeAlignedBlocksAndTheFilesHoldThePlan) {
  const BlockCase& c = GetParam();
  Start(c.blockSize, c.sizes);
  test.set_sync(true);
  ASSERT_EQ(Create(), 0) << console.Transcript();
  // Every file is still flushed with -sync.
  EXPECT_EQ(fs.CountOf(Op::kFlush), static_cast<int>(c.sizes.size()));
  // The verify phase finds each file's planned bytes (its CRC) and no more.
  ASSERT_EQ(Verify(), 0) << console.Transcript();
  EXPECT_EQ(test.verified().second, 0u);
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

TEST_F(DirectIoTest, FilesLongerOrShorterThanPlannedAreFoundReadingWholeBlocks) {
  // Planned sizes, and the size each file is given in its turn.
  const std::vector<std::pair<int64_t, int64_t>> cases = {
      {8192, 8193},          // one byte over a block
      {kChunk, kChunk + 1},  // one byte over a chunk: the next read asks a block
      {100, 99},
      {20000, 16384},    // short by whole blocks
      {200000, 140000},  // ends inside a block: nothing is read from there
  };
  std::vector<int64_t> sizes;
  for (const auto& c : cases) sizes.push_back(c.first);
  Start(8192, sizes);
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_EQ(Create(), 0);
    std::filesystem::resize_file(dir / ("file-" + std::to_string(i)),
                                 static_cast<uintmax_t>(cases[i].second));
    console.Clear();
    EXPECT_EQ(Verify(), -1);
    EXPECT_NE(console.ErrorText().find(" No." + std::to_string(i + 1) + "\nFileSize Error!\n"),
              std::string::npos)
        << console.ErrorText();
  }
  ExpectAllUnbuffered();
}

TEST_F(DirectIoTest, AFileSystemThatRefusesIsNamedBeforeAnyPhaseAndNothingIsTouched) {
  fs.RefuseDirectIo(kInvalidArgument);
  TempDir reports;
  const std::string report = reports / "r.json";
  const char* words[] = {"dtk",     dir.path().c_str(), "-verify",
                         "-direct", "-report",          report.c_str()};
  MtDefaultRandom sizes;
  RunEnvironment environment{fs, console, clock, sizes, kPosixOptionRules, kPosixPathStyle, 0};
  EXPECT_EQ(RunDtk(6, words, environment), 1);
  EXPECT_EQ(console.Transcript(),
            "E Direct Error!: the file system of " + dir.path() +
                " refuses unbuffered I/O (-direct): " + SystemText(kInvalidArgument) + "\n");
  EXPECT_TRUE(dir.List().empty());
  EXPECT_EQ(fs.CountOf(Op::kMakeDirectory) + fs.CountOf(Op::kOpenForWrite), 0);
  nlohmann::json json = nlohmann::json::parse(ReadWholeFile(report));
  EXPECT_EQ(json["settings"]["direct"], true);
  EXPECT_TRUE(json["directBlockSize"].is_null());
  EXPECT_TRUE(json["phases"].empty());
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

TEST(DirectIoProgramTest, ARunBypassesTheCacheAndLeavesTheSameLinesAndTree) {
  TempDir direct;
  TempDir cached;
  TempDir reports;
  const std::string type = FileSystemTypeName(direct.path().c_str());
  // tmpfs and ramfs keep every file in the cache: nothing to bypass.
  if (type == "tmpfs" || type == "ramfs") GTEST_SKIP() << direct.path() << " is on " << type;
  auto run = [](const std::string& target, std::vector<std::string> options) {
    std::vector<std::string> args = {DTK_BINARY,     target,   "-filesize",    "2",
                                     "-maxFileSize", "300000", "-maxDirFiles", "4",
                                     "-maxDirLevel", "2",      "-verify",      "-noRemove"};
    args.insert(args.end(), options.begin(), options.end());
    ChildResult result = RunChild(args);
    std::string text = std::to_string(result.status) + "\n" + result.err + result.out;
    for (size_t at; (at = text.find(target)) != std::string::npos;) {
      text.replace(at, target.size(), "T");
    }
    static const std::regex varying(
        R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}| time \d+ sec| speed .*)");
    return std::regex_replace(text, varying, "~");
  };
  const std::string report = reports / "r.json";
  const std::string lines = run(direct.path(), {"-direct", "-report", report});
  if (lines.find("Direct Error!") != std::string::npos) GTEST_SKIP() << type << ": " << lines;
  EXPECT_EQ(lines, run(cached.path(), {}));
  const uint32_t block = nlohmann::json::parse(ReadWholeFile(report))["directBlockSize"];
  EXPECT_TRUE(block >= 512 && (block & (block - 1)) == 0) << block;
  // The same names (the probe left none).
  const std::vector<std::string> tree = direct.List();
  ASSERT_EQ(tree, cached.List());
  ASSERT_GT(tree.size(), 10u);
  // No page of a file went through the cache, but perhaps the last; nor
  // when a later run verifies the tree (and finds the bytes it planned).
  auto expectUncached = [&] {
    for (const std::string& name : tree) {
      EXPECT_FALSE(name.back() != '/' && AnyPageButTheLastCached(direct / name)) << name;
    }
  };
  expectUncached();
  EXPECT_EQ(run(direct.path(), {"-noCreate", "-direct"}).substr(0, 2), "0\n");
  expectUncached();
}
#endif

}  // namespace
}  // namespace dtk
