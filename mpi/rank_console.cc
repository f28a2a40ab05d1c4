#include "mpi/rank_console.h"

namespace dtk {

RankConsole::RankConsole(Console& inner, int rank)
    : inner_(inner), prefix_("[rank " + std::to_string(rank) + "] ") {}

RankConsole::~RankConsole() { inner_.Flush(); }

std::string RankConsole::Prefixed(std::string_view text, bool& atLineStart) const {
  std::string lines;
  lines.reserve(text.size() + prefix_.size());
  for (char c : text) {
    if (atLineStart) lines += prefix_;
    lines += c;
    atLineStart = c == '\n';
  }
  return lines;
}

void RankConsole::Progress(std::string_view text) {
  // A line may arrive in pieces; a new line replaces the one held.
  if (!heldProgress_.empty() && heldProgress_.back() == '\n') heldProgress_.clear();
  heldProgress_.append(text);
}

void RankConsole::Error(std::string_view text) {
  std::string lines;
  if (!heldProgress_.empty()) {
    if (!errorAtLineStart_) lines += Prefixed("\n", errorAtLineStart_);
    lines += Prefixed(heldProgress_, errorAtLineStart_);
    if (!errorAtLineStart_) lines += Prefixed("\n", errorAtLineStart_);
    heldProgress_.clear();
  }
  lines += Prefixed(text, errorAtLineStart_);
  inner_.Error(lines);
  if (errorAtLineStart_) inner_.Flush();
}

void RankConsole::Output(std::string_view text) {
  inner_.Output(Prefixed(text, outputAtLineStart_));
}

}  // namespace dtk
