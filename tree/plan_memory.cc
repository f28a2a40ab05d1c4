#include "tree/plan_memory.h"

#include <climits>
#include <cstring>
#include <vector>

namespace dtk {
namespace {

// Decimal digits of the largest file or directory number.
constexpr uint64_t kNumberDigits = 10;

}  // namespace

uint64_t EstimatePlanMemory(const FileList& root, size_t targetLength, size_t longestPath) {
  struct Level {
    const FileList* list;
    size_t next;
    uint64_t pathLength;  // of the directory that holds the list
  };
  uint64_t bytes = 0;
  bool copying = true;
  std::vector<Level> stack{{&root, 0, targetLength}};
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.list->size()) {
      stack.pop_back();
      continue;
    }
    const FileEntry& entry = *level.list->begin()[level.next++];
    uint64_t pathLength = level.pathLength + 1 + entry.name.size();
    bytes += entry.IsDirectory() ? kPlannedDirectoryBytes : kPlannedFileBytes;
    if (copying) {
      bytes += kCopyBytes + pathLength;
      if (!entry.IsDirectory() && pathLength > longestPath) copying = false;
    }
    if (entry.children && !entry.children->empty()) {
      stack.push_back({entry.children.get(), 0, pathLength});
    }
  }
  return bytes;
}

uint64_t LeastBytesPerEntry(const TestConfig& config, size_t targetLength, size_t longestPath) {
  uint64_t filePart = std::strlen(config.filePrefix) + kNumberDigits;
  uint64_t dirPart = std::strlen(config.dirPrefix) + kNumberDigits;
  // When no path can grow past what the system takes, every entry is copied;
  // otherwise the create phase may stop early and copy next to nothing.
  uint64_t longest = targetLength + uint64_t{config.maxDirLevel} * (1 + dirPart) + 1 + filePart;
  if (longest > longestPath) return kPlannedFileBytes;
  uint64_t shortest = targetLength + 1 + std::strlen(config.filePrefix) + 1;
  return kPlannedFileBytes + kCopyBytes + shortest;
}

bool PlanMayFit(const TestConfig& config, size_t targetLength, size_t longestPath,
                uint64_t physicalMemory) {
  if (config.totalSize <= 0) return true;
  // Every file holds at most maxFileSize bytes.
  uint64_t total = static_cast<uint64_t>(config.totalSize);
  uint64_t largest = static_cast<uint64_t>(config.maxFileSize);
  uint64_t fewestFiles = total / largest + (total % largest != 0 ? 1 : 0);
  if (fewestFiles > static_cast<uint64_t>(INT_MAX) + 1) return false;
  if (physicalMemory == 0) return true;
  // Every list but the last takes maxDirFiles files, and every list but the
  // root is a directory.
  uint64_t fewestDirs = (fewestFiles - 1) / config.maxDirFiles;
  uint64_t perEntry = LeastBytesPerEntry(config, targetLength, longestPath);
  uint64_t bytes =
      fewestFiles * perEntry + fewestDirs * (perEntry - kPlannedFileBytes + kPlannedDirectoryBytes);
  return bytes <= physicalMemory;
}

}  // namespace dtk
