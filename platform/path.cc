#include "platform/path.h"

#ifdef _WIN32
#include <mbctype.h>
#endif

namespace dtk {
namespace {

bool IsSlash(unsigned char byte) { return byte == '/'; }
bool IsWindowsSeparator(unsigned char byte) { return byte == '/' || byte == '\\' || byte == ':'; }

#ifdef _WIN32
bool IsCurrentLeadByte(unsigned char byte) { return _ismbblead(byte) != 0; }
bool IsCurrentTrailByte(unsigned char byte) { return byte != 0 && _ismbbtrail(byte) != 0; }
#endif

}  // namespace

const PathStyle kPosixPathStyle = {'/', IsSlash, nullptr, nullptr};
const PathStyle kWindowsSingleBytePathStyle = {'\\', IsWindowsSeparator, nullptr, nullptr};

const PathStyle& WindowsCodePagePathStyle() {
#ifdef _WIN32
  static const PathStyle style = {'\\', IsWindowsSeparator, IsCurrentLeadByte, IsCurrentTrailByte};
  return style;
#else
  return kWindowsSingleBytePathStyle;
#endif
}

const PathStyle& NativePathStyle() {
#ifdef _WIN32
  return WindowsCodePagePathStyle();
#else
  return kPosixPathStyle;
#endif
}

bool NeedsSeparator(std::string_view dir, const PathStyle& style) {
  if (dir.empty()) return true;
  if (style.isLeadByte == nullptr) {
    return !style.isSeparator(static_cast<unsigned char>(dir.back()));
  }
  // Read character by character from the start: only there is it known
  // whether a byte is the second half of a double-byte character.
  bool lastIsSeparator = false;
  size_t i = 0;
  while (i < dir.size()) {
    unsigned char byte = static_cast<unsigned char>(dir[i]);
    if (i + 1 < dir.size() && style.isLeadByte(byte) &&
        style.isTrailByte(static_cast<unsigned char>(dir[i + 1]))) {
      lastIsSeparator = false;
      i += 2;
    } else {
      lastIsSeparator = style.isSeparator(byte);
      i += 1;
    }
  }
  return !lastIsSeparator;
}

std::string JoinPath(std::string_view dir, std::string_view name, const PathStyle& style) {
  std::string path;
  path.reserve(dir.size() + name.size() + 1);
  path.append(dir);
  if (NeedsSeparator(dir, style)) path.push_back(style.separator);
  path.append(name);
  return path;
}

}  // namespace dtk
