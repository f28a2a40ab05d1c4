// The console of one of many members of a run that print on one console
// (the processes of dtk-mpi other than rank 0, the threads of dtk -threads
// N): it keeps quiet while all goes well and prints its error lines, each
// marked with the member, so that they can be told apart where the lines of
// all members meet.
#ifndef DTK_REPORTING_MEMBER_CONSOLE_H_
#define DTK_REPORTING_MEMBER_CONSOLE_H_

#include <string>
#include <string_view>

#include "reporting/console.h"

namespace dtk {

class MemberConsole : public Console {
 public:
  // Borrows `inner` for its whole life; marks lines "[<kind> <number>] ".
  MemberConsole(Console& inner, std::string_view kind, int number);
  ~MemberConsole() override;

  // Prefixes every line with the mark and hands on only whole lines, each
  // in one call, flushed: lines of others printing on `inner` at the same
  // time come between lines, never inside one. The last progress line, held
  // back, comes first: it names the entry the error concerns.
  void Error(std::string_view text) override;
  // Holds the line back instead of printing it; nothing reaches `inner`.
  void Progress(std::string_view text) override;
  // Prefixes every line with the mark.
  void Output(std::string_view text) override;
  // Hands on a part of a line still held, then flushes `inner`.
  void Flush() override;

 private:
  // `text` with the prefix at the start of every line; `atLineStart` tells
  // whether the stream is at the start of a line and is updated.
  std::string Prefixed(std::string_view text, bool& atLineStart) const;

  Console& inner_;
  std::string prefix_;
  std::string heldProgress_;
  std::string pendingError_;  // the start of an error line not yet ended
  bool errorAtLineStart_ = true;
  bool outputAtLineStart_ = true;
};

}  // namespace dtk

#endif  // DTK_REPORTING_MEMBER_CONSOLE_H_
