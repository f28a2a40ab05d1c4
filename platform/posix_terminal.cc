// The POSIX terminal of the standard error stream, where a status line is
// drawn.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/process.h"

namespace dtk {

bool IsTerminal(int stream) { return ::isatty(stream) == 1; }

namespace {

// A terminal that takes the common control sequences: a carriage return
// goes back to the start of the line, and ESC [ K erases from the cursor
// to the end of it.
class PosixStatusTerminal : public StatusTerminal {
 public:
  size_t Columns() override {
    struct winsize size {};
    return ::ioctl(2, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  }
  void Draw(std::string_view text) override {
    std::string line = "\r";
    line.append(text);
    line += "\033[K";  // what a longer line before left
    WriteStandardStream(2, line.data(), line.size());
  }
  void Erase() override { WriteStandardStream(2, "\r\033[K", 4); }
};

}  // namespace

StatusTerminal* StandardErrorTerminal() {
  static PosixStatusTerminal terminal;
  // A terminal that says it takes no control sequences gets no status line.
  const char* type = std::getenv("TERM");
  if (type != nullptr && std::string(type) == "dumb") return nullptr;
  return ::isatty(2) == 1 ? &terminal : nullptr;
}

}  // namespace dtk
