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

TEST(TimedFileSystemTest, CountsEveryCallByKindAndListsFailuresWithTheirPaths) {
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
  ASSERT_EQ(timed.Write(handle, "abc", 3), 0u);
  inner.FailCall(Op::kWrite, 2, ENOSPC);
  EXPECT_EQ(timed.Write(handle, "def", 3), static_cast<ErrorCode>(ENOSPC));
  ASSERT_EQ(timed.Flush(handle), 0u);
  ASSERT_EQ(timed.Close(handle), 0u);
  inner.FailCall(Op::kFlushDirectory, 1, EIO);
  EXPECT_EQ(timed.FlushDirectory(subDir.handle), static_cast<ErrorCode>(EIO));
  ASSERT_EQ(timed.OpenForRead(fileAt, &handle, IoMode::kCached), 0u);
  char buffer[8];
  uint32_t got = 0;
  ASSERT_EQ(timed.Read(handle, buffer, sizeof(buffer), &got), 0u);
  EXPECT_EQ(got, 3u);  // the calls themselves are untouched
  ASSERT_EQ(timed.Close(handle), 0u);
  ASSERT_EQ(timed.DeleteFile(fileAt), 0u);
  EXPECT_EQ(timed.DeleteFile(fileAt), kNoSuchFile);
  ASSERT_EQ(timed.CloseDirectory(subDir.handle), 0u);
  ASSERT_EQ(timed.RemoveDirectory(subAt), 0u);

  auto counts = [&] {
    std::vector<uint64_t> all;
    for (Operation op :
         {Operation::kMkdir, Operation::kOpen, Operation::kWrite, Operation::kRead,
          Operation::kFlush, Operation::kClose, Operation::kUnlink, Operation::kRmdir})
      all.push_back(timed.latencies(op).count());
    return all;
  };
  // The directory's open is an open too.
  EXPECT_EQ(counts(), (std::vector<uint64_t>{2, 3, 2, 1, 2, 3, 2, 1}));
  EXPECT_GT(timed.latencies(Operation::kMkdir).total(), 0u);

  // A call on a handle names the handle's file, or directory.
  std::string listed;
  for (const auto& failure : timed.failures()) {
    listed += std::string(OperationName(failure.operation)) + " " + failure.path + " " +
              std::to_string(failure.code) + "\n";
  }
  EXPECT_EQ(listed, "mkdir " + sub + " " + std::to_string(kExists) + "\nwrite " + file + " " +
                        std::to_string(ENOSPC) + "\nflush " + sub + " " + std::to_string(EIO) +
                        "\nunlink " + file + " " + std::to_string(kNoSuchFile) + "\n");

  timed.Clear();
  EXPECT_EQ(counts(), std::vector<uint64_t>(8, 0));
  EXPECT_TRUE(timed.failures().empty());
  // Off, it only passes calls on.
  timed.set_enabled(false);
  EXPECT_EQ(timed.DeleteFile(subAt), kNoSuchFile);
  EXPECT_EQ(inner.CountOf(Op::kDeleteFile), 3);
  EXPECT_EQ(counts(), std::vector<uint64_t>(8, 0));
  EXPECT_TRUE(timed.failures().empty());
}

TEST(TimedFileSystemTest, AFullListKeepsTheFirstFailuresAndTheLast) {
  TempDir dir;
  TimedFileSystem timed(SystemFileSystem());
  timed.set_enabled(true);
  TreeRoot root(timed, dir.path());
  for (int i = 0; i < 1500; ++i) {
    std::string path = dir / ("gone-" + std::to_string(i));
    timed.DeleteFile(PlaceOf(root.dir(), path, dir.path().size() + 1));
  }
  ASSERT_EQ(timed.failures().size(), TimedFileSystem::kMaxListedFailures);
  EXPECT_EQ(timed.failuresNotListed(), 500u);
  EXPECT_EQ(timed.failures()[998].path, dir / "gone-998");
  EXPECT_EQ(timed.failures().back().path, dir / "gone-1499");
  EXPECT_EQ(timed.latencies(Operation::kUnlink).count(), 1500u);
}

}  // namespace
}  // namespace dtk
