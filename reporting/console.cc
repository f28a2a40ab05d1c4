#include "reporting/console.h"

#include <charconv>
#include <cstdarg>
#include <cstring>

namespace dtk {
namespace {

// Formats into a stack buffer, or into a string when the text is longer.
template <class Sink>
void FormatTo(Sink sink, const char* format, va_list args) {
  char buffer[1024];
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(length) < sizeof(buffer)) {
    sink(std::string_view(buffer, length));
  } else {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    text.pop_back();
    sink(std::string_view(text));
  }
  va_end(again);
}

}  // namespace

void Console::ErrorF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTo([this](std::string_view text) { Error(text); }, format, args);
  va_end(args);
}

void Console::OutputF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTo([this](std::string_view text) { Output(text); }, format, args);
  va_end(args);
}

char* ErrorLine::Reserve(size_t count) {
  if (length_ + count > kCapacity) Send();
  return buffer_ + length_;
}

ErrorLine& ErrorLine::Add(std::string_view text) {
  if (text.size() > kCapacity) {
    Send();
    Deliver(text);
    return *this;
  }
  std::memcpy(Reserve(text.size()), text.data(), text.size());
  length_ += text.size();
  return *this;
}

ErrorLine& ErrorLine::Int64(int64_t value) {
  char* at = Reserve(20);  // "-9223372036854775808"
  length_ = std::to_chars(at, at + 20, value).ptr - buffer_;
  return *this;
}

ErrorLine& ErrorLine::Unsigned(uint32_t value) {
  char* at = Reserve(10);
  length_ = std::to_chars(at, at + 10, value).ptr - buffer_;
  return *this;
}

ErrorLine& ErrorLine::Hex8(uint32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char* at = Reserve(8);
  for (int i = 7; i >= 0; --i, value >>= 4) at[i] = kDigits[value & 0xF];
  length_ += 8;
  return *this;
}

void ErrorLine::Deliver(std::string_view text) {
  if (progress_) {
    console_.Progress(text);
  } else {
    console_.Error(text);
  }
}

void ErrorLine::Send() {
  if (length_ == 0) return;
  Deliver(std::string_view(buffer_, length_));
  length_ = 0;
}

void Console::ProgressF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTo([this](std::string_view text) { Progress(text); }, format, args);
  va_end(args);
}

StdioConsole::StdioConsole(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

StdioConsole::~StdioConsole() { Flush(); }

void StdioConsole::Error(std::string_view text) {
  if (last_ == Last::kOut) FlushStream(out_);
  last_ = Last::kErr;
  WriteStream(err_, text);
}

void StdioConsole::Output(std::string_view text) {
  if (last_ == Last::kErr) FlushStream(err_);
  last_ = Last::kOut;
  WriteStream(out_, text);
}

void StdioConsole::Flush() {
  FlushStream(err_);
  FlushStream(out_);
}

// A stream that failed once (a closed pipe, a full disk) is not written
// again: the run goes on without its lines.
void StdioConsole::WriteStream(std::FILE* stream, std::string_view text) {
  if (!std::ferror(stream)) std::fwrite(text.data(), 1, text.size(), stream);
}

void StdioConsole::FlushStream(std::FILE* stream) {
  if (!std::ferror(stream)) std::fflush(stream);
}

void MemoryConsole::Add(bool isError, std::string_view text) {
  // Text arrives line by line; a piece without its line break joins the next.
  if (!lines_.empty() && lines_.back().isError == isError && !lines_.back().text.empty() &&
      lines_.back().text.back() != '\n') {
    lines_.back().text.append(text);
  } else {
    lines_.push_back({isError, std::string(text)});
  }
}

std::string MemoryConsole::Transcript() const {
  std::string all;
  for (const auto& line : lines_) {
    all += line.isError ? "E " : "O ";
    all += line.text;
  }
  return all;
}

std::string MemoryConsole::ErrorText() const {
  std::string all;
  for (const auto& line : lines_)
    if (line.isError) all += line.text;
  return all;
}

std::string MemoryConsole::OutputText() const {
  std::string all;
  for (const auto& line : lines_)
    if (!line.isError) all += line.text;
  return all;
}

}  // namespace dtk
