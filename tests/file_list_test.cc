#include "tree/file_list.h"

#include <gtest/gtest.h>

namespace dtk {
namespace {

std::unique_ptr<FileEntry> Entry(const char* name, uint32_t attributes) {
  auto entry = std::make_unique<FileEntry>();
  entry->SetName(name);
  entry->attributes = attributes;
  if (attributes & kDirectoryAttribute) entry->children = std::make_unique<FileList>();
  return entry;
}

TEST(FileListTest, CountsAndWalksInBothDirections) {
  FileList list;
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(list.begin(), list.end());
  EXPECT_EQ(list.rbegin(), list.rend());
  list.Append(Entry("file-0", 0));
  list.Append(Entry("DIR-0", kDirectoryAttribute));
  list.Append(Entry("file-1", 0));
  EXPECT_EQ(list.fileCount(), 2u);
  EXPECT_EQ(list.dirCount(), 1u);
  EXPECT_EQ(list.size(), 3u);
  std::string forward, backward;
  for (const auto& entry : list) forward += entry->name + " ";
  for (auto it = list.rbegin(); it != list.rend(); ++it) backward += (*it)->name + " ";
  EXPECT_EQ(forward, "file-0 DIR-0 file-1 ");
  EXPECT_EQ(backward, "file-1 DIR-0 file-0 ");
  list.Clear();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(list.fileCount() + list.dirCount(), 0u);
}

TEST(FileListTest, SetNameReplacesAndKeepsEmptyNames) {
  FileEntry entry;
  EXPECT_EQ(entry.SetName("first"), 0);
  EXPECT_EQ(entry.SetName("second"), 0);
  EXPECT_EQ(entry.name, "second");
  EXPECT_EQ(entry.SetName(""), 0);
  EXPECT_TRUE(entry.name.empty());
}

TEST(FileListTest, AVeryDeepChainIsReleasedWithoutExhaustingTheStack) {
  // A million nested lists: recursive destruction would overflow the stack.
  auto root = std::make_unique<FileList>();
  FileList* current = root.get();
  for (int level = 0; level < 1000000; ++level) {
    auto dir = Entry("DIR", kDirectoryAttribute);
    FileList* inside = dir->children.get();
    current->Append(Entry("file", 0));
    current->Append(std::move(dir));
    current = inside;
  }
  root.reset();
  SUCCEED();
}

}  // namespace
}  // namespace dtk
