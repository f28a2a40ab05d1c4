// The status line of a long run that prints no line per file: the phase
// under way, how far it has come, how fast it goes and how long it has to
// go, drawn on the terminal and redrawn in place.
#ifndef DTK_REPORTING_STATUS_LINE_H_
#define DTK_REPORTING_STATUS_LINE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace dtk {

struct StatusFigures {
  const char* phase = "";  // "Create", "Verify", "Remove"
  uint64_t entries = 0;    // done so far
  uint64_t plannedEntries = 0;
  uint64_t bytes = 0;               // done so far
  double entriesPerSecond = 0;      // over the last interval
  double bytesPerSecond = 0;        // over the last interval
  double secondsLeft = -1;          // negative: not known yet
};

// The figures as one line, cut to `width` characters (0: not cut):
// "Create  41.2%  1,234,567/3,000,000 entries  12.3 GB  845 MB/s
// 23,456 entries/s  0:01:12 left". The percentage is of the planned
// entries, never above 100.
std::string FormatStatusLine(const StatusFigures& figures, size_t width);

// "1,234,567".
std::string GroupedDigits(uint64_t value);
// Bytes with a decimal prefix (1 KB = 1000 bytes) and three significant
// digits: "512 B", "1.50 KB", "12.3 GB", "845 MB".
std::string ReadableBytes(double bytes);
// Whole seconds as "h:mm:ss".
std::string ClockTime(double seconds);

}  // namespace dtk

#endif  // DTK_REPORTING_STATUS_LINE_H_
