// Text from a report or the command line, made fit to show. Reports travel
// between users and machines and may be made by hand: a name in one may
// hold control characters that drive a terminal, end a CSV cell or end a
// line of a gnuplot script.
#ifndef DTK_REPORT_SAFE_TEXT_H_
#define DTK_REPORT_SAFE_TEXT_H_

#include <string>
#include <string_view>

namespace dtk::report {

// `text` with each control character (C0, DEL, and C1 as UTF-8 C2 80..C2
// 9F) and each byte that is not part of valid UTF-8 written as \xNN, NN
// the upper-case hex of its code point or byte (ESC is \x1B, U+009B is
// \x9B). All other text stays as it is; with `keepNewlines`, so does '\n',
// for messages of several lines.
std::string Escaped(std::string_view text, bool keepNewlines = false);

}  // namespace dtk::report

#endif  // DTK_REPORT_SAFE_TEXT_H_
