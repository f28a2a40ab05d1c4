#include "driver/run.h"

#include <climits>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "driver/member_run.h"
#include "driver/thread_run.h"
#include "engine/tester.h"
#include "platform/process.h"
#include "reporting/report_recorder.h"
#include "reporting/run_report.h"
#include "reporting/timed_file_system.h"
#include "reporting/timeline_sampler.h"
#include "tree/planner.h"

namespace dtk {

RunReport StartRunReport(const CommandLine& commandLine) {
  RunReport report;
  report.version = DTK_VERSION;
  report.platform = PlatformName();
  report.target = commandLine.targetDir;
  std::string type = FileSystemTypeName(commandLine.targetDir);
  if (!type.empty()) report.fileSystem = type;
  const TestConfig& config = commandLine.config;
  report.settings = {config.totalSize,     config.minFileSize,
                     config.maxFileSize,   config.maxDirFiles,
                     config.maxDirLevel,   commandLine.verifyRequested,
                     commandLine.noCreate, commandLine.noRemove,
                     commandLine.sync,     EngineName(commandLine.engine),
                     commandLine.depth,    commandLine.threads,
                     commandLine.direct};
  return report;
}

std::string MemoryErrorLine() {
  return std::string("Memory Error!: ") + SystemErrorText(OutOfMemoryError()) + "\n";
}

std::string MakeEngine(const EngineSettings& settings, std::unique_ptr<FileEngine>* engine) {
  std::string why;
  *engine = MakeFileEngine(settings, &why);
  if (why.empty()) return why;
  return std::string("Engine error!: ") + EngineName(settings.kind) + " is not available: " + why +
         "\n";
}

std::string EngineRefusal(const CommandLine& commandLine, const RunEnvironment& environment) {
  if (commandLine.engine == EngineKind::kSync) return "";
  std::unique_ptr<FileEngine> engine;
  try {
    return MakeEngine({.kind = commandLine.engine,
                       .depth = commandLine.depth,
                       .direct = commandLine.direct,
                       .refusal = environment.uringRefusal},
                      &engine);
  } catch (const std::bad_alloc&) {
    return MemoryErrorLine();
  }
}

int FinishRunReport(RunReport& report, int status, const char* path, FileSystem& fileSystem,
                    Console& console) {
  report.exitStatus = status;
  // The console's lines come first where the report goes to the same place.
  console.Flush();
  ErrorCode code;
  try {
    code = fileSystem.WriteWholeFile(path, ReportJson(report));
  } catch (const std::bad_alloc&) {
    code = OutOfMemoryError();
  }
  if (code == 0) return status;
  console.ErrorF("Report Error!: %s\n", SystemErrorText(code));
  console.Flush();
  return status == kExitOk ? kExitFailed : status;
}

bool PlanRun(const CommandLine& commandLine, uint64_t usableMemory, MtRandom& sizeRandom,
             FileList& plannedList) {
  return PlanMayFit(commandLine.config, usableMemory) &&
         CreateFileList(plannedList, commandLine.config, sizeRandom,
                        MostPlannedEntries(usableMemory),
                        [] { return StopRequested() != 0; }) >= 0 &&
         (usableMemory == 0 || EstimatePlanMemory(plannedList) <= usableMemory);
}

int PrepareTarget(const CommandLine& commandLine, TreeRoot& root, FileSystem& fileSystem,
                  Console& console, bool lock) {
  if (!root.dir().isOpen()) {
    // Without a create phase there is nothing to find in it.
    if (!commandLine.noCreate) return kExitOk;
    console.ErrorF("Target Error!: %s\n", SystemErrorText(root.dir().error));
    console.Flush();
    return kExitFailed;
  }
  if (!lock) return kExitOk;
  // One run at a time: two on one target would write over each other's
  // files and remove each other's trees. A system that cannot lock there
  // stops nothing.
  ErrorCode code = fileSystem.LockDirectory(root.dir().handle);
  if (code != 0 && IsBusyError(code)) {
    console.ErrorF("Target Error!: another run of dtk is using %s\n", root.path().c_str());
    console.Flush();
    return kExitParameterError;
  }
  return kExitOk;
}

int PrepareDirectIo(const CommandLine& commandLine, const TreeRoot& root, FileSystem& fileSystem,
                    Console& console, uint32_t* blockSize) {
  *blockSize = 0;
  if (!commandLine.direct) return kExitOk;
  *blockSize = kDefaultDirectBlockSize;
  if (!root.dir().isOpen()) return kExitOk;
  // A name no planned entry has, for a system that needs one.
  static constexpr std::string_view kProbeName = "dtk-direct-probe.tmp";
  const std::string path = JoinPath(root.path(), kProbeName);
  const size_t nameOffset = path.size() - kProbeName.size();
  ErrorCode code = fileSystem.ProbeDirectIo(PlaceOf(root.dir(), path, nameOffset), blockSize);
  if (code == 0) return kExitOk;
  console.ErrorF("Direct Error!: the file system of %s refuses unbuffered I/O (-direct): %s\n",
                 root.path().c_str(), SystemErrorText(code));
  console.Flush();
  return kExitParameterError;
}

bool RunPhases(const PhaseRun& run, PhaseHooks& hooks) {
  const CommandLine& commandLine = run.commandLine;
  DtkTest& tester = run.tester;
  FileList& plannedList = run.plannedList;
  const TreeRoot& root = run.root;

  // Runs one phase, recorded for the report.
  auto runPhase = [&](const char* name, const PhaseText& text, const PhaseCounters& counters,
                      auto&& phase) {
    hooks.BeginPhase(text);
    if (run.recorder != nullptr) run.recorder->BeginPhase(name, counters);
    int result = hooks.EndWalk(text, phase());
    if (run.recorder != nullptr) {
      run.recorder->EndPhase(result, counters, StopRequested() != 0 || tester.stopped());
    }
    result = hooks.EndPhase(text, counters, result);
    if (run.recorder != nullptr) run.recorder->EndTimeline();
    return result;
  };

  tester.set_sync(commandLine.sync);
  bool failed = false;
  if (!commandLine.noCreate) {
    failed = runPhase("create", kCreateText, tester.created(),
                      [&] { return tester.Create(plannedList, root); }) < 0;
  } else {
    // The tree is on disk from an earlier run with the same settings: its
    // CRCs are the ones that run's create phase recorded.
    tester.UsePlannedCrcs();
  }
  // After a stop request the tree is only cleaned up.
  if (commandLine.verifyRequested && !hooks.Anywhere(StopRequested() != 0)) {
    failed |= runPhase("verify", kVerifyText, tester.verified(),
                       [&] { return tester.Verify(plannedList, root); }) < 0;
    failed |= tester.verified().directoriesOrErrors != 0;
  }
  // A remove phase with nothing to remove prints nothing and is no phase.
  if (!commandLine.noRemove &&
      hooks.Anywhere(!(commandLine.noCreate ? plannedList.empty() : tester.made().empty()))) {
    failed |= runPhase("remove", kRemoveText, tester.removed(), [&] {
                return commandLine.noCreate ? tester.RemovePlanned(plannedList, root)
                                            : tester.Remove(plannedList, root);
              }) < 0;
  }
  return failed;
}

int RunDtk(int argc, const char* const* argv, RunEnvironment& environment) {
  CommandLine commandLine;
  std::string error = ParseCommandLine(argc, argv, environment.optionRules, &commandLine);
  if (!error.empty()) {
    environment.console.Error(error);
    environment.console.Flush();
    return kExitParameterError;
  }
  // A run is a group of members, the threads of the process: one on its own
  // in the target, or many, each in its directory, on one console that
  // takes their lines whole and keeps a status line below them.
  const int count = commandLine.threads;
  std::optional<LockedConsole> locked;
  Console& console = count > 1 ? locked.emplace(environment.console, environment.statusTerminal)
                               : environment.console;
  FileSystem& fileSystem = environment.fileSystem;
  std::optional<RunReport> report;
  if (commandLine.reportPath != nullptr) report = StartRunReport(commandLine);
  auto finishEarly = [&](int status) {
    console.Flush();
    if (!report) return status;
    return FinishRunReport(*report, status, commandLine.reportPath, fileSystem, console);
  };

  // Every member makes its own engine; the system is asked once here,
  // before the target is touched.
  if (std::string refusal = EngineRefusal(commandLine, environment); !refusal.empty()) {
    console.Error(refusal);
    return finishEarly(kExitParameterError);
  }
  TreeRoot target(fileSystem, commandLine.targetDir);
  if (int refused = PrepareTarget(commandLine, target, fileSystem, console)) {
    return finishEarly(refused);
  }
  // Every member works on the target's file system.
  uint32_t directBlockSize = 0;
  if (int refused = PrepareDirectIo(commandLine, target, fileSystem, console, &directBlockSize)) {
    return finishEarly(refused);
  }
  if (report && commandLine.direct) report->directBlockSize = directBlockSize;
  // One plan for all members, in what the buffers of threads leave.
  FileList plannedList;
  uint64_t memory = environment.usableMemory;
  uint64_t threadsMemory = count > 1 ? static_cast<uint64_t>(count) * ThreadMemoryBytes() : 0;
  if (memory != 0) memory = memory > threadsMemory ? memory - threadsMemory : 1;
  if (!PlanRun(commandLine, memory, environment.sizeRandom, plannedList)) {
    if (int signal = StopRequested(); signal != 0) return finishEarly(kExitInterrupted + signal);
    console.Error("CreateFileList error!\n");
    return finishEarly(kExitParameterError);
  }
  // A report has the timeline of every phase.
  std::optional<TimelineSampler> sampler;
  if (report) sampler.emplace(count, std::chrono::milliseconds(commandLine.intervalMs));
  TimelineSampler* samples = sampler ? &*sampler : nullptr;
  if (count > 1) {
    return RunThreads(commandLine, environment, *locked, plannedList, target, directBlockSize,
                      samples, finishEarly);
  }
  SoloGroup alone;
  MemberOutcome outcome = RunMember({.group = alone,
                                     .commandLine = commandLine,
                                     .plannedList = plannedList,
                                     .target = target,
                                     .environment = environment,
                                     .console = console,
                                     .frameConsole = console,
                                     .alone = true,
                                     .directBlockSize = &directBlockSize,
                                     .sampler = samples});
  return FinishGroupRun(alone, commandLine, &plannedList, outcome, fileSystem, console);
}

}  // namespace dtk
