#include "tree/file_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dtk {
namespace {

FileEntry Entry(int32_t number, bool directory, int64_t size = 0) {
  FileEntry entry;
  entry.number = number;
  entry.size = size;
  if (directory) {
    entry.attributes = kDirectoryAttribute;
    entry.children = std::make_unique<FileList>();
  }
  return entry;
}

TEST(FileListTest, CountsNamesAndWalksInBothDirections) {
  // Entries lie in the list's own array and move when it grows: sizes,
  // numbers and child lists must all arrive intact, and a child list keeps
  // its address.
  FileList list;
  EXPECT_EQ(list.begin(), list.end());
  std::vector<FileList*> childLists;
  for (int i = 0; i < 1000; ++i) {
    FileEntry entry = Entry(i, i % 10 == 0, i * 1000003LL);
    if (entry.children) childLists.push_back(entry.children.get());
    ASSERT_EQ(list.Append(std::move(entry)), 0);
  }
  EXPECT_EQ(list.dirCount(), 100u);
  EXPECT_EQ(list.fileCount(), 900u);
  int i = 0;
  for (const FileEntry& entry : list) {
    EXPECT_EQ(entry.size, i * 1000003LL);
    EXPECT_EQ(entry.Name(), (i % 10 == 0 ? "DIR-" : "file-") + std::to_string(i));
    if (i % 10 == 0) EXPECT_EQ(entry.children.get(), childLists[i / 10]);
    ++i;
  }
  std::string backward;
  for (auto it = list.rbegin(); it != list.rbegin() + 3; ++it) backward += (*it)->Name() + " ";
  EXPECT_EQ(backward, "file-999 file-998 file-997 ");
  EXPECT_EQ(Entry(-5, false).Name(), "file--5");
  list.Clear();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(list.fileCount() + list.dirCount(), 0u);
}

}  // namespace
}  // namespace dtk
