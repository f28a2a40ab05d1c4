// Walks a planned tree depth first, building each entry's full path in one
// buffer and keeping the directories on the way open. The walks keep their
// own stack, so a tree of any depth costs no call stack; the path grows
// only as deep as the walk goes, and one directory handle is open per level.
#ifndef DTK_ENGINE_TREE_WALK_H_
#define DTK_ENGINE_TREE_WALK_H_

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/file_system.h"
#include "platform/path.h"
#include "tree/file_list.h"

namespace dtk {

// The directory a walk is in: its open handle, or the reason it has none,
// which everything inside it then fails with.
struct WalkDir {
  DirHandle handle = kInvalidDir;
  ErrorCode error = 0;
  bool isOpen() const { return handle != kInvalidDir; }
};

// Where the entry at the end of `path` lies, its name starting at
// `nameOffset`.
inline EntryPlace PlaceOf(const WalkDir& parent, const std::string& path, size_t nameOffset) {
  return {parent.handle, parent.error, path.c_str() + nameOffset, path.c_str(), path.size()};
}

namespace walk_internal {

// The path of the tree's root and its separator, as JoinPath makes it.
inline std::string RootPrefix(std::string_view targetDir, const PathStyle& style) {
  std::string path(targetDir);
  if (NeedsSeparator(targetDir, style)) path.push_back(style.separator);
  return path;
}

}  // namespace walk_internal

// Visits every entry of `root` in the order the create phase makes them:
// `visit(entry, path, nameOffset, parent, child)`, with `path` the entry's
// full path below `targetDir`, `parent` the directory that holds it (the
// tree's root is `rootDir`), and for a directory `child` the place for the
// directory its contents are then visited in (for a file, null). A
// directory's contents follow it at once, unless `visit` returns 1 for it.
// `leave(dir, completed)` is called for every directory `visit` was given
// as `child` once its contents are done (`completed`) or the walk ends early
// (memory exhausted too); a negative result from it ends the walk. A
// negative result from `visit` ends the walk with -1. Throws std::bad_alloc
// when memory is exhausted.
template <class List, class Visit, class Leave>
int WalkPlannedTree(List& root, std::string_view targetDir, const PathStyle& style,
                    const WalkDir& rootDir, Visit&& visit, Leave&& leave) {
  struct Level {
    List* list;
    size_t next;
    size_t prefixLength;  // the directory's path and its separator
    WalkDir dir;
  };
  std::string path = walk_internal::RootPrefix(targetDir, style);
  std::vector<Level> stack;
  stack.push_back({&root, 0, path.size(), rootDir});
  auto unwind = [&] {
    while (stack.size() > 1) {
      leave(stack.back().dir, false);
      stack.pop_back();
    }
  };
  // The directory a visit opens, until it is on the stack: when memory runs
  // out, it and every directory on the stack are left as on any early end.
  WalkDir child;
  bool childPending = false;
  try {
    while (!stack.empty()) {
      Level& level = stack.back();
      if (level.next == level.list->size()) {
        if (stack.size() > 1 && leave(level.dir, true) < 0) {
          stack.pop_back();
          unwind();
          return -1;
        }
        stack.pop_back();
        continue;
      }
      auto& entry = *level.list->begin()[level.next++];
      path.resize(level.prefixLength);
      entry.AppendName(path);
      if (!entry.IsDirectory()) {
        if (visit(entry, static_cast<const std::string&>(path), level.prefixLength,
                  static_cast<const WalkDir&>(level.dir), static_cast<WalkDir*>(nullptr)) < 0) {
          unwind();
          return -1;
        }
        continue;
      }
      child = WalkDir();
      childPending = true;
      int status = visit(entry, static_cast<const std::string&>(path), level.prefixLength,
                         static_cast<const WalkDir&>(level.dir), &child);
      if (status < 0 || status == 1 || !entry.children || entry.children->empty()) {
        childPending = false;
        int left = leave(child, status >= 0);
        if (status < 0 || left < 0) {
          unwind();
          return -1;
        }
        continue;
      }
      // A directory's name ends at a character boundary: the separator
      // after it is always needed.
      path.push_back(style.separator);
      stack.push_back({entry.children.get(), 0, path.size(), child});
      childPending = false;
    }
  } catch (...) {
    if (childPending) leave(child, false);
    unwind();
    throw;
  }
  return 0;
}

// Visits the entries of `root` that `include(entry)` accepts (a rejected
// directory takes its contents with it) in the reverse of the order the
// create phase makes them: every directory after everything inside it, each
// list from its last entry to its first. For a directory,
// `enter(entry, path, nameOffset, parent, child)` comes first and puts the
// directory to visit its contents in into `child` (1: pass the contents
// over); then the contents; then `leave(child)`; then the directory itself.
// `visit(entry, path, nameOffset, parent)` handles each entry. An entry
// whose path would be longer than `maxPathLength` bytes cannot exist: it is
// passed over, with everything inside it, without building its path. A
// negative result from `enter` or `visit` ends the walk with -1. Throws
// std::bad_alloc when memory is exhausted.
template <class List, class Include, class Enter, class Visit, class Leave>
int WalkPlannedTreeReversed(List& root, std::string_view targetDir, const PathStyle& style,
                            size_t maxPathLength, const WalkDir& rootDir, Include&& include,
                            Enter&& enter, Visit&& visit, Leave&& leave) {
  using Entry = std::remove_reference_t<decltype(*root.begin()[0])>;
  struct Level {
    List* list;
    size_t left;          // entries not yet taken, taken from the last
    size_t prefixLength;  // the directory's path and its separator
    WalkDir dir;
    Entry* directory;  // visited once its list is done; null for the root
    size_t directoryNameOffset;
  };
  std::string path = walk_internal::RootPrefix(targetDir, style);
  std::vector<Level> stack;
  stack.push_back({&root, root.size(), path.size(), rootDir, nullptr, 0});
  auto unwind = [&] {
    while (stack.size() > 1) {
      leave(stack.back().dir);
      stack.pop_back();
    }
  };
  // As in WalkPlannedTree: nothing stays open when memory runs out.
  WalkDir child;
  bool childPending = false;
  try {
    while (!stack.empty()) {
      Level& level = stack.back();
      if (level.left == 0) {
        Entry* directory = level.directory;
        size_t nameOffset = level.directoryNameOffset;
        if (directory == nullptr) break;
        leave(level.dir);
        stack.pop_back();
        path.resize(nameOffset);
        directory->AppendName(path);
        if (visit(*directory, static_cast<const std::string&>(path), nameOffset,
                  static_cast<const WalkDir&>(stack.back().dir)) < 0) {
          unwind();
          return -1;
        }
        continue;
      }
      auto& entry = *level.list->begin()[--level.left];
      if (!include(static_cast<const Entry&>(entry))) continue;
      path.resize(level.prefixLength);
      entry.AppendName(path);
      if (path.size() > maxPathLength) continue;
      if (entry.IsDirectory() && entry.children && !entry.children->empty()) {
        child = WalkDir();
        childPending = true;
        int status = enter(entry, static_cast<const std::string&>(path), level.prefixLength,
                           static_cast<const WalkDir&>(level.dir), &child);
        if (status < 0) {
          childPending = false;
          leave(child);
          unwind();
          return -1;
        }
        size_t nameOffset = level.prefixLength;
        path.push_back(style.separator);
        // A directory whose contents are passed over has an empty list to do.
        stack.push_back({entry.children.get(), status == 1 ? 0 : entry.children->size(),
                         path.size(), child, &entry, nameOffset});
        childPending = false;
        continue;
      }
      if (visit(entry, static_cast<const std::string&>(path), level.prefixLength,
                static_cast<const WalkDir&>(level.dir)) < 0) {
        unwind();
        return -1;
      }
    }
  } catch (...) {
    if (childPending) leave(child);
    unwind();
    throw;
  }
  return 0;
}

}  // namespace dtk

#endif  // DTK_ENGINE_TREE_WALK_H_
