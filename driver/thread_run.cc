#include "driver/thread_run.h"

#include <atomic>
#include <functional>
#include <optional>

#include "driver/member_run.h"
#include "driver/thread_group.h"
#include "reporting/timed_file_system.h"
#include "platform/process.h"
#include "reporting/member_console.h"
#include "reporting/status_line.h"

namespace dtk {

uint64_t ThreadMemoryBytes() {
  constexpr uint64_t kStackAndRest = 64 * 1024;
  return 2 * uint64_t{DtkTest::kPatternSize} + DtkTest::kIoBufferSize + 4096 +
         kOperationCount * sizeof(LatencyHistogram) + kStackAndRest;
}

namespace {

// The status line of a run of threads: what all threads have done of the
// phase under way, out of what they plan; the rates over the time since
// the line was last drawn (or since the phase began), the time left from
// the phase's pace so far.
class LiveStatus {
 public:
  LiveStatus(const RunProgress& progress, const PlanTotals& plan, int threads)
      : progress_(progress), plan_(plan), threads_(static_cast<uint64_t>(threads)) {}

  // The line, at most `width` characters wide (0: any); empty between
  // phases.
  std::string Line(size_t width) {
    RunProgress::Sample now = progress_.Take();
    RunProgress::Sample before = last_.phase == now.phase ? last_ : RunProgress::Sample();
    last_ = now;
    if (now.phase == nullptr) return std::string();
    StatusFigures figures;
    figures.phase = now.phase->word;
    figures.entries = now.entries;
    figures.plannedEntries =
        threads_ * (plan_.files + (now.phase == &kVerifyText ? 0 : plan_.directories));
    figures.bytes = now.bytes;
    double interval = now.seconds - before.seconds;
    if (interval > 0) {
      figures.entriesPerSecond = static_cast<double>(now.entries - before.entries) / interval;
      figures.bytesPerSecond = static_cast<double>(now.bytes - before.bytes) / interval;
    }
    if (now.entries > 0 && now.entries <= figures.plannedEntries) {
      figures.secondsLeft = now.seconds *
                            static_cast<double>(figures.plannedEntries - now.entries) /
                            static_cast<double>(now.entries);
    }
    return FormatStatusLine(figures, width);
  }

 private:
  const RunProgress& progress_;
  PlanTotals plan_;
  uint64_t threads_;
  RunProgress::Sample last_;
};

}  // namespace

int RunThreads(const CommandLine& commandLine, RunEnvironment& environment,
               LockedConsole& console, FileList& plannedList, const TreeRoot& target,
               uint32_t directBlockSize, TimelineSampler* sampler,
               const std::function<int(int)>& finishEarly) {
  const int count = commandLine.threads;
  FileSystem& fileSystem = environment.fileSystem;
  ThreadGroup::Meeting meeting(count);
  std::atomic<bool> abort{false};
  RunProgress progress(count);
  LiveStatus liveStatus(progress, CountPlan(plannedList), count);
  int runStatus = kExitOk;
  auto body = [&](int k) {
    ThreadGroup group(meeting, k);
    MemberConsole own(console, group.kind(), k);
    MemberOutcome outcome = RunMember({.group = group,
                                       .commandLine = commandLine,
                                       .plannedList = plannedList,
                                       .target = target,
                                       .environment = environment,
                                       .console = own,
                                       .frameConsole = console,
                                       .abort = &abort,
                                       .progress = &progress,
                                       .directBlockSize = &directBlockSize,
                                       .sampler = sampler,
                                       .samplerSlot = k});
    int status = group.Max(outcome.status);
    if (commandLine.reportPath != nullptr) {
      status = group.Max(WriteGroupReport(group, commandLine, &plannedList, directBlockSize, outcome.report,
                                          outcome.wholePhases, status, fileSystem, console));
    }
    if (group.isLead()) runStatus = status;
  };
  // The status line is redrawn about once a second while the threads run,
  // from the counters they keep anyway.
  std::function<void()> redraw;
  if (environment.statusTerminal != nullptr) {
    redraw = [&] { console.ShowStatus([&](size_t width) { return liveStatus.Line(width); }); };
  }
  std::error_code failure = RunOnThreads(count, body, redraw);
  console.HideStatus();
  if (failure) {
    // No thread ran: nothing was touched.
    console.ErrorF("Thread Error!: %s\n", failure.message().c_str());
    return finishEarly(kExitParameterError);
  }
  console.Flush();
  return runStatus;
}

}  // namespace dtk
