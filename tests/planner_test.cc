#include "tree/planner.h"

#include "test_util.h"
#include "tree/plan_memory.h"

#include <gtest/gtest.h>

#include <map>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <string>

namespace dtk {
namespace {

// name -> "directory path|size" for every file; directories -> "path/".
std::map<std::string, std::string> Flatten(const FileList& list, const std::string& dir = "") {
  std::map<std::string, std::string> out;
  for (const auto& entry : list) {
    if (entry->IsDirectory()) {
      out[entry->Name()] = dir + "/";
      auto inner = Flatten(*entry->children, dir + "/" + entry->Name());
      out.insert(inner.begin(), inner.end());
    } else {
      out[entry->Name()] = dir + "|" + std::to_string(entry->size);
    }
  }
  return out;
}

TEST(PlannerTest, WorkedExample) {
  TestConfig config;
  config.totalSize = 16;
  config.minFileSize = 1;
  config.maxFileSize = 4;
  config.maxDirFiles = 2;
  config.maxDirLevel = 2;
  MtDefaultRandom random;
  FileList root;
  ASSERT_EQ(CreateFileList(root, config, random), 0);
  auto plan = Flatten(root);
  EXPECT_EQ(plan["file-0"], "|1");
  EXPECT_EQ(plan["file-1"], "|3");
  EXPECT_EQ(plan["file-2"], "/DIR-0|3");
  EXPECT_EQ(plan["file-3"], "/DIR-0|2");
  EXPECT_EQ(plan["file-4"], "/DIR-0/DIR-1|1");
  EXPECT_EQ(plan["file-5"], "/DIR-0/DIR-1|4");
  EXPECT_EQ(plan["file-6"], "/DIR-2|2");
  EXPECT_EQ(plan.size(), 10u);
  std::string rootOrder;
  for (const auto& entry : root) rootOrder += entry->Name() + " ";
  EXPECT_EQ(rootOrder, "file-0 file-1 DIR-0 DIR-2 ");
  EXPECT_EQ(root.fileCount(), 2u);
  EXPECT_EQ(root.dirCount(), 2u);
  std::string dir0Order;
  for (const auto& entry : *root.begin()[2]->children) dir0Order += entry->Name() + " ";
  EXPECT_EQ(dir0Order, "file-2 file-3 DIR-1 ");
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
  auto plan = Flatten(root);
  EXPECT_EQ(plan["file-0"], "|101213");
  EXPECT_EQ(plan["file-99"].substr(0, 1), "|");
  EXPECT_EQ(plan["file-100"].substr(0, 7), "/DIR-0|");
  EXPECT_EQ(plan["file-499"].substr(0, 25), "/DIR-0/DIR-1/DIR-2/DIR-3|");
  EXPECT_EQ(plan["file-500"].substr(0, 7), "/DIR-4|");
  EXPECT_EQ(plan["DIR-8"], "/");
  EXPECT_EQ(plan["file-2070"], "/DIR-16/DIR-17/DIR-18/DIR-19|22817");
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

TEST(PlannerTest, SizeEdgeCases) {
  struct Case {
    int64_t total, min, max;
    uint64_t files;
    int64_t last;
  } cases[] = {
      {1000, 100, 100, 10, 100},                      // exact: every file has 100 bytes
      {1050, 100, 100, 11, 50},                       // the last file takes the rest
      {10, 500, 600, 1, 10},                          // one file of exactly totalSize
      {int64_t{1} << 40, 1, int64_t{1} << 40, 0, 0},  // range wider than 2^32
  };
  for (const auto& c : cases) {
    TestConfig config;
    config.totalSize = c.total;
    config.minFileSize = c.min;
    config.maxFileSize = c.max;
    MtDefaultRandom random;
    FileList root;
    ASSERT_EQ(CreateFileList(root, config, random), 0);
    PlanTotals totals = CountPlan(root);
    EXPECT_EQ(totals.bytes, c.total);
    if (c.files != 0) {
      EXPECT_EQ(totals.files, c.files);
      EXPECT_EQ(root.back().size, c.last);
    } else {
      for (const auto& entry : root) {
        if (!entry->IsDirectory()) {
          EXPECT_LE(entry->size, c.min + 4294967295);
        }
      }
    }
  }
}

TEST(PlannerTest, OneFilePerDirectoryAllInTheRoot) {
  TestConfig config;
  config.totalSize = 5;
  config.minFileSize = 1;
  config.maxFileSize = 1;
  config.maxDirFiles = 1;
  config.maxDirLevel = 1;
  MtDefaultRandom random;
  FileList root;
  ASSERT_EQ(CreateFileList(root, config, random), 0);
  std::string order;
  for (const auto& entry : root) {
    order += entry->Name();
    if (entry->children) order += "{" + entry->children->front().Name() + "}";
    order += " ";
  }
  EXPECT_EQ(order, "file-0 DIR-0{file-1} DIR-1{file-2} DIR-2{file-3} DIR-3{file-4} ");
}

TEST(PlannerTest, AFullLastListOpensNoFurtherDirectory) {
  TestConfig config;
  config.totalSize = 4;
  config.minFileSize = 1;
  config.maxFileSize = 1;
  config.maxDirFiles = 2;
  MtDefaultRandom random;
  FileList root;
  ASSERT_EQ(CreateFileList(root, config, random), 0);
  EXPECT_EQ(CountPlan(root).directories, 1u);
  EXPECT_EQ(root.back().children->size(), 2u);
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
