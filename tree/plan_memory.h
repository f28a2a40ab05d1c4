// What a plan costs in memory, and whether one can fit before it is made.
#ifndef DTK_TREE_PLAN_MEMORY_H_
#define DTK_TREE_PLAN_MEMORY_H_

#include <cstdint>

#include "tree/file_list.h"
#include "tree/planner.h"

namespace dtk {

// Heap bytes the C++ library adds to every block it hands out.
constexpr uint64_t kHeapBlockBytes = 16;
// Heap bytes of a directory beyond its entry: its own list object, and a
// list made with room for one directory more than it may come to hold.
constexpr uint64_t kDirectoryListBytes =
    sizeof(FileList) + 2 * kHeapBlockBytes + sizeof(FileEntry);

// Heap bytes the plan `root` takes, as its lists hold it now.
uint64_t EstimatePlanMemory(const FileList& root);

// Checks before planning that a plan for `config` can be named and held: it
// has at least ceil(totalSize / maxFileSize) files, numbered with signed
// 32-bit numbers, and those files with the directories they need must fit
// in `memory` bytes (0: unknown, no limit). Returns false only for plans
// that certainly cannot be made.
bool PlanMayFit(const TestConfig& config, uint64_t memory);

// The most entries a plan may have in `memory` bytes (0: no limit).
uint64_t MostPlannedEntries(uint64_t memory);

}  // namespace dtk

#endif  // DTK_TREE_PLAN_MEMORY_H_
