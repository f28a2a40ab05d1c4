#include "reporting/phase_frame.h"

#include <ctime>

#include "reporting/format.h"

namespace dtk {

const PhaseText kCreateText = {"Create", "directories", "DtkTest Error!\n"};
const PhaseText kVerifyText = {"Verify", "CRC Errors", "Verify Error!\n"};
const PhaseText kRemoveText = {"Remove", "directories", "Remove Error!\n"};

int64_t SystemClock::Now() { return static_cast<int64_t>(std::time(nullptr)); }

void PrintStartLine(Console& console, int64_t time) {
  char stamp[kTimeStampSize];
  console.ErrorF("%s Start\n", FormatTimeStamp(stamp, static_cast<std::time_t>(time)));
}

void PrintFinishLine(Console& console, int64_t time) {
  char stamp[kTimeStampSize];
  console.ErrorF("%s Finish\n", FormatTimeStamp(stamp, static_cast<std::time_t>(time)));
}

void PrintSummary(Console& console, const PhaseText& text, const PhaseCounters& counters,
                  uint32_t secs) {
  char bytes[kInt64Size];
  SpeedFigures speed = ComputeSpeed(counters.bytes, secs);
  console.OutputF("%s %u files, %u %s\n", text.word, counters.files, counters.second,
                  text.secondCount);
  console.OutputF("%s filesize %s bytes\n", text.word, FormatInt64(bytes, counters.bytes));
  console.OutputF("%s time %u sec\n", text.word, secs);
  console.OutputF("%s speed %u.%uKB/sec (%uB/sec)\n", text.word, speed.kilobytesPerSecond,
                  speed.tenths, speed.bytesPerSecond);
}

uint32_t ElapsedSecondsOf(const PhaseTimes& times) {
  return ElapsedSeconds(times.startTime, times.endTime);
}

}  // namespace dtk
