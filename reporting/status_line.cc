#include "reporting/status_line.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace dtk {
namespace {

int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void LiveStatus::Attach(int member, const PhaseCounters* create, const PhaseCounters* verify,
                        const PhaseCounters* remove) {
  std::lock_guard<std::mutex> lock(mutex_);
  members_[static_cast<size_t>(member)] = {create, verify, remove};
}

void LiveStatus::BeginPhase(const PhaseText& text) {
  phaseStart_.store(SteadyNanoseconds(), std::memory_order_relaxed);
  phase_.store(&text, std::memory_order_release);
}

void LiveStatus::EndPhase() { phase_.store(nullptr, std::memory_order_release); }

LiveStatus::Sample LiveStatus::Take() const {
  Sample sample;
  sample.phase = phase_.load(std::memory_order_acquire);
  if (sample.phase == nullptr) return sample;
  sample.seconds =
      static_cast<double>(SteadyNanoseconds() - phaseStart_.load(std::memory_order_relaxed)) / 1e9;
  const bool verify = sample.phase == &kVerifyText;
  const size_t which = sample.phase == &kCreateText ? 0 : verify ? 1 : 2;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& member : members_) {
    const PhaseCounters* counters = member[which];
    if (counters == nullptr) continue;
    sample.entries += uint64_t{counters->files.get()} +
                      (verify ? 0 : uint64_t{counters->directoriesOrErrors.get()});
    sample.bytes += static_cast<uint64_t>(counters->bytes.get());
  }
  return sample;
}

std::string LiveStatus::Line(size_t width) {
  Sample now = Take();
  Sample before = last_.phase == now.phase ? last_ : Sample();
  last_ = now;
  if (now.phase == nullptr) return std::string();
  StatusFigures figures;
  figures.phase = now.phase->word;
  figures.entries = now.entries;
  figures.plannedEntries =
      members_.size() * (files_ + (now.phase == &kVerifyText ? 0 : directories_));
  figures.bytes = now.bytes;
  double interval = now.seconds - before.seconds;
  if (interval > 0) {
    figures.entriesPerSecond = static_cast<double>(now.entries - before.entries) / interval;
    figures.bytesPerSecond = static_cast<double>(now.bytes - before.bytes) / interval;
  }
  if (now.entries > 0 && now.entries <= figures.plannedEntries) {
    figures.secondsLeft = now.seconds * static_cast<double>(figures.plannedEntries - now.entries) /
                          static_cast<double>(now.entries);
  }
  return FormatStatusLine(figures, width);
}

std::string GroupedDigits(uint64_t value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string ReadableBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
  int unit = 0;
  while (bytes >= 999.5 && unit < 6) {
    bytes /= 1000;
    ++unit;
  }
  char text[32];
  if (unit == 0 || bytes >= 99.95) {
    std::snprintf(text, sizeof(text), "%.0f %s", bytes, kUnits[unit]);
  } else {
    std::snprintf(text, sizeof(text), bytes >= 9.995 ? "%.1f %s" : "%.2f %s", bytes, kUnits[unit]);
  }
  return text;
}

std::string ClockTime(double seconds) {
  uint64_t whole = seconds > 0 ? static_cast<uint64_t>(std::llround(seconds)) : 0;
  char text[32];
  std::snprintf(text, sizeof(text), "%llu:%02u:%02u", static_cast<unsigned long long>(whole / 3600),
                static_cast<unsigned>(whole / 60 % 60), static_cast<unsigned>(whole % 60));
  return text;
}

std::string FormatStatusLine(const StatusFigures& figures, size_t width) {
  double share = figures.plannedEntries == 0
                     ? 1.0
                     : static_cast<double>(figures.entries) / figures.plannedEntries;
  // Cut, not rounded: 99.96% is not done.
  double tenths = std::floor(std::min(share, 1.0) * 1000);
  char percent[16];
  std::snprintf(percent, sizeof(percent), "%.1f%%", tenths / 10);
  std::string line = std::string(figures.phase) + "  " + percent + "  " +
                     GroupedDigits(figures.entries) + "/" + GroupedDigits(figures.plannedEntries) +
                     " entries  " + ReadableBytes(static_cast<double>(figures.bytes)) + "  " +
                     ReadableBytes(figures.bytesPerSecond) + "/s  " +
                     GroupedDigits(static_cast<uint64_t>(std::llround(figures.entriesPerSecond))) +
                     " entries/s  " +
                     (figures.secondsLeft < 0 ? "-:--:--" : ClockTime(figures.secondsLeft)) +
                     " left";
  if (width != 0 && line.size() > width) line.resize(width);
  return line;
}

}  // namespace dtk
