// Gathers what the phases of a run tell (times, counters, the timed calls,
// CRC mismatches) into the phases of a run report.
#ifndef DTK_REPORTING_REPORT_RECORDER_H_
#define DTK_REPORTING_REPORT_RECORDER_H_

#include <chrono>
#include <vector>

#include "reporting/phase_frame.h"
#include "reporting/run_report.h"
#include "reporting/timed_file_system.h"
#include "reporting/timeline_sampler.h"

namespace dtk {

class ReportRecorder : public TestObserver {
 public:
  // At most this many CRC mismatches are listed per phase: the first ones.
  static constexpr size_t kMaxListedMismatches = 1000;

  // With a `sampler`, every phase has a timeline, as its member `member`.
  explicit ReportRecorder(TimedFileSystem& timed, TimelineSampler* sampler = nullptr,
                          int member = 0)
      : timed_(timed), sampler_(sampler), member_(member) {}

  // Before a phase named `name`, which counts in `counters`, runs: clears
  // the timed calls, takes the start time and starts the timeline.
  void BeginPhase(const char* name, const PhaseCounters& counters);
  // After it returned `result` (0 or -1) with `counters`; `stopRequested`
  // tells whether a stop request ended it.
  void EndPhase(int result, const PhaseCounters& counters, bool stopRequested);
  // Once the phase is over for the run (for all its members), ends the
  // phase's timeline.
  void EndTimeline();

  void OnCrcMismatch(const char* path, uint32_t expected, uint32_t actual) override;

  std::vector<PhaseReport>& phases() { return phases_; }

 private:
  TimedFileSystem& timed_;
  TimelineSampler* sampler_;
  int member_;
  std::vector<PhaseReport> phases_;
  std::chrono::steady_clock::time_point start_;
  bool inPhase_ = false;
};

}  // namespace dtk

#endif  // DTK_REPORTING_REPORT_RECORDER_H_
