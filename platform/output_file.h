// Writing a file that lies outside the tree: a run's report, a chart. Both
// programs write such files as root in shared directories, so whatever
// another user put at the name, or swaps in while it is written, is never
// written through.
#ifndef DTK_PLATFORM_OUTPUT_FILE_H_
#define DTK_PLATFORM_OUTPUT_FILE_H_

#include <string_view>

#include "platform/file_system.h"

namespace dtk {

// Writes `text` as the file `path`. Returns 0, or the system's code for
// why it could not.
//
// - Nothing at the name, or a regular file: the text goes to a new file
//   with a name of its own in the same directory (made only where nothing
//   is, never a fixed name), is flushed to stable storage, and is renamed
//   over `path` in one step. A reader sees the old file or the new one,
//   never a part; writers at once each finish, and the last one's file
//   stays whole. The file in the destination (another name of it, a file
//   someone else owns) is never opened for writing.
// - A device, a FIFO or a socket: written into, after what it holds; never
//   replaced, truncated or made. A FIFO without a reader is waited for, but
//   only until a stop is requested (StopRequested), and a reader that stops
//   taking the text gets a second after that, as the console's lines do.
// - A symbolic link: followed when this user or root owns it
//   (/dev/stdout), and then written into as above; one that another user
//   owns is refused with the code of too many levels of links, and what it
//   points at is not touched.
// - A directory: refused.
//
// What is at the name is opened first and then looked at, never looked at
// and then opened by name, so nothing swapped in between is written.
ErrorCode WriteOutputFile(const char* path, std::string_view text);

}  // namespace dtk

#endif  // DTK_PLATFORM_OUTPUT_FILE_H_
