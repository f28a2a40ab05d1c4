#include "tree/planner.h"

#include <climits>
#include <new>
#include <vector>

namespace dtk {
namespace {

// Room for the entries a list is planned to take: maxDirFiles files and the
// directory that may open after them, so lists of the usual sizes are made
// at their final size in one allocation. Larger lists grow as they fill.
int ReserveList(FileList& list, const TestConfig& config) {
  constexpr uint32_t kMostReserved = 4096;
  uint32_t planned = config.maxDirFiles < kMostReserved ? config.maxDirFiles + 1 : kMostReserved;
  return list.Reserve(planned);
}

int Plan(FileList& root, const TestConfig& config, MtRandom& random, uint64_t maxEntries,
         bool (*stopped)()) {
  if (config.totalSize <= 0) return 0;
  FileList* currentList = &root;
  uint32_t level = 0;
  int64_t fileNumber = 0;
  int64_t dirNumber = 0;
  int64_t plannedBytes = 0;
  const int64_t range = config.maxFileSize - config.minFileSize + 1;
  if (ReserveList(root, config) != 0) return -1;
  do {
    // Names carry signed 32-bit numbers; a plan that needs more cannot be
    // named.
    if (fileNumber > INT32_MAX) return -1;
    if (static_cast<uint64_t>(fileNumber + dirNumber) >= maxEntries) return -1;
    uint64_t draw = random.Next();
    int64_t size = config.minFileSize + static_cast<int64_t>(draw % static_cast<uint64_t>(range));
    if (plannedBytes + size >= config.totalSize) size = config.totalSize - plannedBytes;
    // Planning a huge tree takes a while; a stop request ends it.
    if ((fileNumber & 0xFFFF) == 0xFFFF && stopped != nullptr && stopped()) return -1;
    FileEntry file;
    file.number = static_cast<int32_t>(fileNumber);
    file.size = size;
    if (currentList->fileCount() >= config.maxDirFiles) {
      if (level >= config.maxDirLevel) {
        currentList = &root;
        level = 0;
      }
      if (dirNumber > INT32_MAX) return -1;
      FileEntry dir;
      dir.number = static_cast<int32_t>(dirNumber);
      dir.attributes = kDirectoryAttribute;
      dir.children = std::make_unique<FileList>();
      FileList* inside = dir.children.get();
      if (ReserveList(*inside, config) != 0) return -1;
      if (currentList->Append(std::move(dir)) != 0) return -1;
      ++dirNumber;
      currentList = inside;
      ++level;
    }
    if (currentList->Append(std::move(file)) != 0) return -1;
    ++fileNumber;
    plannedBytes += size;
  } while (plannedBytes < config.totalSize);
  return 0;
}

}  // namespace

int CreateFileList(FileList& root, const TestConfig& config, MtRandom& random,
                   uint64_t maxEntries, bool (*stopped)()) {
  int status;
  try {
    status = Plan(root, config, random, maxEntries, stopped);
  } catch (const std::bad_alloc&) {
    status = -1;
  }
  if (status != 0) root.Clear();
  return status;
}

PlanTotals CountPlan(const FileList& root) {
  PlanTotals totals;
  std::vector<const FileList*> pending{&root};
  while (!pending.empty()) {
    const FileList* list = pending.back();
    pending.pop_back();
    totals.files += list->fileCount();
    totals.directories += list->dirCount();
    for (const FileEntry& entry : *list) {
      if (entry.children) {
        pending.push_back(entry.children.get());
      } else if (!entry.IsDirectory()) {
        totals.bytes += entry.size;
      }
    }
  }
  return totals;
}

}  // namespace dtk
