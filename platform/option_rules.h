// How each platform writes option words, and numbers read as the C runtime
// reads them.
#ifndef DTK_PLATFORM_OPTION_RULES_H_
#define DTK_PLATFORM_OPTION_RULES_H_

#include <cstdint>

namespace dtk {

// How a platform writes option words.
struct OptionRules {
  // Whether "/" introduces an option word as "-" does. It does on Windows;
  // on POSIX a word beginning with "/" is a path.
  bool slashIntroducesOption;
  // Compares an option name with a known one without regard to letter case;
  // 0 when they match.
  int (*compareNames)(const char* given, const char* known);
};

extern const OptionRules kPosixOptionRules;
extern const OptionRules kWindowsOptionRules;  // ASCII case folding
const OptionRules& NativeOptionRules();        // Windows: the C runtime's _mbsicmp

// The number at the start of `text` as the C runtime's atoi reads it
// (leading white space, an optional sign, digits up to the first other
// character), saturated at the limits of a signed 32-bit number.
int32_t ConvertNumber(const char* text);

}  // namespace dtk

#endif  // DTK_PLATFORM_OPTION_RULES_H_
