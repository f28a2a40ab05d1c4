#include "tree/planner.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace dtk {
namespace {

// Fills `entry` with the name "prefix" followed by the number in decimal, as
// "%s%d" writes it, and the size and attributes. Returns 0, or -1 when the
// name cannot be held.
int MakeEntry(FileEntry& entry, const char* prefix, int32_t number, int64_t size,
              uint32_t attributes) {
  char text[64];
  size_t prefixLength = std::strlen(prefix);
  if (prefixLength > sizeof(text) - 12) return -1;
  std::memcpy(text, prefix, prefixLength);
  auto result = std::to_chars(text + prefixLength, text + sizeof(text), number);
  if (entry.SetName(std::string_view(text, result.ptr - text)) != 0) return -1;
  entry.size = size;
  entry.attributes = attributes;
  return 0;
}

// Room for the entries a list is planned to take: maxDirFiles files and the
// directory that may open after them, so lists of the usual sizes are made
// at their final size in one allocation. Larger lists grow as they fill.
int ReserveList(FileList& list, const TestConfig& config) {
  constexpr uint32_t kMostReserved = 4096;
  uint32_t planned = config.maxDirFiles < kMostReserved ? config.maxDirFiles + 1 : kMostReserved;
  return list.Reserve(planned);
}

int Plan(FileList& root, const TestConfig& config, MtRandom& random, uint64_t maxEntries) {
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
    FileEntry file;
    if (MakeEntry(file, config.filePrefix, static_cast<int32_t>(fileNumber), size, 0) != 0) {
      return -1;
    }
    if (currentList->fileCount() >= config.maxDirFiles) {
      if (level >= config.maxDirLevel) {
        currentList = &root;
        level = 0;
      }
      if (dirNumber > INT32_MAX) return -1;
      FileEntry dir;
      if (MakeEntry(dir, config.dirPrefix, static_cast<int32_t>(dirNumber), 0,
                    kDirectoryAttribute) != 0) {
        return -1;
      }
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
                   uint64_t maxEntries) {
  int status;
  try {
    status = Plan(root, config, random, maxEntries);
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
