// Joins arbitrary directory paths and names under every path style: POSIX,
// Windows in a single-byte code page, and Windows in code page 932, whose
// double-byte characters may end in a byte that looks like a separator. The
// input is the directory, a NUL byte, then the name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/path.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool WindowsSeparator(unsigned char b) { return b == '\\' || b == '/' || b == ':'; }
bool Cp932Lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool Cp932Trail(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
const dtk::PathStyle kCp932Style = {'\\', WindowsSeparator, Cp932Lead, Cp932Trail};

// Whether `dir` ends in a single-byte separator, read from its first byte.
bool EndsInSeparator(std::string_view dir, const dtk::PathStyle& style) {
  bool separator = false;
  for (size_t i = 0; i < dir.size();) {
    auto byte = static_cast<unsigned char>(dir[i]);
    bool pair = style.isLeadByte != nullptr && i + 1 < dir.size() && style.isLeadByte(byte) &&
                style.isTrailByte(static_cast<unsigned char>(dir[i + 1]));
    separator = !pair && style.isSeparator(byte);
    i += pair ? 2 : 1;
  }
  return separator;
}

void Check(std::string_view dir, std::string_view name, const dtk::PathStyle& style) {
  std::string path = dtk::JoinPath(dir, name, style);
  bool separate = dir.empty() || !EndsInSeparator(dir, style);
  Require(dtk::NeedsSeparator(dir, style) == separate);
  Require(path.size() == dir.size() + name.size() + (separate ? 1 : 0));
  Require(path.compare(0, dir.size(), dir) == 0);
  Require(path.compare(path.size() - name.size(), name.size(), name) == 0);
  if (separate) Require(path[dir.size()] == style.separator);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string_view dir = input.substr(0, split);
  std::string_view name =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
  for (const dtk::PathStyle* style :
       {&dtk::kPosixPathStyle, &dtk::kWindowsSingleBytePathStyle, &kCp932Style}) {
    Check(dir, name, *style);
  }
  return 0;
}
