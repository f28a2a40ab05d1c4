#include "tree/planner.h"

#include <gtest/gtest.h>

#include "test_util.h"
#include "tree/plan_memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <string>

namespace dtk {
namespace {

// The plan in walk order: "file-N:size" for a file, "DIR-N{...}" for a
// directory and what it holds.
std::string Shape(const FileList& list) {
  std::string out;
  for (const auto& entry : list) {
    out += (out.empty() ? "" : " ") + entry->Name();
    out += entry->IsDirectory() ? "{" + Shape(*entry->children) + "}"
                                : ":" + std::to_string(entry->size);
  }
  return out;
}

std::string Plan(int64_t total, int64_t min, int64_t max, uint32_t dirFiles, uint32_t dirLevel) {
  TestConfig config;
  config.totalSize = total;
  config.minFileSize = min;
  config.maxFileSize = max;
  config.maxDirFiles = dirFiles;
  config.maxDirLevel = dirLevel;
  MtDefaultRandom random;
  FileList root;
  EXPECT_EQ(CreateFileList(root, config, random), 0);
  return Shape(root);
}

TEST(PlannerTest, SmallPlansEntryByEntry) {
  EXPECT_EQ(Plan(16, 1, 4, 2, 2),
            "file-0:1 file-1:3 DIR-0{file-2:3 file-3:2 DIR-1{file-4:1 file-5:4}} DIR-2{file-6:2}");
  // One file per directory: every directory in the target.
  EXPECT_EQ(Plan(5, 1, 1, 1, 1),
            "file-0:1 DIR-0{file-1:1} DIR-1{file-2:1} DIR-2{file-3:1} DIR-3{file-4:1}");
  // A full last list opens no further directory.
  EXPECT_EQ(Plan(4, 1, 1, 2, 4), "file-0:1 file-1:1 DIR-0{file-2:1 file-3:1}");
  // Exact sizes, the last file taking the rest, one file of all there is.
  EXPECT_EQ(Plan(300, 100, 100, 5, 4), "file-0:100 file-1:100 file-2:100");
  EXPECT_EQ(Plan(250, 100, 100, 5, 4), "file-0:100 file-1:100 file-2:50");
  EXPECT_EQ(Plan(10, 500, 600, 5, 4), "file-0:10");
}

#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
TEST(PlannerTest, APlanHoldsLittleMoreThanItsEntries) {
  // A plan is its entries, laid out in their lists' arrays: no allocation
  // per entry, and lists made at their final size rather than grown to
  // twice it.
  if (kUnderAddressSanitizer) GTEST_SKIP() << "the heap is the sanitizer's";
  TestConfig config;
  config.totalSize = 10 << 20;
  config.maxFileSize = 200;
  MtDefaultRandom random;
  FileList root;
  auto inUse = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
  size_t before = inUse();
  ASSERT_EQ(CreateFileList(root, config, random), 0);
  size_t heap = inUse() - before;
  PlanTotals totals = CountPlan(root);
  double perEntry = static_cast<double>(heap) / (totals.files + totals.directories);
  EXPECT_LE(perEntry, sizeof(FileEntry) + 8) << "heap bytes per planned entry";
  // The estimate that bounds a plan by the memory there is covers it.
  EXPECT_GE(EstimatePlanMemory(root), heap);
  EXPECT_LE(EstimatePlanMemory(root), heap + heap / 10);
}
#endif

TEST(PlannerTest, DefaultPlan) {
  MtDefaultRandom random;
  FileList root;
  ASSERT_EQ(CreateFileList(root, TestConfig(), random), 0);
  PlanTotals totals = CountPlan(root);
  EXPECT_EQ(totals.files, 2071u);
  EXPECT_EQ(totals.directories, 20u);
  EXPECT_EQ(totals.bytes, 104857600);
  // 100 files a directory, chains four deep.
  std::string shape = Shape(root);
  EXPECT_EQ(shape.rfind("file-0:101213 file-1:", 0), 0u);
  for (const char* part : {" DIR-0{file-100:", "}}}} DIR-4{file-500:", "}}}} DIR-8{file-900:"}) {
    EXPECT_NE(shape.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(shape.substr(shape.size() - 19), "file-2070:22817}}}}");
}

TEST(PlannerTest, NothingToPlanDrawsNothing) {
  TestConfig config;
  config.totalSize = 0;
  MtDefaultRandom random;
  FileList root;
  EXPECT_EQ(CreateFileList(root, config, random), 0);
  EXPECT_EQ(root.size(), 0u);
  EXPECT_EQ(random.Next(), 3499211612u);  // still the first output
}

// A range wider than 2^32: sizes still within it, adding up to the total.
TEST(PlannerTest, SizesOverARangeWiderThan32Bits) {
  TestConfig config;
  config.totalSize = config.maxFileSize = int64_t{1} << 40;
  MtDefaultRandom random;
  FileList root;
  ASSERT_EQ(CreateFileList(root, config, random), 0);
  EXPECT_EQ(CountPlan(root).bytes, config.totalSize);
  for (const auto& entry : root) EXPECT_LE(entry->size, 1 + int64_t{4294967295});
}

TEST(PlannerTest, APlanBeyondItsEntryBudgetFailsAndIsReleased) {
  TestConfig config;
  config.totalSize = 1000;
  config.minFileSize = 1;
  config.maxFileSize = 1;
  MtDefaultRandom random;
  FileList root;
  EXPECT_EQ(CreateFileList(root, config, random, 500), -1);
  EXPECT_EQ(root.size(), 0u);
  // So does one during which a stop was requested.
  config.totalSize = 1 << 20;
  EXPECT_EQ(CreateFileList(root, config, random, UINT64_MAX, [] { return true; }), -1);
  EXPECT_EQ(root.size(), 0u);
}

// A million nested lists, released without a recursion that would
// overflow the stack.
TEST(PlannerTest, AChainAMillionDeepIsPlannedAndReleased) {
  TestConfig config;
  config.totalSize = 1000000;
  config.minFileSize = 1;
  config.maxFileSize = 1;
  config.maxDirFiles = 1;
  config.maxDirLevel = 2147483647;
  MtDefaultRandom random;
  auto root = std::make_unique<FileList>();
  ASSERT_EQ(CreateFileList(*root, config, random), 0);
  PlanTotals totals = CountPlan(*root);
  EXPECT_EQ(totals.files, 1000000u);
  EXPECT_EQ(totals.directories, 999999u);
  root.reset();
}

}  // namespace
}  // namespace dtk
