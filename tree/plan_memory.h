// What a plan costs in memory, and whether one can fit before it is made.
#ifndef DTK_TREE_PLAN_MEMORY_H_
#define DTK_TREE_PLAN_MEMORY_H_

#include <cstddef>
#include <cstdint>

#include "tree/file_list.h"
#include "tree/planner.h"

namespace dtk {

// Heap bytes a plan takes, per entry, as the C++ library lays it out,
// rounded up: the entry itself in its list's storage, which may have grown
// to twice what it holds, and the entry-sized slot the create phase
// reserves for its copy; a directory adds its own list object and the spare
// slot of a list made for one directory more than it may hold.
constexpr uint64_t kPlannedFileBytes = 3 * sizeof(FileEntry);
constexpr uint64_t kPlannedDirectoryBytes = kPlannedFileBytes + 48 + sizeof(FileEntry);
// The create phase's copy of an entry lies in its reserved slot; what it
// adds is the heap block of its full path, beyond the path's own bytes,
// which come on top.
constexpr uint64_t kCopyBytes = 32;

// Heap bytes for the plan `root` and for the copies the create phase makes
// of its entries below a target directory named with `targetLength` bytes.
// The create phase stops at the first file whose path is longer than
// `longestPath`, so no entry after it is copied.
uint64_t EstimatePlanMemory(const FileList& root, size_t targetLength, size_t longestPath);

// The fewest heap bytes one planned entry, with its copy, can take for
// `config`; bounds the planner's entry count.
uint64_t LeastBytesPerEntry(const TestConfig& config, size_t targetLength, size_t longestPath);

// Checks before planning that a plan for `config` can be named and held: it
// has at least ceil(totalSize / maxFileSize) files, numbered with signed
// 32-bit numbers, and those files with the directories they need must fit
// in `physicalMemory` (0: unknown, no limit). Returns false only for plans
// that certainly cannot be made.
bool PlanMayFit(const TestConfig& config, size_t targetLength, size_t longestPath,
                uint64_t physicalMemory);

}  // namespace dtk

#endif  // DTK_TREE_PLAN_MEMORY_H_
