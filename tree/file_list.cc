#include "tree/file_list.h"

#include <charconv>
#include <new>

namespace dtk {

FileEntry::FileEntry() = default;
FileEntry::~FileEntry() = default;
FileEntry::FileEntry(FileEntry&&) noexcept = default;
FileEntry& FileEntry::operator=(FileEntry&&) noexcept = default;

void FileEntry::AppendName(std::string& out) const {
  char digits[12];
  auto end = std::to_chars(digits, digits + sizeof(digits), number).ptr;
  out.append(IsDirectory() ? kDirPrefix : kFilePrefix);
  out.append(digits, end);
}

std::string FileEntry::Name() const {
  std::string name;
  AppendName(name);
  return name;
}

FileList::~FileList() { Clear(); }

void FileList::Count(const FileEntry& entry) {
  if (entry.IsDirectory()) {
    ++dirCount_;
  } else {
    ++fileCount_;
  }
}

int FileList::Append(FileEntry&& entry) {
  if (entries_.size() >= kMaxEntries) return -1;
  try {
    entries_.push_back(std::move(entry));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  Count(entries_.back());
  return 0;
}

int FileList::Append(std::unique_ptr<FileEntry> entry) { return Append(std::move(*entry)); }

int FileList::Reserve(size_t count) {
  try {
    entries_.reserve(count);
    return 0;
  } catch (const std::exception&) {
    return -1;
  }
}

void FileList::Clear() {
  // Child lists are detached before their entries go, and released from a
  // work list here, so no destructor ever reaches into a nested list.
  std::vector<std::unique_ptr<FileList>> pending;
  auto detach = [&pending](FileList& list) {
    for (FileEntry& entry : list.entries_) {
      if (entry.children) {
        try {
          pending.push_back(std::move(entry.children));
        } catch (const std::bad_alloc&) {
          // No room to defer this list: release it where it stands, which
          // recurses only as deep as memory ran short.
          entry.children.reset();
        }
      }
    }
    list.entries_.clear();
    list.entries_.shrink_to_fit();
    list.fileCount_ = 0;
    list.dirCount_ = 0;
  };
  detach(*this);
  while (!pending.empty()) {
    std::unique_ptr<FileList> list = std::move(pending.back());
    pending.pop_back();
    detach(*list);
  }
}

}  // namespace dtk
