// The in-memory model of a test tree: entries and the lists that own them.
#ifndef DTK_TREE_FILE_LIST_H_
#define DTK_TREE_FILE_LIST_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dtk {

class FileList;

constexpr uint32_t kDirectoryAttribute = 0x10;

// One planned file or directory. Its name is the prefix of its kind
// followed by its number ("file-12", "DIR-3"), so only the number is kept;
// a directory owns the list of what lies inside it. Files and directories
// are numbered in the order of a depth-first walk of the tree.
class FileEntry {
 public:
  static constexpr const char* kFilePrefix = "file-";
  static constexpr const char* kDirPrefix = "DIR-";

  FileEntry();
  ~FileEntry();
  FileEntry(const FileEntry&) = delete;
  FileEntry& operator=(const FileEntry&) = delete;
  // Lists hold their entries in place and move them when they grow.
  FileEntry(FileEntry&&) noexcept;
  FileEntry& operator=(FileEntry&&) noexcept;

  bool IsDirectory() const { return (attributes & kDirectoryAttribute) != 0; }
  // Appends the entry's name to `out`.
  void AppendName(std::string& out) const;
  std::string Name() const;

  int64_t size = 0;
  uint32_t attributes = 0;
  int32_t number = 0;
  std::unique_ptr<FileList> children;
};

// An ordered list that owns its entries and counts files and directories.
// The entries lie in one array, so an entry costs no allocation of its own.
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

  // Moves `entry` to the end of the list and counts it by its attributes as
  // they are now. Returns 0, or -1 when the list is full or memory is
  // exhausted (`entry` is then left as it was).
  int Append(FileEntry&& entry);
  // The same for an entry made on its own; it is released either way.
  int Append(std::unique_ptr<FileEntry> entry);
  // Room for `count` entries in all, so appending up to that many allocates
  // nothing for the list itself. Returns 0 or -1 when memory is exhausted.
  int Reserve(size_t count);

  size_t size() const { return entries_.size(); }
  size_t capacity() const { return entries_.capacity(); }
  bool empty() const { return entries_.empty(); }
  uint32_t fileCount() const { return fileCount_; }
  uint32_t dirCount() const { return dirCount_; }

  // What a walk yields for each entry: a pointer-like handle (`entry->size`,
  // `*entry`) that also stands for the entry itself
  // (`for (const FileEntry& entry : list)`). As with a list of owning
  // pointers, a walk over a const list may still change the entries, though
  // not the list.
  class Handle {
   public:
    explicit Handle(FileEntry* entry) : entry_(entry) {}
    operator FileEntry&() const { return *entry_; }
    FileEntry& operator*() const { return *entry_; }
    FileEntry* operator->() const { return entry_; }
    FileEntry* get() const { return entry_; }

   private:
    FileEntry* entry_;
  };

  class Iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = Handle;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Handle;

    Iterator() = default;
    explicit Iterator(FileEntry* at) : at_(at) {}
    Handle operator*() const { return Handle(at_); }
    Handle operator[](difference_type n) const { return Handle(at_ + n); }
    Iterator& operator++() { return ++at_, *this; }
    Iterator& operator--() { return --at_, *this; }
    Iterator operator++(int) { return Iterator(at_++); }
    Iterator operator--(int) { return Iterator(at_--); }
    Iterator& operator+=(difference_type n) { return at_ += n, *this; }
    Iterator& operator-=(difference_type n) { return at_ -= n, *this; }
    friend Iterator operator+(Iterator it, difference_type n) { return it += n; }
    friend Iterator operator+(difference_type n, Iterator it) { return it += n; }
    friend Iterator operator-(Iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(Iterator a, Iterator b) { return a.at_ - b.at_; }
    friend bool operator==(Iterator a, Iterator b) { return a.at_ == b.at_; }
    friend auto operator<=>(Iterator a, Iterator b) { return a.at_ <=> b.at_; }

   private:
    FileEntry* at_ = nullptr;
  };
  using ReverseIterator = std::reverse_iterator<Iterator>;

  // Walks: first to last with a range-for, last to first with rbegin/rend.
  Iterator begin() const { return Iterator(Data()); }
  Iterator end() const { return Iterator(Data() + entries_.size()); }
  ReverseIterator rbegin() const { return ReverseIterator(end()); }
  ReverseIterator rend() const { return ReverseIterator(begin()); }
  FileEntry& operator[](size_t index) const { return Data()[index]; }
  FileEntry& front() const { return Data()[0]; }
  FileEntry& back() const { return Data()[entries_.size() - 1]; }

  // Releases every entry (and every list below them) and zeroes the counts.
  void Clear();

 private:
  FileEntry* Data() const { return const_cast<FileEntry*>(entries_.data()); }
  void Count(const FileEntry& entry);

  std::vector<FileEntry> entries_;
  uint32_t fileCount_ = 0;
  uint32_t dirCount_ = 0;
};

}  // namespace dtk

#endif  // DTK_TREE_FILE_LIST_H_
