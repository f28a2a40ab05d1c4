// The manual pages of dtk and dtk-report as the build makes them: every
// option the program takes is in the synopsis and has an entry of its own,
// the version is the project's, and each page renders cleanly.
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

// Whether `line` calls one of `macros` with the option word for `name`
// (roff writes the option's minus sign as "\-") as its first argument.
bool CallsWithOption(const std::string& line, std::vector<std::string> macros,
                     const std::string& name) {
  return std::any_of(macros.begin(), macros.end(), [&](const std::string& macro) {
    std::string head = macro + " \\-" + name;
    return line.rfind(head, 0) == 0 && (line.size() == head.size() || line[head.size()] == ' ');
  });
}

TEST(ManualPageTest, DocumentsEveryOptionAndRendersCleanlyWithinATerminalsWidth) {
  const std::pair<const char*, std::vector<std::string>> pages[] = {
      {DTK_MANUAL_PAGE, std::vector<std::string>(kOptionNames, kOptionNames + kOptionCount)},
      {DTK_REPORT_MANUAL_PAGE, {"\\-csv", "\\-chart", "\\-help"}}};
  for (const auto& [path, names] : pages) {
    SCOPED_TRACE(path);
    std::istringstream page(ReadWholeFile(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(page, line);) lines.push_back(line);
    auto title = std::find_if(lines.begin(), lines.end(),
                              [](const std::string& line) { return line.rfind(".TH ", 0) == 0; });
    ASSERT_NE(title, lines.end());
    EXPECT_NE(title->find("\"dtk " DTK_VERSION "\""), std::string::npos) << *title;
    std::vector<std::string> synopsis = Section(lines, "SYNOPSIS");
    std::vector<std::string> options = Section(lines, "OPTIONS");
    ASSERT_FALSE(options.empty());
    for (const std::string& name : names) {
      EXPECT_TRUE(std::any_of(synopsis.begin(), synopsis.end(),
                              [&](const std::string& line) {
                                return CallsWithOption(line, {".OP", ".B"}, name);
                              }))
          << "-" << name << " is missing from the synopsis";
      // An entry of its own: a tagged paragraph whose tag is the option.
      bool entry = false;
      for (size_t i = 0; i + 1 < options.size(); ++i) {
        entry |= options[i] == ".TP" && CallsWithOption(options[i + 1], {".B", ".BI"}, name);
      }
      EXPECT_TRUE(entry) << "-" << name << " has no entry under OPTIONS";
    }
    if (std::string(DTK_GROFF).empty()) continue;  // groff is not installed
    for (const char* device : {"-Tps", "-Tutf8"}) {
      ChildResult check = RunChild({DTK_GROFF, "-man", "-ww", "-z", device, path});
      EXPECT_EQ(check.status, 0) << device;
      EXPECT_EQ(check.err, "") << device;
    }
    // Examples are not filled: a line too long for an 80-column terminal
    // would run over the edge.
    ChildResult text = RunChild({DTK_GROFF, "-man", "-Tascii", "-P-cbou", path});
    ASSERT_EQ(text.status, 0) << text.err;
    std::istringstream rendered(text.out);
    int lineCount = 0;
    for (std::string line; std::getline(rendered, line); ++lineCount) {
      EXPECT_LE(line.size(), 80u) << line;
    }
    EXPECT_GT(lineCount, 100);
  }
}

}  // namespace
}  // namespace dtk
