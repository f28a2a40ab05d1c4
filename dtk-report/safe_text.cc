#include "dtk-report/safe_text.h"

#include <cstdint>
#include <cstdio>

namespace dtk::report {
namespace {

// The code point of the valid UTF-8 sequence at `text[at]` and its length
// in `*length`; 0 bytes long where the bytes there are not valid UTF-8
// (a stray continuation, a sequence cut short, an overlong form, a
// surrogate, a point beyond U+10FFFF).
uint32_t Decode(std::string_view text, size_t at, size_t* length) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  size_t count = lead < 0x80   ? 1
                 : lead < 0xC2 ? 0
                 : lead < 0xE0 ? 2
                 : lead < 0xF0 ? 3
                 : lead < 0xF5 ? 4
                               : 0;
  *length = 0;
  if (count == 0 || at + count > text.size()) return lead;
  uint32_t point = count == 1 ? lead : lead & (0x7F >> count);
  for (size_t i = 1; i < count; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return lead;
    point = point << 6 | (byte(at + i) & 0x3F);
  }
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kLeast[count] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
    return lead;
  }
  *length = count;
  return point;
}

}  // namespace

std::string Escaped(std::string_view text, bool keepNewlines) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    size_t length;
    uint32_t point = Decode(text, at, &length);
    bool control = point < 0x20 || (point >= 0x7F && point <= 0x9F);
    if (length == 0 || (control && !(keepNewlines && point == '\n'))) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02X", static_cast<unsigned>(point));
      shown += escape;
      at += length == 0 ? 1 : length;
    } else {
      shown.append(text.substr(at, length));
      at += length;
    }
  }
  return shown;
}

}  // namespace dtk::report
