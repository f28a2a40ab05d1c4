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

StreamConsole::StreamConsole(WriteCall write, bool outputIsTerminal, bool errorIsTerminal)
    : write_(write), output_(1, outputIsTerminal), error_(2, errorIsTerminal) {}

StreamConsole::~StreamConsole() { Flush(); }

void StreamConsole::Add(Stream& stream, std::string_view text) {
  if (last_ != &stream && last_ != nullptr) FlushStream(*last_);
  last_ = &stream;
  if (stream.failed) return;
  if (stream.length + text.size() > kBufferSize) FlushStream(stream);
  if (text.size() >= kBufferSize) {
    stream.failed = !write_(stream.number, text.data(), text.size());
    return;
  }
  std::memcpy(stream.buffer + stream.length, text.data(), text.size());
  stream.length += text.size();
  if (stream.lineByLine && !text.empty() && text.back() == '\n') FlushStream(stream);
}

void StreamConsole::FlushStream(Stream& stream) {
  if (stream.length == 0) return;
  if (!stream.failed) stream.failed = !write_(stream.number, stream.buffer, stream.length);
  stream.length = 0;
}

void StreamConsole::Flush() {
  FlushStream(error_);
  FlushStream(output_);
}

void LockedConsole::Error(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Hide();
  inner_.Error(text);
}

void LockedConsole::Progress(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Hide();
  inner_.Progress(text);
}

void LockedConsole::Output(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Hide();
  inner_.Output(text);
}

void LockedConsole::Hide() {
  if (!statusShown_) return;
  terminal_->Erase();
  statusShown_ = false;
}

void LockedConsole::HideStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  Hide();
}

void LockedConsole::ShowStatus(const std::function<std::string(size_t columns)>& status) {
  if (terminal_ == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // A line on the wide side would wrap, and could no longer be redrawn in
  // place: it is kept narrower than the terminal.
  size_t columns = terminal_->Columns();
  std::string text = status(columns > 1 ? columns - 1 : 0);
  if (text.empty()) {
    Hide();
    return;
  }
  // What was printed before goes out first.
  inner_.Flush();
  terminal_->Draw(text);
  statusShown_ = true;
}

void LockedConsole::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  inner_.Flush();
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
