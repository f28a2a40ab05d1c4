// The planner and the lists it fills: plans known entry by entry, the
// default plan, plans that fail or run deep, and what a plan costs in
// memory. The generator it draws from is held to MT19937 by the pattern
// ring's test (engine_test), over many blocks.
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

// The plan's shape, then its totals: " = files/directories/bytes".
std::string Plan(int64_t total, int64_t min, int64_t max, uint32_t dirFiles, uint32_t dirLevel) {
  MtDefaultRandom random;
  FileList root;
  EXPECT_EQ(CreateFileList(root, Config(total, min, max, dirFiles, dirLevel), random), 0);
  PlanTotals totals = CountPlan(root);
  return Shape(root) + " = " + std::to_string(totals.files) + "/" +
         std::to_string(totals.directories) + "/" + std::to_string(totals.bytes);
}

TEST(PlannerTest, SmallPlansEntryByEntry) {
  EXPECT_EQ(Plan(16, 1, 4, 2, 2),
            "file-0:1 file-1:3 DIR-0{file-2:3 file-3:2 DIR-1{file-4:1 file-5:4}} DIR-2{file-6:2} "
            "= 7/3/16");
  // One file per directory: every directory in the target.
  EXPECT_EQ(Plan(5, 1, 1, 1, 1),
            "file-0:1 DIR-0{file-1:1} DIR-1{file-2:1} DIR-2{file-3:1} DIR-3{file-4:1} = 5/4/5");
  // A full last list opens no further directory.
  EXPECT_EQ(Plan(4, 1, 1, 2, 4), "file-0:1 file-1:1 DIR-0{file-2:1 file-3:1} = 4/1/4");
  // Exact sizes, the last file taking the rest, one file of all there is.
  EXPECT_EQ(Plan(300, 100, 100, 5, 4), "file-0:100 file-1:100 file-2:100 = 3/0/300");
  EXPECT_EQ(Plan(250, 100, 100, 5, 4), "file-0:100 file-1:100 file-2:50 = 3/0/250");
  EXPECT_EQ(Plan(10, 500, 600, 5, 4), "file-0:10 = 1/0/10");
  // Thousands of directories in one list that grows past what it reserved:
  // entries moved with their children intact.
  std::string many = "file-0:1";
  for (int k = 0; k < 4999; ++k)
    many += " DIR-" + std::to_string(k) + "{file-" + std::to_string(k + 1) + ":1}";
  EXPECT_EQ(Plan(5000, 1, 1, 1, 1), many + " = 5000/4999/5000");
  // The default plan: 100 files a directory, chains four deep.
  std::string shape = Plan(104857600, 1, 102400, 100, 4);
  for (const char* part : {"file-0:101213 file-1:", " DIR-0{file-100:", "}}}} DIR-4{file-500:",
                           "}}}} DIR-8{file-900:"}) {
    EXPECT_NE(shape.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(shape.substr(shape.size() - 39), "file-2070:22817}}}} = 2071/20/104857600");
}

// Nothing to plan draws nothing; a range wider than 2^32 still gives sizes
// within it adding up to the total; a plan beyond its entry budget, or
// during which a stop was requested, fails and is released; a chain a
// million deep is planned and released without a recursion that would
// overflow the stack.
TEST(PlannerTest, EmptyWideFailedAndDeepPlans) {
  MtDefaultRandom random;
  FileList root;
  EXPECT_EQ(CreateFileList(root, Config(0, 1, 102400, 100, 4), random), 0);
  EXPECT_EQ(root.size(), 0u);
  EXPECT_EQ(random.Next(), 3499211612u);  // still the first output
  EXPECT_EQ(CreateFileList(root, Config(1000, 1, 1, 100, 4), random, 500), -1);
  EXPECT_EQ(root.size() + root.fileCount() + root.dirCount(), 0u);
  EXPECT_EQ(
      CreateFileList(root, Config(1 << 20, 1, 1, 100, 4), random, UINT64_MAX, [] { return true; }),
      -1);
  EXPECT_EQ(root.size(), 0u);
  TestConfig wide = Config(int64_t{1} << 40, 1, int64_t{1} << 40, 100, 4);
  ASSERT_EQ(CreateFileList(root, wide, random), 0);
  EXPECT_EQ(CountPlan(root).bytes, wide.totalSize);
  for (const auto& entry : root) EXPECT_LE(entry->size, 1 + int64_t{4294967295});
  FileList deep;
  ASSERT_EQ(CreateFileList(deep, Config(1000000, 1, 1, 1, 2147483647), random), 0);
  EXPECT_EQ(CountPlan(deep).files + CountPlan(deep).directories, 1999999u);
}

#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
TEST(PlannerTest, APlanHoldsLittleMoreThanItsEntries) {
  // A plan is its entries, laid out in their lists' arrays: no allocation
  // per entry, and lists made at their final size rather than grown to
  // twice it.
  if (kUnderAddressSanitizer) GTEST_SKIP() << "the heap is the sanitizer's";
  MtDefaultRandom random;
  FileList root;
  auto inUse = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
  size_t before = inUse();
  ASSERT_EQ(CreateFileList(root, Config(10 << 20, 1, 200, 100, 4), random), 0);
  size_t heap = inUse() - before;
  PlanTotals totals = CountPlan(root);
  double perEntry = static_cast<double>(heap) / (totals.files + totals.directories);
  EXPECT_LE(perEntry, sizeof(FileEntry) + 8) << "heap bytes per planned entry";
  // The estimate that bounds a plan by the memory there is covers it.
  EXPECT_GE(EstimatePlanMemory(root), heap);
  EXPECT_LE(EstimatePlanMemory(root), heap + heap / 10);
}
#endif

}  // namespace
}  // namespace dtk
