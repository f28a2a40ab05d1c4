#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace dtk {
namespace {

// The parse of `words` after "dtk": its error, or every field it set, as
// "target|totalSize|min-max|maxDirFiles/maxDirLevel|flags|report|threads"
// with the flags v(erify), c (noCreate), r (noRemove), s(ync), d(irect).
std::string Parse(std::vector<const char*> words, const OptionRules& rules = kPosixOptionRules) {
  words.insert(words.begin(), "dtk");
  CommandLine line;
  std::string error = ParseCommandLine(static_cast<int>(words.size()), words.data(), rules, &line);
  if (!error.empty()) return error;
  const TestConfig& c = line.config;
  std::string flags = std::string(line.verifyRequested ? "v" : "") + (line.noCreate ? "c" : "") +
                      (line.noRemove ? "r" : "") + (line.sync ? "s" : "") +
                      (line.direct ? "d" : "");
  return std::string(line.targetDir) + "|" + std::to_string(c.totalSize) + "|" +
         std::to_string(c.minFileSize) + "-" + std::to_string(c.maxFileSize) + "|" +
         std::to_string(c.maxDirFiles) + "/" + std::to_string(c.maxDirLevel) + "|" +
         (flags.empty() ? "-" : flags) + "|" + (line.reportPath ? line.reportPath : "-") + "|" +
         std::to_string(line.threads);
}

struct Case {
  std::vector<const char*> words;
  std::string parsed;  // Parse()'s text: the error or the fields
  bool windows = false;
};

const std::string kError = "Parameter error!\n";
const std::string kDefaults = "|104857600|1-102400|100/4|";

TEST(CommandLineTest, WordsGiveTheirFieldsOrTheirMessage) {
  const Case cases[] = {
      {{"T"}, "T" + kDefaults + "-|-|1"},
      {{}, kError},
      {{"-verify"}, kError},
      {{"", "T"}, kError},  // an empty first word is the target, and refused
      {{"T", "-filesize"}, "Parameter error! (filesize)\n"},
      {{"T", "-filesize", "-3"}, "Parameter error! (filesize)\n"},
      {{"T", "--verify"}, "Parameter error! (-verify)\n"},
      {{"T", "-"}, "Parameter error! ()\n"},
      {{"T", "-foo", "-verify"}, "Parameter error! (foo)\n"},
      {{"T", "-noCreat"}, "Parameter error! (noCreat)\n"},
      {{"T", "-minFileSize", "500", "-maxFileSize", "100"}, "Min/Max Filesize error!\n"},
      // Names in any case, every letter of the alphabet folded.
      {{"T", "-VERIFY", "-MAXdirlevel", "7", "-maxdirfiles", "9", "-MinFileSize", "100",
        "-maxFileSize", "100"},
       "T|104857600|100-100|9/7|v|-|1"},
      {{"T", "-FILESIZE", "3", "-MINFILESIZE", "2", "-MAXFILESIZE", "5"},
       "T|3145728|2-5|100/4|-|-|1"},
      {{"T", "-filesize", "4096"}, "T|4294967296|1-102400|100/4|-|-|1"},
      {{"T", "-FileSize", "10MB"}, "T|10485760|1-102400|100/4|-|-|1"},
      {{"T", "-filesize", "5", "-filesize", "7"}, "T|7340032|1-102400|100/4|-|-|1"},
      // A value of 0 or a word that is no number is not taken: it is a
      // plain word, and the first plain word is the target.
      {{"T", "-filesize", "0"}, "T" + kDefaults + "-|-|1"},
      {{"-maxDirFiles", "x", "T"}, "x" + kDefaults + "-|-|1"},
      {{"T", "U", "-verify", "3"}, "T" + kDefaults + "v|-|1"},
      // Numbers read as atoi reads them, held within 32 bits.
      {{"T", "-maxDirFiles", "99999999999"}, "T|104857600|1-102400|2147483647/4|-|-|1"},
      {{"T", "-maxDirLevel", " \t\r+42x"}, "T|104857600|1-102400|100/42|-|-|1"},
      {{"T", "-THREADS", "1024"}, "T" + kDefaults + "-|-|1024"},
      {{"T", "-threads", "0"}, "T" + kDefaults + "-|-|1"},
      {{"T", "-threads", "1025"}, "Parameter error! (threads)\n"},
      {{"T", "/Threads", "8"}, "T" + kDefaults + "-|-|8", true},
      // Flags take no value word.
      {{"T", "-NOCREATE", "-noremove", "-Sync", "-verify", "-Direct"},
       "T" + kDefaults + "vcrsd|-|1"},
      {{"-noCreate", "5"}, "5" + kDefaults + "c|-|1"},
      {{"T", "/noCreate", "/NoRemove", "/verify", "/DIRECT"}, "T" + kDefaults + "vcrd|-|1", true},
      // Neither creating, verifying nor removing is a run that does nothing;
      // a missing target is still reported first.
      {{"T", "-noCreate", "-noRemove"}, "Parameter error! (noRemove)\n"},
      {{"-noCreate", "-noRemove"}, kError},
      // A report's name is taken as written, not read as a number.
      {{"T", "-REPORT", "0010 run.json"}, "T" + kDefaults + "-|0010 run.json|1"},
      {{"-report", "a", "-report", "/tmp/b", "T"}, "T" + kDefaults + "-|/tmp/b|1"},
      {{"T", "-report"}, "Parameter error! (report)\n"},
      {{"T", "-report", ""}, "Parameter error! (report)\n"},
      {{"T", "/Report", "/r.json"}, "Parameter error! (Report)\n", true},
      {{"T", "/Report", "C:\\r.json"}, "T" + kDefaults + "-|C:\\r.json|1", true},
      // A word beginning with "/" is a path on POSIX, an option on Windows.
      {{"/tmp/x", "-verify"}, "/tmp/x" + kDefaults + "v|-|1"},
      {{"T", "-filesize", "/3"}, "T" + kDefaults + "-|-|1"},
      {{"T", "/Verify", "/FileSize", "1"}, "T|1048576|1-102400|100/4|v|-|1", true},
      {{"/tmp/x"}, "Parameter error! (tmp/x)\n", true},
      {{"T", "-filesize", "/3"}, "Parameter error! (filesize)\n", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.words, c.windows ? kWindowsOptionRules : kPosixOptionRules), c.parsed)
        << testing::PrintToString(c.words);
  }
}

#ifdef _WIN32
TEST(CommandLineTest, NativeRulesOnWindows) {
  const OptionRules& rules = NativeOptionRules();
  EXPECT_EQ(Parse({"D:\\test", "/VERIFY", "/FileSize", "10MB", "-maxdirfiles", "7"}, rules),
            "D:\\test|10485760|1-102400|7/4|v|-|1");
  EXPECT_EQ(Parse({"T", "/verif"}, rules), "Parameter error! (verif)\n");
  EXPECT_EQ(Parse({"T", "/verify\x95"}, rules), "Parameter error! (verify\x95)\n");
}
#endif

}  // namespace
}  // namespace dtk
