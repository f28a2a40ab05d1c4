// The manual page as the build makes it: every option the parser accepts is
// documented, the version is the project's, and it renders cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "test_util.h"

namespace dtk {
namespace {

// The lines of the section headed ".SH `name`", up to the next section.
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& name) {
  auto begin = std::find(lines.begin(), lines.end(), ".SH " + name);
  auto end = std::find_if(begin + (begin != lines.end()), lines.end(),
                          [](const std::string& line) { return line.rfind(".SH ", 0) == 0; });
  return std::vector<std::string>(begin + (begin != lines.end()), end);
}

// Whether `line` calls `macro` with the option word for `name` (roff writes
// the option's minus sign as "\-") as its first argument.
bool CallsWithOption(const std::string& line, const std::string& macro, const std::string& name) {
  std::string head = macro + " \\-" + name;
  return line.rfind(head, 0) == 0 && (line.size() == head.size() || line[head.size()] == ' ');
}

TEST(ManualPageTest, DocumentsEveryOptionTheParserAcceptsAndTheVersion) {
  std::istringstream page(ReadWholeFile(DTK_MANUAL_PAGE));
  std::vector<std::string> lines;
  for (std::string line; std::getline(page, line);) lines.push_back(line);
  auto title = std::find_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind(".TH ", 0) == 0; });
  ASSERT_NE(title, lines.end()) << DTK_MANUAL_PAGE;
  EXPECT_NE(title->find("\"dtk " DTK_VERSION "\""), std::string::npos) << *title;
  std::vector<std::string> synopsis = Section(lines, "SYNOPSIS");
  std::vector<std::string> options = Section(lines, "OPTIONS");
  ASSERT_FALSE(options.empty());
  for (int k = 0; k < kOptionCount; ++k) {
    std::string name = kOptionNames[k];
    EXPECT_TRUE(
        std::any_of(synopsis.begin(), synopsis.end(),
                    [&](const std::string& line) { return CallsWithOption(line, ".OP", name); }))
        << "-" << name << " is missing from the synopsis";
    // An entry of its own: a tagged paragraph whose tag is the option.
    bool entry = false;
    for (size_t i = 0; i + 1 < options.size(); ++i) {
      entry |= options[i] == ".TP" && (CallsWithOption(options[i + 1], ".B", name) ||
                                       CallsWithOption(options[i + 1], ".BI", name));
    }
    EXPECT_TRUE(entry) << "-" << name << " has no entry under OPTIONS";
  }
}

TEST(ManualPageTest, RendersWithoutWarningsWithinATerminalsWidth) {
  if (std::string(DTK_GROFF).empty()) GTEST_SKIP() << "groff is not installed";
  for (const char* device : {"-Tps", "-Tutf8"}) {
    ChildResult check = RunChild({DTK_GROFF, "-man", "-ww", "-z", device, DTK_MANUAL_PAGE});
    EXPECT_EQ(check.status, 0) << device;
    EXPECT_EQ(check.err, "") << device;
  }
  // Examples are not filled: a line too long for an 80-column terminal
  // would run over the edge.
  ChildResult text = RunChild({DTK_GROFF, "-man", "-Tascii", "-P-cbou", DTK_MANUAL_PAGE});
  ASSERT_EQ(text.status, 0) << text.err;
  std::istringstream rendered(text.out);
  int lineCount = 0;
  for (std::string line; std::getline(rendered, line); ++lineCount) {
    EXPECT_LE(line.size(), 80u) << line;
  }
  EXPECT_GT(lineCount, 100);
}

}  // namespace
}  // namespace dtk
