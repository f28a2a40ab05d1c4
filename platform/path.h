// Joining a directory path and an entry name, by the platform's rules.
#ifndef DTK_PLATFORM_PATH_H_
#define DTK_PLATFORM_PATH_H_

#include <string>
#include <string_view>

namespace dtk {

// How one platform writes paths: the separator it inserts, the single bytes
// that count as a separator at the end of a directory path, and which bytes
// lead and trail a double-byte character (none, for single-byte or UTF-8
// text, where every byte stands for itself).
struct PathStyle {
  char separator;
  bool (*isSeparator)(unsigned char byte);
  bool (*isLeadByte)(unsigned char byte);   // null: no double-byte characters
  bool (*isTrailByte)(unsigned char byte);  // null: no double-byte characters
};

// POSIX: "/" is inserted and is the only separator.
extern const PathStyle kPosixPathStyle;
// Windows in a single-byte code page: "\" is inserted; "\", "/" and ":" end
// a directory path without another separator.
extern const PathStyle kWindowsSingleBytePathStyle;
// Windows with the C runtime's current multibyte code page.
const PathStyle& WindowsCodePagePathStyle();
// The style of the platform this program was built for.
const PathStyle& NativePathStyle();

// Whether `dir` needs a separator before a name is added: false when its last
// character is a single byte that counts as a separator. A double-byte
// character never counts as one, whatever its trail byte.
bool NeedsSeparator(std::string_view dir, const PathStyle& style);

// `dir`, a separator when it needs one, then `name` unchanged. An empty `dir`
// gives the separator followed by `name`. Throws std::bad_alloc when memory
// is exhausted.
std::string JoinPath(std::string_view dir, std::string_view name,
                     const PathStyle& style = NativePathStyle());

}  // namespace dtk

#endif  // DTK_PLATFORM_PATH_H_
