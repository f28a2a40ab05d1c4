// Where the tool's lines go: progress, start, finish and error lines to the
// standard error stream, phase summaries to the standard output stream.
#ifndef DTK_REPORTING_CONSOLE_H_
#define DTK_REPORTING_CONSOLE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace dtk {

class Console {
 public:
  virtual ~Console() = default;
  // One line (or part of one) for the standard error stream.
  virtual void Error(std::string_view text) = 0;
  // One progress line, announcing an entry before it is handled; it goes
  // where error lines go unless a console tells them apart.
  virtual void Progress(std::string_view text) { Error(text); }
  // One line for the standard output stream.
  virtual void Output(std::string_view text) = 0;
  // Pushes out everything written so far.
  virtual void Flush() {}

  void ErrorF(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  void OutputF(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  void ProgressF(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
};

// One line for the standard error stream, put together from its pieces in a
// buffer on the stack: no format is parsed and nothing is allocated, so a
// progress line costs little more than copying its bytes. A line longer than
// the buffer reaches the console in pieces, which every console joins.
//
//   ErrorLine(console).Add("CreateFile ").Add(path).Add(" (").Int64(size)...Send();
class ErrorLine {
 public:
  // A progress line goes to the console's Progress(), any other to Error().
  enum Kind { kError, kProgress };
  explicit ErrorLine(Console& console, Kind kind = kError)
      : console_(console), progress_(kind == kProgress) {}
  ErrorLine(const ErrorLine&) = delete;
  ErrorLine& operator=(const ErrorLine&) = delete;

  ErrorLine& Add(std::string_view text);
  ErrorLine& Int64(int64_t value);      // signed decimal, as "%lld"
  ErrorLine& Unsigned(uint32_t value);  // as "%u"
  ErrorLine& Hex8(uint32_t value);      // eight upper-case digits, as "%08X"
  // Hands what is left of the line to the console.
  void Send();

 private:
  static constexpr size_t kCapacity = 512;
  // Room for `count` more bytes, handing the buffer over first when needed.
  char* Reserve(size_t count);
  void Deliver(std::string_view text);

  Console& console_;
  bool progress_;
  size_t length_ = 0;
  char buffer_[kCapacity];
};

// The process's own standard streams, written through `write` (the
// platform's WriteStandardStream). Each has a buffer of its own: a stream
// that is a terminal gets every line as it comes, any other gets its lines
// in blocks; each stream is flushed before the other is written, so lines
// keep their order when both go to one file or pipe. A stream that fails to
// take a line (a closed pipe, or one nobody reads after a stop request) is
// left alone from then on.
class StreamConsole : public Console {
 public:
  using WriteCall = bool (*)(int stream, const char* data, size_t count);
  StreamConsole(WriteCall write, bool outputIsTerminal, bool errorIsTerminal);
  ~StreamConsole() override;
  void Error(std::string_view text) override { Add(error_, text); }
  void Output(std::string_view text) override { Add(output_, text); }
  void Flush() override;

 private:
  static constexpr size_t kBufferSize = 1 << 16;
  struct Stream {
    // The buffer is left as it is: only the bytes below `length` are read.
    Stream(int number, bool lineByLine) : number(number), lineByLine(lineByLine) {}
    int number;
    bool lineByLine;
    bool failed = false;
    size_t length = 0;
    char buffer[kBufferSize];
  };
  void Add(Stream& stream, std::string_view text);
  void FlushStream(Stream& stream);

  WriteCall write_;
  Stream output_;
  Stream error_;
  Stream* last_ = nullptr;
};

// One console that many threads print on: each call has the console to
// itself while it lasts. Lines that are never printed (the progress lines
// a MemberConsole holds back) never get here and cost no lock. With a
// terminal, it keeps a status line below the last line printed: the
// status line is erased before any other line is printed, so that no line
// is ever mixed with it.
class LockedConsole : public Console {
 public:
  // Borrows `inner` and `terminal` (may be null: no status line), which
  // shows what `inner` writes to the standard error stream, for its whole
  // life.
  explicit LockedConsole(Console& inner, StatusTerminal* terminal = nullptr)
      : inner_(inner), terminal_(terminal) {}
  void Error(std::string_view text) override;
  void Progress(std::string_view text) override;
  void Output(std::string_view text) override;
  void Flush() override;

  // Draws the text that `status` returns as the status line, or erases the
  // status line when it returns an empty text. `status` runs while the
  // console is held, so that what it reads is drawn before any line printed
  // after it. Nothing happens without a terminal.
  void ShowStatus(const std::function<std::string(size_t columns)>& status);
  // Erases the status line, if one is drawn.
  void HideStatus();

 private:
  // Erases the status line, the console being held.
  void Hide();

  Console& inner_;
  StatusTerminal* terminal_;
  std::mutex mutex_;
  bool statusShown_ = false;
};

// Keeps every line in order, tagged with its stream; for tests and for
// anything that wants the text rather than the terminal.
class MemoryConsole : public Console {
 public:
  struct Line {
    bool isError;
    std::string text;
  };
  void Error(std::string_view text) override { Add(true, text); }
  void Output(std::string_view text) override { Add(false, text); }

  const std::vector<Line>& lines() const { return lines_; }
  // Every line in order, each prefixed "E " or "O " by its stream.
  std::string Transcript() const;
  std::string ErrorText() const;
  std::string OutputText() const;
  void Clear() { lines_.clear(); }

 private:
  void Add(bool isError, std::string_view text);
  std::vector<Line> lines_;
};

}  // namespace dtk

#endif  // DTK_REPORTING_CONSOLE_H_
