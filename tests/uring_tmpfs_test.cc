// The uring engine on a file system that cannot read without blocking
// (tmpfs): the reads of large files are made in dtk's own thread between
// batched opens and closes, those of small files are sent in batches. What
// the verify phase finds and prints must stay that of one call at a time.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "engine/file_engine.h"
#include "gtest/gtest.h"
#include "tests/test_util.h"

namespace dtk {
namespace {

constexpr long kTmpfsMagic = 0x01021994;

auto OpenDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

TEST(UringTmpfsTest, VerifyFindsWhatOneCallAtATimeFindsAndLeavesNoDescriptor) {
  struct statfs about;
  std::string why;
  if (statfs("/dev/shm", &about) != 0 || about.f_type != kTmpfsMagic ||
      MakeFileEngine({EngineKind::kUring}, &why) == nullptr) {
    GTEST_SKIP() << "needs io_uring and tmpfs at /dev/shm";
  }
  char pattern[] = "/dev/shm/dtk-test.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string target = pattern;
  // Files from a few bytes to 300 KB: read in batches, and read here in
  // one or more transfers.
  std::vector<const char*> words = {target.c_str(), "-filesize",    "4", "-maxFileSize",
                                    "300000",       "-maxDirFiles", "8", "-noRemove"};
  auto make = RunInProcess(words);
  ASSERT_EQ(make.status, 0) << make.lines;
  // Damage in files read here (over 16 KB) and in batches: a byte changed
  // in each kind, then a file a byte longer than planned.
  auto damage = [&](const char* name, bool longer) {
    std::string bytes = ReadWholeFile(target + "/" + name);
    bytes[bytes.size() - 10] ^= longer ? 0 : 0x80;
    WriteWholeFile(target + "/" + name, longer ? bytes + 'x' : bytes);
  };
  damage("file-1", false);  // 169,303 bytes: in its second transfer
  damage("file-4", false);  // 4,205 bytes
  damage("file-5", true);   // 255,392 bytes
  // Then the longer file is a FIFO that someone planted.
  for (bool fifo : {false, true}) {
    if (fifo) {
      std::filesystem::remove(target + "/file-5");
      ASSERT_EQ(mkfifo((target + "/file-5").c_str(), 0600), 0);
    }
    std::vector<const char*> verify = words;
    verify.insert(verify.end(), {"-noCreate", "-verify"});
    const auto descriptors = OpenDescriptors();
    auto once = RunInProcess(verify);
    verify.insert(verify.end(), {"-engine", "uring"});
    auto batched = RunInProcess(verify);
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(std::tuple(once.status, batched.status, batched.lines), std::tuple(2, 2, once.lines));
    EXPECT_NE(once.lines.find("FileSize Error!"), std::string::npos);
    EXPECT_NE(once.lines.find("CRC Error!"), std::string::npos);
  }
  std::filesystem::remove_all(target);
}

}  // namespace
}  // namespace dtk
