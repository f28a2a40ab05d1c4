#include "platform/option_rules.h"

#include <climits>

#ifdef _WIN32
#include <mbstring.h>
#endif

namespace dtk {
namespace {

int CompareAsciiNoCase(const char* given, const char* known) {
  for (;; ++given, ++known) {
    unsigned char a = static_cast<unsigned char>(*given);
    unsigned char b = static_cast<unsigned char>(*known);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

#ifdef _WIN32
int CompareMultibyteNoCase(const char* given, const char* known) {
  return _mbsicmp(reinterpret_cast<const unsigned char*>(given),
                  reinterpret_cast<const unsigned char*>(known));
}
#endif

}  // namespace

const OptionRules kPosixOptionRules = {false, CompareAsciiNoCase};
const OptionRules kWindowsOptionRules = {true, CompareAsciiNoCase};

const OptionRules& NativeOptionRules() {
#ifdef _WIN32
  static const OptionRules rules = {true, CompareMultibyteNoCase};
  return rules;
#else
  return kPosixOptionRules;
#endif
}

int32_t ConvertNumber(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<int64_t>(INT_MAX) + 1) break;  // saturates below
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace dtk
