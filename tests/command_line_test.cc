#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace dtk {
namespace {

struct Parsed {
  std::string error;
  CommandLine line;
};

Parsed Parse(std::vector<const char*> words, const OptionRules& rules = kPosixOptionRules) {
  words.insert(words.begin(), "dtk");
  Parsed parsed;
  parsed.error =
      ParseCommandLine(static_cast<int>(words.size()), words.data(), rules, &parsed.line);
  return parsed;
}

TEST(CommandLineTest, MessagesForBadCommandLines) {
  EXPECT_EQ(Parse({}).error, "Parameter error!\n");
  EXPECT_EQ(Parse({"-verify"}).error, "Parameter error!\n");
  EXPECT_EQ(Parse({"T", "-filesize"}).error, "Parameter error! (filesize)\n");
  EXPECT_EQ(Parse({"T", "-filesize", "-3"}).error, "Parameter error! (filesize)\n");
  EXPECT_EQ(Parse({"T", "--verify"}).error, "Parameter error! (-verify)\n");
  EXPECT_EQ(Parse({"T", "-"}).error, "Parameter error! ()\n");
  EXPECT_EQ(Parse({"T", "-foo", "-verify"}).error, "Parameter error! (foo)\n");
  EXPECT_EQ(Parse({"T", "-minFileSize", "500", "-maxFileSize", "100"}).error,
            "Min/Max Filesize error!\n");
}

TEST(CommandLineTest, DefaultsAndOptionsInAnyCase) {
  Parsed p = Parse({"T"});
  ASSERT_EQ(p.error, "");
  EXPECT_STREQ(p.line.targetDir, "T");
  EXPECT_FALSE(p.line.verifyRequested);
  EXPECT_EQ(p.line.config.totalSize, 104857600);
  EXPECT_EQ(p.line.config.minFileSize, 1);
  EXPECT_EQ(p.line.config.maxFileSize, 102400);
  EXPECT_EQ(p.line.config.maxDirFiles, 100u);
  EXPECT_EQ(p.line.config.maxDirLevel, 4u);

  p = Parse({"T", "-VERIFY", "-MAXdirlevel", "7", "-maxdirfiles", "9", "-MinFileSize", "100",
             "-maxFileSize", "100"});
  ASSERT_EQ(p.error, "");
  EXPECT_TRUE(p.line.verifyRequested);
  EXPECT_EQ(p.line.config.maxDirLevel, 7u);
  EXPECT_EQ(p.line.config.maxDirFiles, 9u);
  EXPECT_EQ(p.line.config.minFileSize, 100);
  EXPECT_EQ(p.line.config.maxFileSize, 100);
}

TEST(CommandLineTest, ThreadsFromOneTo1024) {
  EXPECT_EQ(Parse({"T"}).line.threads, 1);
  EXPECT_EQ(Parse({"T", "-THREADS", "1024"}).line.threads, 1024);
  EXPECT_EQ(Parse({"T", "/Threads", "8"}, kWindowsOptionRules).line.threads, 8);
  Parsed none = Parse({"T", "-threads", "0"});  // not taken: 0 is a plain word
  EXPECT_EQ(none.error, "");
  EXPECT_EQ(none.line.threads, 1);
  EXPECT_EQ(Parse({"T", "-threads", "1025"}).error, "Parameter error! (threads)\n");
  EXPECT_EQ(Parse({"T", "-threads"}).error, "Parameter error! (threads)\n");
}

TEST(CommandLineTest, ValueWords) {
  EXPECT_EQ(Parse({"T", "-filesize", "10"}).line.config.totalSize, 10485760);
  EXPECT_EQ(Parse({"T", "-filesize", "4096"}).line.config.totalSize, 4294967296);
  EXPECT_EQ(Parse({"T", "-FileSize", "10MB"}).line.config.totalSize, 10485760);
  EXPECT_EQ(Parse({"T", "-filesize", "5", "-filesize", "7"}).line.config.totalSize, 7340032);
  // A value of 0 is not taken; its word is read as a plain word.
  Parsed zero = Parse({"T", "-filesize", "0"});
  EXPECT_EQ(zero.error, "");
  EXPECT_EQ(zero.line.config.totalSize, 104857600);
  Parsed x = Parse({"-maxDirFiles", "x", "T"});
  EXPECT_STREQ(x.line.targetDir, "x");
  EXPECT_EQ(x.line.config.maxDirFiles, 100u);
  // The first plain word wins; later ones are ignored.
  Parsed later = Parse({"T", "U", "-verify", "3"});
  EXPECT_STREQ(later.line.targetDir, "T");
  EXPECT_TRUE(later.line.verifyRequested);
  // An empty first word is the target, and an empty target is refused.
  Parsed empty = Parse({"", "T"});
  EXPECT_EQ(empty.error, "Parameter error!\n");
  EXPECT_STREQ(empty.line.targetDir, "");
  // Numbers beyond 32 bits saturate rather than wrap.
  EXPECT_EQ(Parse({"T", "-maxDirFiles", "99999999999"}).line.config.maxDirFiles, 2147483647u);
}

TEST(CommandLineTest, AcrossRunOptions) {
  Parsed none = Parse({"T"});
  EXPECT_FALSE(none.line.noCreate);
  EXPECT_FALSE(none.line.noRemove);
  EXPECT_FALSE(none.line.sync);
  EXPECT_FALSE(none.line.direct);

  Parsed all = Parse({"T", "-NOCREATE", "-noremove", "-Sync", "-verify", "-Direct"});
  ASSERT_EQ(all.error, "");
  EXPECT_TRUE(all.line.noCreate);
  EXPECT_TRUE(all.line.noRemove);
  EXPECT_TRUE(all.line.sync);
  EXPECT_TRUE(all.line.direct);
  // Flags take no value word: a number after one is a plain word.
  EXPECT_STREQ(Parse({"-noCreate", "5"}).line.targetDir, "5");
  Parsed windows =
      Parse({"T", "/noCreate", "/NoRemove", "/verify", "/DIRECT"}, kWindowsOptionRules);
  ASSERT_EQ(windows.error, "");
  EXPECT_TRUE(windows.line.noCreate && windows.line.noRemove && windows.line.direct);

  // Neither creating, verifying nor removing is a run that does nothing.
  EXPECT_EQ(Parse({"T", "-noCreate", "-noRemove"}).error, "Parameter error! (noRemove)\n");
  EXPECT_EQ(Parse({"T", "-noRemove", "-NoCreate"}).error, "Parameter error! (noRemove)\n");
  EXPECT_EQ(Parse({"T", "-noCreate"}).error, "");
  EXPECT_EQ(Parse({"T", "-noRemove"}).error, "");
  // The missing target is still reported first.
  EXPECT_EQ(Parse({"-noCreate", "-noRemove"}).error, "Parameter error!\n");
  EXPECT_EQ(Parse({"T", "-noCreat"}).error, "Parameter error! (noCreat)\n");
}

TEST(CommandLineTest, ReportTakesAFileNameAsWritten) {
  EXPECT_EQ(Parse({"T"}).line.reportPath, nullptr);
  Parsed p = Parse({"T", "-REPORT", "0010 run.json"});
  ASSERT_EQ(p.error, "");
  EXPECT_STREQ(p.line.reportPath, "0010 run.json");  // not read as a number
  EXPECT_STREQ(p.line.targetDir, "T");
  EXPECT_STREQ(Parse({"-report", "r.json", "T"}).line.targetDir, "T");
  EXPECT_STREQ(Parse({"T", "-report", "/tmp/r.json"}).line.reportPath, "/tmp/r.json");
  EXPECT_STREQ(Parse({"T", "-report", "a", "-report", "b"}).line.reportPath, "b");
  EXPECT_EQ(Parse({"T", "-report"}).error, "Parameter error! (report)\n");
  EXPECT_EQ(Parse({"T", "-report", "-r.json"}).error, "Parameter error! (report)\n");
  EXPECT_EQ(Parse({"T", "-report", ""}).error, "Parameter error! (report)\n");
  EXPECT_EQ(Parse({"T", "/Report", "/r.json"}, kWindowsOptionRules).error,
            "Parameter error! (Report)\n");
  EXPECT_STREQ(Parse({"T", "/Report", "C:\\r.json"}, kWindowsOptionRules).line.reportPath,
               "C:\\r.json");
}

TEST(CommandLineTest, ConvertNumberReadsAsAtoiDoes) {
  EXPECT_EQ(ConvertNumber("  42"), 42);
  EXPECT_EQ(ConvertNumber("+7x"), 7);
  EXPECT_EQ(ConvertNumber("-12"), -12);
  EXPECT_EQ(ConvertNumber("x1"), 0);
  EXPECT_EQ(ConvertNumber(""), 0);
  EXPECT_EQ(ConvertNumber("2147483647"), 2147483647);
  EXPECT_EQ(ConvertNumber("-99999999999999999999"), -2147483647 - 1);
}

TEST(CommandLineTest, SlashWordsArePathsOnPosixAndOptionsOnWindows) {
  Parsed posix = Parse({"/tmp/x", "-verify"});
  ASSERT_EQ(posix.error, "");
  EXPECT_STREQ(posix.line.targetDir, "/tmp/x");
  // On POSIX a value word beginning with "/" is a value, not an option.
  EXPECT_EQ(Parse({"T", "-filesize", "/3"}).line.config.totalSize, 104857600);

  Parsed windows = Parse({"T", "/Verify", "/FileSize", "1"}, kWindowsOptionRules);
  ASSERT_EQ(windows.error, "");
  EXPECT_TRUE(windows.line.verifyRequested);
  EXPECT_EQ(windows.line.config.totalSize, 1048576);
  EXPECT_EQ(Parse({"/tmp/x"}, kWindowsOptionRules).error, "Parameter error! (tmp/x)\n");
  EXPECT_EQ(Parse({"T", "-filesize", "/3"}, kWindowsOptionRules).error,
            "Parameter error! (filesize)\n");
}

#ifdef _WIN32
TEST(CommandLineTest, NativeRulesOnWindows) {
  const OptionRules& rules = NativeOptionRules();
  Parsed parsed = Parse({"D:\\test", "/VERIFY", "/FileSize", "10MB", "-maxdirfiles", "7"}, rules);
  ASSERT_EQ(parsed.error, "");
  EXPECT_STREQ(parsed.line.targetDir, "D:\\test");
  EXPECT_TRUE(parsed.line.verifyRequested);
  EXPECT_EQ(parsed.line.config.totalSize, 10485760);
  EXPECT_EQ(parsed.line.config.maxDirFiles, 7u);
  EXPECT_EQ(Parse({"T", "/verif"}, rules).error, "Parameter error! (verif)\n");
  EXPECT_EQ(Parse({"T", "/verify\x95"}, rules).error, "Parameter error! (verify\x95)\n");
}
#endif

}  // namespace
}  // namespace dtk
