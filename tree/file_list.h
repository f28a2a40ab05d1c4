// The in-memory model of a test tree: entries and the lists that own them.
#ifndef DTK_TREE_FILE_LIST_H_
#define DTK_TREE_FILE_LIST_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dtk {

class FileList;

constexpr uint32_t kDirectoryAttribute = 0x10;

// One planned or created file or directory. In the planned tree `name` is a
// bare name and a directory owns the list of what lies inside it; in the
// tester's list of created entries `name` is a full path and there are no
// children.
class FileEntry {
 public:
  FileEntry();
  ~FileEntry();
  FileEntry(const FileEntry&) = delete;
  FileEntry& operator=(const FileEntry&) = delete;

  // Replaces the name with a copy of `text`. Returns 0, or -1 when the copy
  // cannot be allocated (the name is then empty).
  int SetName(std::string_view text);

  bool IsDirectory() const { return (attributes & kDirectoryAttribute) != 0; }

  std::string name;
  int64_t size = 0;
  uint32_t attributes = 0;
  uint32_t crcValue = 0;
  std::unique_ptr<FileList> children;
};

// An ordered list that owns its entries and counts files and directories.
class FileList {
 public:
  // The most entries one list may hold.
  static constexpr uint32_t kMaxEntries = (1u << 30) - 1;

  FileList() = default;
  // Tears the tree down without recursing per nesting level, so a chain of
  // any depth is released in constant stack space.
  ~FileList();
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // Takes ownership of `entry` and counts it by its attributes as they are
  // now. Returns 0, or -1 when the list is full or memory is exhausted (the
  // entry is then released).
  int Append(std::unique_ptr<FileEntry> entry);
  // Room for `count` entries in all, so appending up to that many allocates
  // nothing for the list itself. Returns 0 or -1 when memory is exhausted.
  int Reserve(size_t count);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  uint32_t fileCount() const { return fileCount_; }
  uint32_t dirCount() const { return dirCount_; }

  // Walks: first to last with a range-for, last to first with rbegin/rend.
  using Entries = std::vector<std::unique_ptr<FileEntry>>;
  Entries::const_iterator begin() const { return entries_.begin(); }
  Entries::const_iterator end() const { return entries_.end(); }
  Entries::const_reverse_iterator rbegin() const { return entries_.rbegin(); }
  Entries::const_reverse_iterator rend() const { return entries_.rend(); }
  FileEntry& front() const { return *entries_.front(); }
  FileEntry& back() const { return *entries_.back(); }

  // Releases every entry (and every list below them) and zeroes the counts.
  void Clear();

 private:
  Entries entries_;
  uint32_t fileCount_ = 0;
  uint32_t dirCount_ = 0;
};

}  // namespace dtk

#endif  // DTK_TREE_FILE_LIST_H_
