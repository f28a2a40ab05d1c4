#include "platform/path.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <mbctype.h>
#endif

namespace dtk {
namespace {

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
