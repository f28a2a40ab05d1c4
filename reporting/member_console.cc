#include "reporting/member_console.h"

namespace dtk {

MemberConsole::MemberConsole(Console& inner, std::string_view kind, int number)
    : inner_(inner), prefix_("[" + std::string(kind) + " " + std::to_string(number) + "] ") {}

MemberConsole::~MemberConsole() { Flush(); }

std::string MemberConsole::Prefixed(std::string_view text, bool& atLineStart) const {
  std::string lines;
  lines.reserve(text.size() + prefix_.size());
  for (char c : text) {
    if (atLineStart) lines += prefix_;
    lines += c;
    atLineStart = c == '\n';
  }
  return lines;
}

void MemberConsole::Progress(std::string_view text) {
  // A line may arrive in pieces; a new line replaces the one held.
  if (!heldProgress_.empty() && heldProgress_.back() == '\n') heldProgress_.clear();
  heldProgress_.append(text);
}

void MemberConsole::Error(std::string_view text) {
  if (!heldProgress_.empty()) {
    if (!errorAtLineStart_) pendingError_ += Prefixed("\n", errorAtLineStart_);
    pendingError_ += Prefixed(heldProgress_, errorAtLineStart_);
    if (!errorAtLineStart_) pendingError_ += Prefixed("\n", errorAtLineStart_);
    heldProgress_.clear();
  }
  pendingError_ += Prefixed(text, errorAtLineStart_);
  size_t end = pendingError_.rfind('\n');
  if (end == std::string::npos) return;
  inner_.Error(std::string_view(pendingError_).substr(0, end + 1));
  pendingError_.erase(0, end + 1);
  inner_.Flush();
}

void MemberConsole::Output(std::string_view text) {
  inner_.Output(Prefixed(text, outputAtLineStart_));
}

void MemberConsole::Flush() {
  if (!pendingError_.empty()) {
    inner_.Error(pendingError_);
    pendingError_.clear();
  }
  inner_.Flush();
}

}  // namespace dtk
