#include "driver/thread_run.h"

#include <atomic>
#include <functional>
#include <optional>

#include "driver/member_run.h"
#include "driver/thread_group.h"
#include "platform/process.h"
#include "reporting/member_console.h"
#include "reporting/status_line.h"
#include "reporting/timed_file_system.h"

namespace dtk {

uint64_t ThreadMemoryBytes() {
  constexpr uint64_t kStackAndRest = 64 * 1024;
  return 2 * uint64_t{DtkTest::kPatternSize} + DtkTest::kIoBufferSize + 4096 +
         kOperationCount * sizeof(LatencyHistogram) + kStackAndRest;
}

int RunThreads(const CommandLine& commandLine, RunEnvironment& environment, LockedConsole& console,
               FileList& plannedList, const TreeRoot& target, uint32_t directBlockSize,
               TimelineSampler* sampler, const std::function<int(int)>& finishEarly) {
  const int count = commandLine.threads;
  FileSystem& fileSystem = environment.fileSystem;
  ThreadGroup::Meeting meeting(count);
  std::atomic<bool> abort{false};
  PlanTotals plan = CountPlan(plannedList);
  LiveStatus liveStatus(count, plan.files, plan.directories);
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
                                       .liveStatus = &liveStatus,
                                       .directBlockSize = &directBlockSize,
                                       .sampler = sampler,
                                       .samplerSlot = k});
    int status = FinishGroupRun(group, commandLine, &plannedList, outcome, fileSystem, console);
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
