// -direct in real runs where the file system takes it, which must leave
// the pages of the files out of the system's cache (the block arithmetic
// is tested in engine_test.cc).
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

// With either engine: the lines, names and bytes of a run through the cache.
class DirectIoProgramTest : public ::testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Engines, DirectIoProgramTest, ::testing::Values("sync", "uring"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(DirectIoProgramTest, ARunBypassesTheCacheAndLeavesTheSameLinesAndTree) {
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
  const std::string lines =
      run(direct.path(), {"-direct", "-engine", GetParam(), "-report", report});
  if (lines.find("Direct Error!") != std::string::npos ||
      lines.find("Engine error!") != std::string::npos) {
    GTEST_SKIP() << type << ": " << lines;
  }
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
  EXPECT_EQ(run(direct.path(), {"-noCreate", "-direct", "-engine", GetParam()}).substr(0, 2),
            "0\n");
  expectUncached();
  for (const std::string& name : tree) {
    if (name.back() != '/')
      EXPECT_TRUE(ReadWholeFile(direct / name) == ReadWholeFile(cached / name));
  }
}
#endif

}  // namespace
}  // namespace dtk
