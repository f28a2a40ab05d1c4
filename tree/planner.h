// The planner: lays out the whole test tree in memory from the settings.
#ifndef DTK_TREE_PLANNER_H_
#define DTK_TREE_PLANNER_H_

#include <cstdint>

#include "support/mt_random.h"
#include "tree/file_list.h"

namespace dtk {

// The run settings.
struct TestConfig {
  // No option changes the names' prefixes.
  static constexpr const char* dirPrefix = FileEntry::kDirPrefix;
  static constexpr const char* filePrefix = FileEntry::kFilePrefix;
  int64_t totalSize = 104857600;  // 100 MiB
  int64_t minFileSize = 1;
  int64_t maxFileSize = 102400;
  uint32_t maxDirFiles = 100;
  uint32_t maxDirLevel = 4;
};

// What a plan holds in all.
struct PlanTotals {
  uint64_t files = 0;
  uint64_t directories = 0;
  int64_t bytes = 0;
};

// Fills the empty `root` with the plan for `config`, drawing one size per
// file from `random` (the program-wide `sizeRandom` unless a test passes its
// own). Files take sizes between minFileSize and maxFileSize until totalSize
// is reached (the last one cut to fit); each list takes maxDirFiles files
// before a new directory opens below it, maxDirLevel deep, then back at the
// root. Returns 0, or -1 when the plan cannot be made: more files or
// directories than their 32-bit numbers can name, more entries than one list
// holds, more entries than `maxEntries`, memory exhausted, or `stopped`
// (asked now and then, when given) returning true (the partial plan is then
// released). Requires minFileSize <= maxFileSize.
int CreateFileList(FileList& root, const TestConfig& config, MtRandom& random = sizeRandom,
                   uint64_t maxEntries = UINT64_MAX, bool (*stopped)() = nullptr);

// Counts the files, directories and bytes of a plan, without recursing.
PlanTotals CountPlan(const FileList& root);

}  // namespace dtk

#endif  // DTK_TREE_PLANNER_H_
