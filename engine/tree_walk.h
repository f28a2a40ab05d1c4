// Walks a planned tree depth first, pre-order, building each entry's full
// path in one buffer. The walk keeps its own stack, so a tree of any depth
// costs no call stack; the path grows only as deep as the walk goes.
#ifndef DTK_ENGINE_TREE_WALK_H_
#define DTK_ENGINE_TREE_WALK_H_

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/process.h"
#include "platform/path.h"
#include "tree/file_list.h"

namespace dtk {

// Calls `visit(entry, path)` for every entry of `root` in the order the
// create phase makes them, with `path` the entry's full path below
// `targetDir` (joined as JoinPath does, level by level). A directory's
// contents follow it at once, unless `visit` returns 1 for it (its subtree
// is passed over). A negative result from `visit`, or a stop request, ends
// the walk with -1. Throws std::bad_alloc when memory is exhausted.
template <class List, class Visit>
int WalkPlannedTree(List& root, std::string_view targetDir, const PathStyle& style, Visit&& visit) {
  struct Level {
    List* list;
    size_t next;
    size_t prefixLength;  // the directory's path and its separator
  };
  std::string path(targetDir);
  if (NeedsSeparator(targetDir, style)) path.push_back(style.separator);
  std::vector<Level> stack;
  stack.push_back({&root, 0, path.size()});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.list->size()) {
      stack.pop_back();
      continue;
    }
    auto& entry = *level.list->begin()[level.next++];
    path.resize(level.prefixLength);
    path.append(entry.name);
    if (StopRequested() != 0) return -1;
    int status = visit(entry, static_cast<const std::string&>(path));
    if (status < 0) return -1;
    if (status == 0 && entry.IsDirectory() && entry.children && !entry.children->empty()) {
      // The directory's own path is already a character boundary, so only its
      // name decides whether a separator follows.
      if (entry.name.empty() ? false : NeedsSeparator(entry.name, style)) {
        path.push_back(style.separator);
      }
      stack.push_back({entry.children.get(), 0, path.size()});
    }
  }
  return 0;
}

// Calls `visit(entry)` for every entry of `root` in the order the create
// phase makes them, without building paths. A negative result from `visit`,
// or a stop request, ends the walk with -1.
template <class List, class Visit>
int WalkPlannedEntries(List& root, Visit&& visit) {
  struct Level {
    List* list;
    size_t next;
  };
  std::vector<Level> stack;
  stack.push_back({&root, 0});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.list->size()) {
      stack.pop_back();
      continue;
    }
    auto& entry = *level.list->begin()[level.next++];
    if (StopRequested() != 0) return -1;
    if (visit(entry) < 0) return -1;
    if (entry.IsDirectory() && entry.children && !entry.children->empty()) {
      stack.push_back({entry.children.get(), 0});
    }
  }
  return 0;
}

// Calls `visit(entry, path)` for every entry of `root` in the reverse of the
// order the create phase makes them: every directory after everything inside
// it, each list from its last entry to its first. An entry whose path would be
// longer than `maxPathLength` bytes cannot exist: it is passed over, and so
// is everything inside it, without building its path. A negative result
// from `visit` ends the walk with -1; stop requests are not heeded. Throws
// std::bad_alloc when memory is exhausted.
template <class List, class Visit>
int WalkPlannedTreeReversed(List& root, std::string_view targetDir, const PathStyle& style,
                            size_t maxPathLength, Visit&& visit) {
  using Entry = std::remove_reference_t<decltype(*root.begin()[0])>;
  struct Level {
    List* list;
    size_t left;          // entries not yet taken, taken from the last
    size_t prefixLength;  // the directory's path and its separator
    Entry* directory;     // visited once its list is done; null for the root
    size_t directoryPathLength;
  };
  std::string path(targetDir);
  if (NeedsSeparator(targetDir, style)) path.push_back(style.separator);
  std::vector<Level> stack;
  stack.push_back({&root, root.size(), path.size(), nullptr, 0});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.left == 0) {
      Entry* directory = level.directory;
      size_t length = level.directoryPathLength;
      stack.pop_back();
      if (directory != nullptr) {
        path.resize(length);
        if (visit(*directory, static_cast<const std::string&>(path)) < 0) return -1;
      }
      continue;
    }
    auto& entry = *level.list->begin()[--level.left];
    if (level.prefixLength + entry.name.size() > maxPathLength) continue;
    path.resize(level.prefixLength);
    path.append(entry.name);
    if (entry.IsDirectory() && entry.children && !entry.children->empty()) {
      size_t length = path.size();
      if (entry.name.empty() ? false : NeedsSeparator(entry.name, style)) {
        path.push_back(style.separator);
      }
      stack.push_back({entry.children.get(), entry.children->size(), path.size(), &entry, length});
      continue;
    }
    if (visit(entry, static_cast<const std::string&>(path)) < 0) return -1;
  }
  return 0;
}

}  // namespace dtk

#endif  // DTK_ENGINE_TREE_WALK_H_
