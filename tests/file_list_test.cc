#include "tree/file_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(FileListTest, EntriesSurviveTheListGrowing) {
  // Entries lie in the list's own array and move when it grows: names on
  // the heap and in the string's own buffer, sizes, CRCs and child lists
  // must all arrive intact, and a child list keeps its address.
  FileList list;
  std::vector<FileList*> childLists;
  for (int i = 0; i < 1000; ++i) {
    FileEntry entry;
    std::string name = i % 2
                           ? "file-" + std::to_string(i)
                           : "a name far too long for the string's own buffer " + std::to_string(i);
    entry.SetName(name);
    entry.size = i * 1000003LL;
    entry.crcValue = 0x9E3779B9u * i;
    if (i % 10 == 0) {
      entry.attributes = kDirectoryAttribute;
      entry.children = std::make_unique<FileList>();
      entry.children->Append(Entry(("inside-" + std::to_string(i)).c_str(), 0));
      childLists.push_back(entry.children.get());
    }
    ASSERT_EQ(list.Append(std::move(entry)), 0);
  }
  EXPECT_EQ(list.dirCount(), 100u);
  EXPECT_EQ(list.fileCount(), 900u);
  int i = 0;
  for (const FileEntry& entry : list) {
    std::string name = i % 2
                           ? "file-" + std::to_string(i)
                           : "a name far too long for the string's own buffer " + std::to_string(i);
    ASSERT_EQ(entry.name, name);
    EXPECT_EQ(entry.size, i * 1000003LL);
    EXPECT_EQ(entry.crcValue, 0x9E3779B9u * i);
    if (i % 10 == 0) {
      ASSERT_EQ(entry.children.get(), childLists[i / 10]);
      EXPECT_EQ(entry.children->front().name, "inside-" + std::to_string(i));
    } else {
      EXPECT_EQ(entry.children, nullptr);
    }
    ++i;
  }
  EXPECT_EQ(list[999].name, list.back().name);
  EXPECT_EQ(list.end() - list.begin(), 1000);
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
