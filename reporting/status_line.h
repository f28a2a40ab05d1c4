// The status line of a long run that prints no line per file: the phase
// under way, how far it has come, how fast it goes and how long it has to
// go, drawn on the terminal and redrawn in place.
#ifndef DTK_REPORTING_STATUS_LINE_H_
#define DTK_REPORTING_STATUS_LINE_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "reporting/phase_frame.h"

namespace dtk {

struct StatusFigures {
  const char* phase = "";  // "Create", "Verify", "Remove"
  uint64_t entries = 0;    // done so far
  uint64_t plannedEntries = 0;
  uint64_t bytes = 0;           // done so far
  double entriesPerSecond = 0;  // over the last interval
  double bytesPerSecond = 0;    // over the last interval
  double secondsLeft = -1;      // negative: not known yet
};

// The figures as one line, cut to `width` characters (0: not cut):
// "Create  41.2%  1,234,567/3,000,000 entries  12.3 GB  845 MB/s
// 23,456 entries/s  0:01:12 left". The percentage is of the planned
// entries, never above 100.
std::string FormatStatusLine(const StatusFigures& figures, size_t width);

// The status line of the members of a run that share one process (dtk
// -threads N): what all of them have done of the phase under way, out of
// what they plan; the rates over the time since the line was last drawn
// (or since the phase began), the time left from the phase's pace so far.
// The members' counters are read by the thread that draws the line without
// holding the members up.
class LiveStatus {
 public:
  // For `members` members, each of which plans `files` files and
  // `directories` directories.
  LiveStatus(int members, uint64_t files, uint64_t directories)
      : members_(static_cast<size_t>(members)), files_(files), directories_(directories) {}

  // The counters of member `member`'s create, verify and remove phases,
  // from before its first phase until just before it goes (then null).
  void Attach(int member, const PhaseCounters* create, const PhaseCounters* verify,
              const PhaseCounters* remove);
  // From the lead: the phase `text` has begun, or is over.
  void BeginPhase(const PhaseText& text);
  void EndPhase();

  // The line, at most `width` characters wide (0: any); empty between
  // phases. Drawn by one thread only.
  std::string Line(size_t width);

 private:
  struct Sample {
    const PhaseText* phase = nullptr;  // null between phases
    uint64_t entries = 0;  // files and directories (files when verifying) of all members
    uint64_t bytes = 0;
    double seconds = 0;  // since the phase began
  };
  Sample Take() const;

  mutable std::mutex mutex_;  // over the members' counters, which come and go
  std::vector<std::array<const PhaseCounters*, 3>> members_;  // create, verify, remove
  const uint64_t files_;
  const uint64_t directories_;
  std::atomic<const PhaseText*> phase_{nullptr};
  std::atomic<int64_t> phaseStart_{0};  // steady clock, nanoseconds
  Sample last_;
};

// "1,234,567".
std::string GroupedDigits(uint64_t value);
// Bytes with a decimal prefix (1 KB = 1000 bytes) and three significant
// digits: "512 B", "1.50 KB", "12.3 GB", "845 MB".
std::string ReadableBytes(double bytes);
// Whole seconds as "h:mm:ss".
std::string ClockTime(double seconds);

}  // namespace dtk

#endif  // DTK_REPORTING_STATUS_LINE_H_
