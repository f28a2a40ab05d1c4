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

TEST(PathTest, WindowsRulesInEveryCodePage) {
  for (const PathStyle* style : {&kWindowsSingleBytePathStyle, &kCp932}) {
    EXPECT_EQ(JoinPath("D:\\test", "file-0", *style), "D:\\test\\file-0");
    EXPECT_EQ(JoinPath("D:\\test\\", "file-0", *style), "D:\\test\\file-0");
    EXPECT_EQ(JoinPath("D:/test/", "x", *style), "D:/test/x");
    EXPECT_EQ(JoinPath("D:", "DIR-0", *style), "D:DIR-0");
    EXPECT_EQ(JoinPath("", "file-0", *style), "\\file-0");
    EXPECT_EQ(JoinPath(JoinPath("T", "DIR-0", *style), "file-3", *style), "T\\DIR-0\\file-3");
    EXPECT_EQ(JoinPath("a", "\\b", *style), "a\\\\b");  // the name is not examined
  }
}

TEST(PathTest, DoubleByteCharactersInCodePage932) {
  // 0x95 0x5C is one character whose trail byte happens to be a backslash.
  EXPECT_EQ(JoinPath("\x95\x5C", "n", kCp932), "\x95\x5C\\n");
  EXPECT_EQ(JoinPath("\x95\x5C", "n", kWindowsSingleBytePathStyle), "\x95\x5Cn");
  // 0x95 0x95 is one character, then a lone backslash: a separator.
  EXPECT_EQ(JoinPath("\x95\x95\x5C", "n", kCp932), "\x95\x95\x5Cn");
  // A lead byte with nothing after it is a byte of its own.
  EXPECT_EQ(JoinPath("a\x95", "n", kCp932), "a\x95\\n");
  // The same rule holds for a colon or a slash as trail byte... of which
  // only 0x40-0x7E and 0x80-0xFC are trail bytes: 0x3A (colon) and 0x2F are
  // not, so they stay separators after a lead byte.
  EXPECT_EQ(JoinPath("\x95:", "n", kCp932), "\x95:n");
}

TEST(PathTest, PosixRules) {
  EXPECT_EQ(JoinPath("/tmp/t", "file-0", kPosixPathStyle), "/tmp/t/file-0");
  EXPECT_EQ(JoinPath("/tmp/t/", "file-0", kPosixPathStyle), "/tmp/t/file-0");
  EXPECT_EQ(JoinPath("t\\", "x", kPosixPathStyle), "t\\/x");
  EXPECT_EQ(JoinPath("t:", "x", kPosixPathStyle), "t:/x");
  EXPECT_EQ(JoinPath("", "file-0", kPosixPathStyle), "/file-0");
  EXPECT_EQ(JoinPath("d\xC3\xA9j\xC3\xA0", "f", kPosixPathStyle), "d\xC3\xA9j\xC3\xA0/f");
}

#ifdef _WIN32
// The C runtime's own lead and trail bytes, as the program uses them.
class CodePageTest : public ::testing::Test {
 protected:
  ~CodePageTest() override { _setmbcp(saved_); }
  int saved_ = _getmbcp();
};

TEST_F(CodePageTest, CodePage932KeepsATrailByteBackslashInItsCharacter) {
  ASSERT_EQ(_setmbcp(932), 0);
  const PathStyle& style = NativePathStyle();
  EXPECT_EQ(&style, &WindowsCodePagePathStyle());
  EXPECT_EQ(JoinPath("D:\\\x95\x5C", "file-0"), "D:\\\x95\x5C\\file-0");
  EXPECT_EQ(JoinPath("\x95\x95\x5C", "n"), "\x95\x95\x5Cn");
  EXPECT_EQ(JoinPath("a\x95", "n"), "a\x95\\n");
  EXPECT_EQ(JoinPath("D:\\test\\", "file-0"), "D:\\test\\file-0");
  EXPECT_EQ(JoinPath("D:", "DIR-0"), "D:DIR-0");
}

TEST_F(CodePageTest, CodePage1252HasNoDoubleByteCharacters) {
  ASSERT_EQ(_setmbcp(1252), 0);
  EXPECT_EQ(JoinPath("\x95\x5C", "n"), "\x95\x5Cn");
  EXPECT_EQ(JoinPath("D:/test/", "x"), "D:/test/x");
  EXPECT_EQ(JoinPath("", "file-0"), "\\file-0");
}
#endif

}  // namespace
}  // namespace dtk
