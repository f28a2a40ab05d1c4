#include "driver/run.h"

#include <climits>

#include "engine/dtk_test.h"
#include "platform/process.h"
#include "tree/planner.h"

namespace dtk {

bool PlanMayFit(const TestConfig& config, uint64_t physicalMemory) {
  if (config.totalSize <= 0) return true;
  // Every file holds at most maxFileSize bytes.
  uint64_t total = static_cast<uint64_t>(config.totalSize);
  uint64_t largest = static_cast<uint64_t>(config.maxFileSize);
  uint64_t fewestFiles = total / largest + (total % largest != 0 ? 1 : 0);
  if (fewestFiles > static_cast<uint64_t>(INT_MAX) + 1) return false;
  if (physicalMemory != 0 && fewestFiles > physicalMemory / kBytesPerPlannedEntry) return false;
  return true;
}

int RunDtk(int argc, const char* const* argv, RunEnvironment& environment) {
  Console& console = environment.console;
  FileList plannedList;
  CommandLine commandLine;
  DtkTest tester(environment.fileSystem, console, environment.clock, environment.pathStyle);

  std::string error = ParseCommandLine(argc, argv, environment.optionRules, &commandLine);
  if (!error.empty()) {
    console.Error(error);
    console.Flush();
    return kExitParameterError;
  }
  uint64_t entryBudget = environment.physicalMemory == 0
                             ? UINT64_MAX
                             : environment.physicalMemory / kBytesPerPlannedEntry;
  if (!PlanMayFit(commandLine.config, environment.physicalMemory) ||
      CreateFileList(plannedList, commandLine.config, environment.sizeRandom, entryBudget) < 0) {
    console.Error("CreateFileList error!\n");
    console.Flush();
    return kExitParameterError;
  }

  tester.set_sync(commandLine.sync);
  const char* targetDir = commandLine.targetDir;
  bool failed = false;
  bool crcsKnown = true;
  if (!commandLine.noCreate) {
    failed = tester.Create(plannedList, targetDir) < 0;
  } else if (commandLine.verifyRequested) {
    // The tree is on disk from an earlier run with the same settings: its
    // CRCs are the ones that run's create phase recorded.
    crcsKnown = tester.ComputeCrcs(plannedList) == 0;
    failed = !crcsKnown;
  }
  // After a stop request the tree is only cleaned up.
  if (commandLine.verifyRequested && crcsKnown && StopRequested() == 0) {
    failed |= tester.Verify(plannedList, targetDir) < 0;
    failed |= tester.verified().second != 0;
  }
  if (!commandLine.noRemove) {
    int removed =
        commandLine.noCreate ? tester.RemovePlanned(plannedList, targetDir) : tester.Remove();
    failed |= removed < 0;
  }
  console.Flush();
  if (int signal = StopRequested(); signal != 0) return kExitInterrupted + signal;
  return failed ? kExitFailed : kExitOk;
}

}  // namespace dtk
