// The timing decorator: what it counts, which failures it lists, and that it
// changes nothing in the calls.
#include "engine/timed_file_system.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "engine/tester.h"
#include "fault_file_system.h"
#include "test_util.h"

namespace dtk {
namespace {

// Counts per kind of call, and their clearing between phases, are the whole
// run's (run_test); here, the failures listed and the calls left untouched.
TEST(TimedFileSystemTest, ListsFailuresWithTheirPathsTheFirstOnesAndTheLast) {
  TempDir dir;
  FaultFileSystem inner(SystemFileSystem());
  TimedFileSystem timed(inner);
  timed.set_enabled(true);
  TreeRoot root(timed, dir.path());
  const std::string sub = dir / "sub";
  const std::string file = dir / "sub/file";
  EntryPlace subAt = PlaceOf(root.dir(), sub, sub.size() - 3);
  ASSERT_EQ(timed.MakeDirectory(subAt), 0u);
  EXPECT_EQ(timed.MakeDirectory(subAt), kExists);
  WalkDir subDir;
  ASSERT_EQ(timed.OpenDirectory(subAt, &subDir.handle), 0u);
  EntryPlace fileAt = PlaceOf(subDir, file, file.size() - 4);
  FileHandle handle;
  ASSERT_EQ(timed.OpenForWrite(fileAt, &handle, IoMode::kCached), 0u);
  inner.FailCall(Op::kWrite, 1, ENOSPC);
  EXPECT_EQ(timed.Write(handle, "def", 3), static_cast<ErrorCode>(ENOSPC));
  ASSERT_EQ(timed.Close(handle), 0u);
  inner.FailCall(Op::kFlushDirectory, 1, EIO);
  EXPECT_EQ(timed.FlushDirectory(subDir.handle), static_cast<ErrorCode>(EIO));
  ASSERT_EQ(timed.DeleteFile(fileAt), 0u);
  EXPECT_EQ(timed.DeleteFile(fileAt), kNoSuchFile);
  ASSERT_EQ(timed.CloseDirectory(subDir.handle), 0u);
  ASSERT_EQ(timed.RemoveDirectory(subAt), 0u);
  // A call on a handle names the handle's file, or directory.
  std::string listed;
  for (const auto& failure : timed.failures()) {
    listed += std::string(OperationName(failure.operation)) + " " + failure.path + " " +
              std::to_string(failure.code) + "\n";
  }
  EXPECT_EQ(listed, "mkdir " + sub + " " + std::to_string(kExists) + "\nwrite " + file + " " +
                        std::to_string(ENOSPC) + "\nflush " + sub + " " + std::to_string(EIO) +
                        "\nunlink " + file + " " + std::to_string(kNoSuchFile) + "\n");
  // Past 1000, the first 999 failures are listed and the last; failed calls
  // are timed too.
  for (int i = 0; i < 1500; ++i) {
    std::string path = dir / ("gone-" + std::to_string(i));
    timed.DeleteFile(PlaceOf(root.dir(), path, dir.path().size() + 1));
  }
  ASSERT_EQ(timed.failures().size(), TimedFileSystem::kMaxListedFailures);
  EXPECT_EQ(timed.failuresNotListed(), 504u);
  EXPECT_EQ(timed.failures()[998].path, dir / "gone-994");
  EXPECT_EQ(timed.failures().back().path, dir / "gone-1499");
  EXPECT_EQ(timed.latencies(Operation::kUnlink).count(), 1502u);
  // Off, it only passes calls on.
  timed.Clear();
  timed.set_enabled(false);
  EXPECT_EQ(timed.DeleteFile(subAt), kNoSuchFile);
  EXPECT_EQ(inner.CountOf(Op::kDeleteFile), 1503);
  EXPECT_EQ(timed.latencies(Operation::kUnlink).count() + timed.failures().size() +
                timed.failuresNotListed(),
            0u);
}

}  // namespace
}  // namespace dtk
