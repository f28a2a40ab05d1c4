#include "reporting/console.h"

#include <gtest/gtest.h>

#include <string>

namespace dtk {
namespace {

TEST(ConsoleTest, MemoryConsoleKeepsStreamsAndOrder) {
  MemoryConsole console;
  console.ErrorF("%s Start\n", "TS");
  console.Error("part ");
  console.Error("whole\n");
  console.OutputF("Create %u files\n", 2u);
  ASSERT_EQ(console.lines().size(), 3u);
  EXPECT_EQ(console.Transcript(), "E TS Start\nE part whole\nO Create 2 files\n");
  std::string longText(5000, 'x');
  console.ErrorF("%s\n", longText.c_str());
  EXPECT_EQ(console.lines().back().text, longText + "\n");
}

}  // namespace
}  // namespace dtk
