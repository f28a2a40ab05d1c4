// Words of a command line and paths joined under each system's rules.
#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/path.h"

#ifdef _WIN32
#include <mbctype.h>
#endif

namespace dtk {
namespace {

// The parse of `words` after "dtk": its error, or every field it set, as
// "target|totalSize|min-max|maxDirFiles/maxDirLevel|flags|report|threads"
// (or "help", "version") with the flags v(erify), c (noCreate), r (noRemove), s(ync), d(irect).
std::string Parse(std::vector<const char*> words, const OptionRules& rules = kPosixOptionRules) {
  words.insert(words.begin(), "dtk");
  CommandLine line;
  std::string error = ParseCommandLine(static_cast<int>(words.size()), words.data(), rules, &line);
  if (!error.empty()) return error;
  if (line.asks != CommandLine::Asks::kRun) {
    return line.asks == CommandLine::Asks::kHelp ? "help" : "version";
  }
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
      // dtk's own counts take digits in range only, never a plain word.
      {{"T", "-threads", "0"}, "Parameter error! (threads)\n"},
      {{"T", "-threads", "1025"}, "Parameter error! (threads)\n"},
      {{"T", "-Threads", "8x"}, "Parameter error! (Threads)\n"},
      {{"T", "-depth", "abc"}, "Parameter error! (depth)\n"},
      {{"T", "-depth", "4097"}, "Parameter error! (depth)\n"},
      {{"T", "-depth", " 5"}, "Parameter error! (depth)\n"},
      {{"T", "-interval", "9"}, "Parameter error! (interval)\n"},
      {{"T", "-Interval", "60001"}, "Parameter error! (Interval)\n"},
      {{"T", "-interval", "abc"}, "Parameter error! (interval)\n"},
      {{"T", "-engine", ""}, "Parameter error! (engine)\n"},
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
      {{"T", "-report", "out/"}, "Parameter error! (report)\n"},
      {{"T", "-report", "out/.."}, "Parameter error! (report)\n"},
      {{"T", "-report", "out\\"}, "Parameter error! (report)\n", true},
      {{"T", "/Report", "/r.json"}, "Parameter error! (Report)\n", true},
      {{"T", "/Report", "C:\\r.json"}, "T" + kDefaults + "-|C:\\r.json|1", true},
      // A word beginning with "/" is a path on POSIX, an option on Windows.
      {{"/tmp/x", "-verify"}, "/tmp/x" + kDefaults + "v|-|1"},
      {{"T", "-filesize", "/3"}, "T" + kDefaults + "-|-|1"},
      {{"T", "/Verify", "/FileSize", "1"}, "T|1048576|1-102400|100/4|v|-|1", true},
      {{"/tmp/x"}, "Parameter error! (tmp/x)\n", true},
      {{"T", "-filesize", "/3"}, "Parameter error! (filesize)\n", true},
      // The help or the version where an option word is read, and nothing
      // after it; what comes before keeps its meaning.
      {{"--help"}, "help"},
      {{"T", "-H", "-threads", "0"}, "help"},
      {{"-noCreate", "-noRemove", "-Help"}, "help"},
      {{"-VERSION", "--help"}, "version"},
      {{"T", "-foo", "--help"}, "Parameter error! (foo)\n"},
      {{"T", "-report", "--help"}, "Parameter error! (report)\n"},
      {{"T", "--h"}, "Parameter error! (-h)\n"},
      {{"T", "-?"}, "Parameter error! (?)\n"},
      {{"/?"}, "help", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.words, c.windows ? kWindowsOptionRules : kPosixOptionRules), c.parsed)
        << testing::PrintToString(c.words);
  }
}

TEST(CommandLineTest, HelpHasALineForEveryOptionAndVersionNamesTheProgram) {
  const char* version[] = {"dtk-mpi", "--version"};
  EXPECT_EQ(HelpOrVersionText(2, version, kPosixOptionRules, "dtk-mpi"),
            "dtk-mpi " DTK_VERSION "\n");
  const char* words[] = {"dtk", "-h"};
  std::string help = HelpOrVersionText(2, words, kPosixOptionRules, "dtk");
  for (int k = 0; k < kOptionCount; ++k) {
    EXPECT_NE(help.find(std::string("\n  -") + kOptionNames[k] + " "), std::string::npos)
        << kOptionNames[k];
  }
  EXPECT_NE(help.find("\n  -interval MS         with -report, a sample"), std::string::npos);
  EXPECT_NE(help.find("\nSee man dtk."), std::string::npos);
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

bool Cp932Lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool Cp932Trail(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
bool WindowsSeparator(unsigned char b) { return b == '\\' || b == '/' || b == ':'; }
const PathStyle kCp932 = {'\\', WindowsSeparator, Cp932Lead, Cp932Trail};

// Each directory and name joined in a Windows single-byte code page, in code
// page 932 and on POSIX. The name is not examined. In code page 932, 0x95
// 0x5C is one character whose trail byte happens to be a backslash; 0x95
// 0x95 is one character, then a lone backslash; a lead byte with nothing
// after it is a byte of its own; a colon is no trail byte, so it stays a
// separator after a lead byte.
TEST(PathTest, RulesOfEachStyle) {
  const struct {
    const char *dir, *name, *windows, *cp932, *posix;
  } cases[] = {
      {"D:\\test", "file-0", "D:\\test\\file-0", "D:\\test\\file-0", "D:\\test/file-0"},
      {"D:\\test\\", "file-0", "D:\\test\\file-0", "D:\\test\\file-0", "D:\\test\\/file-0"},
      {"D:/test/", "x", "D:/test/x", "D:/test/x", "D:/test/x"},
      {"D:", "DIR-0", "D:DIR-0", "D:DIR-0", "D:/DIR-0"},
      {"", "file-0", "\\file-0", "\\file-0", "/file-0"},
      {"a", "\\b", "a\\\\b", "a\\\\b", "a/\\b"},
      {"/tmp/t", "file-0", "/tmp/t\\file-0", "/tmp/t\\file-0", "/tmp/t/file-0"},
      {"d\xC3\xA9j\xC3\xA0", "f", "d\xC3\xA9j\xC3\xA0\\f", "d\xC3\xA9j\xC3\xA0\\f",
       "d\xC3\xA9j\xC3\xA0/f"},
      {"\x95\x5C", "n", "\x95\x5Cn", "\x95\x5C\\n", "\x95\x5C/n"},
      {"\x95\x95\x5C", "n", "\x95\x95\x5Cn", "\x95\x95\x5Cn", "\x95\x95\x5C/n"},
      {"a\x95", "n", "a\x95\\n", "a\x95\\n", "a\x95/n"},
      {"\x95:", "n", "\x95:n", "\x95:n", "\x95:/n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JoinPath(c.dir, c.name, kWindowsSingleBytePathStyle), c.windows) << c.dir;
    EXPECT_EQ(JoinPath(c.dir, c.name, kCp932), c.cp932) << c.dir;
    EXPECT_EQ(JoinPath(c.dir, c.name, kPosixPathStyle), c.posix) << c.dir;
  }
}

#ifdef _WIN32
// The C runtime's own lead and trail bytes, as the program uses them.
class CodePageTest : public ::testing::Test {
 protected:
  ~CodePageTest() override { _setmbcp(saved_); }
  int saved_ = _getmbcp();
};

TEST_F(CodePageTest, TheRuntimesCodePageDecidesWhatATrailByteIs) {
  ASSERT_EQ(_setmbcp(932), 0);
  EXPECT_EQ(&NativePathStyle(), &WindowsCodePagePathStyle());
  EXPECT_EQ(JoinPath("D:\\\x95\x5C", "file-0"), "D:\\\x95\x5C\\file-0");
  EXPECT_EQ(JoinPath("\x95\x95\x5C", "n"), "\x95\x95\x5Cn");
  EXPECT_EQ(JoinPath("a\x95", "n"), "a\x95\\n");
  EXPECT_EQ(JoinPath("D:", "DIR-0"), "D:DIR-0");
  ASSERT_EQ(_setmbcp(1252), 0);
  EXPECT_EQ(JoinPath("\x95\x5C", "n"), "\x95\x5Cn");
  EXPECT_EQ(JoinPath("D:/test/", "x"), "D:/test/x");
}
#endif

}  // namespace
}  // namespace dtk
