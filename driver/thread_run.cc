#include "driver/thread_run.h"

#include <atomic>
#include <optional>

#include "driver/in_step.h"
#include "driver/thread_group.h"
#include "engine/timed_file_system.h"
#include "platform/process.h"
#include "reporting/rank_console.h"

namespace dtk {

uint64_t ThreadMemoryBytes() {
  constexpr uint64_t kStackAndRest = 64 * 1024;
  return 2 * uint64_t{DtkTest::kPatternSize} + DtkTest::kIoBufferSize + 4096 +
         kOperationCount * sizeof(LatencyHistogram) + kStackAndRest;
}

int RunDtkInThreads(const CommandLine& commandLine, RunEnvironment& environment) {
  const int count = commandLine.threads;
  FileSystem& fileSystem = environment.fileSystem;
  // Every thread's lines meet here.
  LockedConsole console(environment.console);
  // The report of a run that ends before its threads start.
  std::optional<RunReport> report;
  if (commandLine.reportPath != nullptr) report = StartRunReport(commandLine);
  auto finishEarly = [&](int status) {
    console.Flush();
    if (!report) return status;
    return FinishRunReport(*report, status, commandLine.reportPath, fileSystem, console);
  };

  TreeRoot target(fileSystem, commandLine.targetDir);
  if (int refused = PrepareTarget(commandLine, target, fileSystem, console)) {
    return finishEarly(refused);
  }
  // One plan for all threads, in what their buffers leave.
  FileList plannedList;
  uint64_t memory = environment.usableMemory;
  uint64_t threadsMemory = static_cast<uint64_t>(count) * ThreadMemoryBytes();
  if (memory != 0) memory = memory > threadsMemory ? memory - threadsMemory : 1;
  if (!PlanRun(commandLine, memory, environment.sizeRandom, plannedList)) {
    if (int signal = StopRequested(); signal != 0) return finishEarly(kExitInterrupted + signal);
    console.Error("CreateFileList error!\n");
    return finishEarly(kExitParameterError);
  }
  if (report) {
    PlanTotals totals = CountPlan(plannedList);
    report->plan = ReportPlan{totals.files, totals.directories, totals.bytes};
  }

  ThreadGroup::Meeting meeting(count);
  std::atomic<bool> abort{false};
  int runStatus = kExitOk;
  std::error_code failure = RunOnThreads(count, [&](int k) {
    ThreadGroup group(meeting, k);
    RankConsole own(console, group.kind(), k);
    MemberOutcome outcome = RunMemberInStep(
        {group, commandLine, plannedList, target, environment, own, console, false, &abort});
    int status = group.Max(outcome.status);
    if (commandLine.reportPath != nullptr) {
      status = group.Max(WriteGroupReport(group, commandLine, &plannedList, outcome.report,
                                          outcome.wholePhases, status, fileSystem, console));
    }
    if (group.isLead()) runStatus = status;
  });
  if (failure) {
    // No thread ran: nothing was touched.
    console.ErrorF("Thread Error!: %s\n", failure.message().c_str());
    return finishEarly(kExitParameterError);
  }
  console.Flush();
  return runStatus;
}

}  // namespace dtk
