// The frame every phase runs in: start line, walk, finish line, then the
// error line or the four summary lines.
#ifndef DTK_REPORTING_PHASE_FRAME_H_
#define DTK_REPORTING_PHASE_FRAME_H_

#include <cstdint>
#include <new>

#include "reporting/console.h"
#include "support/clock.h"
#include "support/relaxed.h"

namespace dtk {

// What tells one phase's lines apart.
struct PhaseText {
  const char* word;         // "Create", "Verify" or "Remove"
  const char* secondCount;  // "directories" or "CRC Errors"
  const char* errorLine;    // "DtkTest Error!\n", "Verify Error!\n", "Remove Error!\n"
};

extern const PhaseText kCreateText;
extern const PhaseText kVerifyText;
extern const PhaseText kRemoveText;

// The counters a phase reports once its walk is over. The walk's thread
// keeps them; another thread may read them meanwhile (a status line).
struct PhaseCounters {
  Relaxed<uint32_t> files = 0;
  Relaxed<uint32_t> directoriesOrErrors = 0;  // directories, or CRC errors (verify)
  Relaxed<int64_t> bytes = 0;
};

// What a phase tells besides its console lines, for a report.
class TestObserver {
 public:
  virtual ~TestObserver() = default;
  // The verify phase read the file `path` to its planned size, and its CRC
  // was not the one recorded for it.
  virtual void OnCrcMismatch(const char* path, uint32_t expected, uint32_t actual) = 0;
};

// The clock readings of the phase that ran last.
struct PhaseTimes {
  int64_t startTime = 0;
  int64_t endTime = 0;
};

// Whole seconds the phase took, at least 1.
uint32_t ElapsedSecondsOf(const PhaseTimes& times);

void PrintStartLine(Console& console, int64_t time);
void PrintFinishLine(Console& console, int64_t time);
// The four summary lines on the standard output stream.
void PrintSummary(Console& console, const PhaseText& text, const PhaseCounters& counters,
                  uint32_t secs);
// The same lines with every figure in full, also beyond 32 bits, for the
// sums of many processes.
void PrintSummary(Console& console, const PhaseText& text, uint64_t files,
                  uint64_t directoriesOrErrors, int64_t bytes, uint32_t secs);

// What happens around a phase's walk: the clock readings and the lines that
// frame it. The tester calls Start before the walk and Finish after it.
class PhaseFrame {
 public:
  virtual ~PhaseFrame() = default;
  // Takes the start reading into `times`.
  virtual void Start(PhaseTimes& times) = 0;
  // Takes the end reading after the walk ended with `status` (negative for
  // failure) and returns the phase's result, 0 or -1.
  virtual int Finish(const PhaseText& text, const PhaseCounters& counters, PhaseTimes& times,
                     int status) = 0;
};

// The frame of a phase that a process runs on its own: the start line, then
// the finish line and either the phase's error line or its four summary
// lines.
class ConsolePhaseFrame : public PhaseFrame {
 public:
  // Borrows both for its whole life.
  ConsolePhaseFrame(Console& console, Clock& clock) : console_(console), clock_(clock) {}
  void Start(PhaseTimes& times) override;
  int Finish(const PhaseText& text, const PhaseCounters& counters, PhaseTimes& times,
             int status) override;

 private:
  Console& console_;
  Clock& clock_;
};

// Runs `walk` (returning negative for failure) inside `frame` and returns 0
// or -1. The walk ending for want of memory is a failed walk.
template <class Walk>
int RunPhaseFrame(PhaseFrame& frame, const PhaseText& text, const PhaseCounters& counters,
                  PhaseTimes& times, Walk&& walk) {
  frame.Start(times);
  int status;
  try {
    status = walk();
  } catch (const std::bad_alloc&) {
    status = -1;
  }
  return frame.Finish(text, counters, times, status);
}

}  // namespace dtk

#endif  // DTK_REPORTING_PHASE_FRAME_H_
