#include "reporting/phase_frame.h"

#include <ctime>

#include "reporting/format.h"

namespace dtk {

const PhaseText kCreateText = {"Create", "directories", "DtkTest Error!\n"};
const PhaseText kVerifyText = {"Verify", "CRC Errors", "Verify Error!\n"};
const PhaseText kRemoveText = {"Remove", "directories", "Remove Error!\n"};

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
  console.OutputF("%s %u files, %u %s\n", text.word, counters.files.get(),
                  counters.directoriesOrErrors.get(), text.secondCount);
  console.OutputF("%s filesize %s bytes\n", text.word, FormatInt64(bytes, counters.bytes));
  console.OutputF("%s time %u sec\n", text.word, secs);
  console.OutputF("%s speed %u.%uKB/sec (%uB/sec)\n", text.word, speed.kilobytesPerSecond,
                  speed.tenths, speed.bytesPerSecond);
}

void PrintSummary(Console& console, const PhaseText& text, uint64_t files,
                  uint64_t directoriesOrErrors, int64_t bytes, uint32_t secs) {
  // The same lines with every figure in full.
  char filesText[kInt64Size];
  char secondText[kInt64Size];
  char bytesText[kInt64Size];
  char kilobytesText[kInt64Size];
  char perSecondText[kInt64Size];
  const int64_t d = static_cast<int64_t>(secs == 0 ? 1 : secs);
  console.OutputF(
      "%s %s files, %s %s\n", text.word, FormatInt64(filesText, static_cast<int64_t>(files)),
      FormatInt64(secondText, static_cast<int64_t>(directoriesOrErrors)), text.secondCount);
  console.OutputF("%s filesize %s bytes\n", text.word, FormatInt64(bytesText, bytes));
  console.OutputF("%s time %u sec\n", text.word, secs);
  console.OutputF(
      "%s speed %s.%dKB/sec (%sB/sec)\n", text.word, FormatInt64(kilobytesText, (bytes / 1000) / d),
      static_cast<int>(((bytes / 100) / d) % 10), FormatInt64(perSecondText, bytes / d));
}

void ConsolePhaseFrame::Start(PhaseTimes& times) {
  times.startTime = clock_.Now();
  PrintStartLine(console_, times.startTime);
}

int ConsolePhaseFrame::Finish(const PhaseText& text, const PhaseCounters& counters,
                              PhaseTimes& times, int status) {
  times.endTime = clock_.Now();
  PrintFinishLine(console_, times.endTime);
  int result = 0;
  if (status < 0) {
    console_.Error(text.errorLine);
    result = -1;
  } else {
    PrintSummary(console_, text, counters, ElapsedSecondsOf(times));
  }
  console_.Flush();
  return result;
}

uint32_t ElapsedSecondsOf(const PhaseTimes& times) {
  return ElapsedSeconds(times.startTime, times.endTime);
}

}  // namespace dtk
