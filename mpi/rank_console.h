// The console of a process that is not the first of a run of many: it keeps
// quiet while all goes well and prints its error lines, each marked with
// its rank, so that they can be told apart where the lines of all
// processes meet.
#ifndef DTK_MPI_RANK_CONSOLE_H_
#define DTK_MPI_RANK_CONSOLE_H_

#include <string>
#include <string_view>

#include "reporting/console.h"

namespace dtk {

class RankConsole : public Console {
 public:
  // Borrows `inner` for its whole life.
  RankConsole(Console& inner, int rank);
  ~RankConsole() override;

  // Prefixes every line with "[rank N] " and flushes at each line's end.
  // The last progress line, held back, comes first: it names the entry the
  // error concerns.
  void Error(std::string_view text) override;
  // Holds the line back instead of printing it.
  void Progress(std::string_view text) override;
  // Prefixes every line with "[rank N] ".
  void Output(std::string_view text) override;
  void Flush() override { inner_.Flush(); }

 private:
  // `text` with the prefix at the start of every line; `atLineStart` tells
  // whether the stream is at the start of a line and is updated.
  std::string Prefixed(std::string_view text, bool& atLineStart) const;

  Console& inner_;
  std::string prefix_;
  std::string heldProgress_;
  bool errorAtLineStart_ = true;
  bool outputAtLineStart_ = true;
};

}  // namespace dtk

#endif  // DTK_MPI_RANK_CONSOLE_H_
