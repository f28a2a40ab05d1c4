#include "mpi/mpi_run.h"

#include <chrono>
#include <optional>
#include <string>

#include "driver/member_run.h"
#include "platform/process.h"

namespace dtk {

int RunDtkInGroup(int argc, const char* const* argv, RunEnvironment& environment, MpiGroup& group) {
  Console& console = environment.console;
  FileList plannedList;
  CommandLine commandLine;

  // Every process reads the same command line, and the lead tells what is
  // wrong with it; another process speaks only when its own differs.
  std::string error = ParseCommandLine(argc, argv, environment.optionRules, &commandLine);
  if (error.empty() && commandLine.threads > 1) {
    error =
        "Parameter error! (threads): dtk-mpi runs one thread in each process; "
        "start more processes instead\n";
  }
  // The engine too: none runs when one process cannot have it.
  if (error.empty()) error = EngineRefusal(commandLine, environment);
  bool leadRefused = group.Any(group.isLead() && !error.empty());
  if (group.Any(!error.empty())) {
    if (!error.empty() && (group.isLead() || !leadRefused)) console.Error(error);
    console.Flush();
    return kExitParameterError;
  }

  // Every process plans the same tree, for the least memory of any.
  uint64_t memory =
      group.Min(environment.usableMemory == 0 ? UINT64_MAX : environment.usableMemory);
  if (memory == UINT64_MAX) memory = 0;
  bool planned = !group.Any(!PlanRun(commandLine, memory, environment.sizeRandom, plannedList));
  // Each process works in its own directory of the target, which it locks
  // against another run.
  TreeRoot target(environment.fileSystem, commandLine.targetDir);
  MemberOutcome outcome;
  if (!planned) {
    if (group.isLead()) console.Error("CreateFileList error!\n");
    console.Flush();
    outcome.status = kExitParameterError;
    outcome.report.rank = group.rank();
    outcome.report.host = group.HostName();
    outcome.report.exitStatus = outcome.status;
  } else {
    std::optional<TimelineSampler> sampler;
    if (commandLine.reportPath != nullptr) {
      sampler.emplace(1, std::chrono::milliseconds(commandLine.intervalMs));
    }
    outcome = RunMember({.group = group,
                         .commandLine = commandLine,
                         .plannedList = plannedList,
                         .target = target,
                         .environment = environment,
                         .console = console,
                         .frameConsole = console,
                         .lockMemberDirectory = true,
                         .sampler = sampler ? &*sampler : nullptr});
  }

  return FinishGroupRun(group, commandLine, planned ? &plannedList : nullptr, outcome,
                        environment.fileSystem, console);
}

}  // namespace dtk
