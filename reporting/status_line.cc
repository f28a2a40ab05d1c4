#include "reporting/status_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace dtk {

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
  std::snprintf(text, sizeof(text), "%llu:%02u:%02u",
                static_cast<unsigned long long>(whole / 3600),
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
