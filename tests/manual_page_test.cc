// The manual pages of dtk and dtk-report as the build makes them: every
// option the program takes is in the synopsis and has an entry of its own,
// the version is the project's, and each page renders cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "test_util.h"

namespace dtk {
namespace {

// The section headed ".SH `name`", from the line break before its heading to
// the one before the next heading.
std::string Section(const std::string& page, const std::string& name) {
  size_t begin = page.find("\n.SH " + name + "\n");
  return page.substr(begin, page.find("\n.SH ", begin + 1) + 1 - begin);
}

// Whether a line of `text` calls one of `macros` with the option word for
// `name` (roff writes the option's minus sign as "\-") as its first argument.
bool CallsWithOption(const std::string& text, std::vector<std::string> macros,
                     const std::string& name) {
  return std::any_of(macros.begin(), macros.end(), [&](const std::string& macro) {
    std::string head = "\n" + macro + " \\-" + name;
    return text.find(head + " ") != std::string::npos ||
           text.find(head + "\n") != std::string::npos;
  });
}

TEST(ManualPageTest, DocumentsEveryOptionAndRendersCleanlyWithinATerminalsWidth) {
  const std::pair<const char*, std::vector<std::string>> pages[] = {
      {DTK_MANUAL_PAGE, std::vector<std::string>(kOptionNames, kOptionNames + kOptionCount)},
      {DTK_REPORT_MANUAL_PAGE, {"\\-csv", "\\-chart", "\\-group\\-by"}}};
  for (auto [path, names] : pages) {
    names.insert(names.end(), {"\\-help", "\\-version"});  // both programs take them
    SCOPED_TRACE(path);
    std::string page = ReadWholeFile(path);
    std::string title = LinesStartingWith(page, ".TH ").at(0);
    EXPECT_NE(title.find("\"dtk " DTK_VERSION "\""), std::string::npos) << title;
    std::string synopsis = Section(page, "SYNOPSIS");
    std::string options = Section(page, "OPTIONS");
    for (const std::string& name : names) {
      EXPECT_TRUE(CallsWithOption(synopsis, {".OP", ".B"}, name))
          << "-" << name << " is missing from the synopsis";
      // An entry of its own: a tagged paragraph whose tag is the option.
      EXPECT_TRUE(CallsWithOption(options, {".TP\n.B", ".TP\n.BI"}, name))
          << "-" << name << " has no entry under OPTIONS";
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
    std::vector<std::string> lines = LinesStartingWith(text.out, "");
    EXPECT_GT(lines.size(), 100u);
    for (const std::string& line : lines) EXPECT_LE(line.size(), 80u) << line;
  }
}

}  // namespace
}  // namespace dtk
