#include "tree/plan_memory.h"

#include <climits>
#include <vector>

namespace dtk {

uint64_t EstimatePlanMemory(const FileList& root) {
  uint64_t bytes = 0;
  std::vector<const FileList*> pending{&root};
  while (!pending.empty()) {
    const FileList* list = pending.back();
    pending.pop_back();
    if (list != &root) bytes += sizeof(FileList) + kHeapBlockBytes;
    if (list->capacity() > 0) bytes += list->capacity() * sizeof(FileEntry) + kHeapBlockBytes;
    for (const FileEntry& entry : *list) {
      if (entry.children) pending.push_back(entry.children.get());
    }
  }
  return bytes;
}

bool PlanMayFit(const TestConfig& config, uint64_t memory) {
  if (config.totalSize <= 0) return true;
  // Every file holds at most maxFileSize bytes.
  uint64_t total = static_cast<uint64_t>(config.totalSize);
  uint64_t largest = static_cast<uint64_t>(config.maxFileSize);
  uint64_t fewestFiles = total / largest + (total % largest != 0 ? 1 : 0);
  if (fewestFiles > static_cast<uint64_t>(INT_MAX) + 1) return false;
  if (memory == 0) return true;
  // Every list but the last takes maxDirFiles files, and every list but the
  // root is a directory.
  uint64_t fewestDirs = (fewestFiles - 1) / config.maxDirFiles;
  uint64_t bytes = (fewestFiles + fewestDirs) * sizeof(FileEntry) + fewestDirs * kDirectoryListBytes;
  return bytes <= memory;
}

uint64_t MostPlannedEntries(uint64_t memory) {
  return memory == 0 ? UINT64_MAX : memory / sizeof(FileEntry);
}

}  // namespace dtk
