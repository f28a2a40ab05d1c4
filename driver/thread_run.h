// dtk -threads N: the run of dtk on N threads of one process at once, each
// thread on the whole plan in its own directory "thread-K" of the target,
// the phases in step.
#ifndef DTK_DRIVER_THREAD_RUN_H_
#define DTK_DRIVER_THREAD_RUN_H_

#include <cstdint>
#include <functional>

#include "driver/command_line.h"
#include "driver/run.h"
#include "engine/tester.h"
#include "reporting/console.h"
#include "reporting/timeline_sampler.h"
#include "tree/file_list.h"

namespace dtk {

// What a thread costs beside the plan, which all threads share: its
// tester's pattern (kept twice over) and transfer buffer, the latency
// histograms of its timer, and room for its stack and the rest.
uint64_t ThreadMemoryBytes();

// Runs the phases that `commandLine` (with threads > 1) asks for on
// commandLine.threads threads, on the plan and in the target that the
// caller prepared for all of them, and returns the exit status: the highest
// of any thread. The lines of the whole run are those of one run on
// `console`, the counts and bytes summed over the threads; a thread prints
// only the entry it failed on and its error lines, marked "[thread K] ".
// Threads that cannot all be started start none: the run ends with
// `finishEarly(1)`.
int RunThreads(const CommandLine& commandLine, RunEnvironment& environment, LockedConsole& console,
               FileList& plannedList, const TreeRoot& target, uint32_t directBlockSize,
               TimelineSampler* sampler, const std::function<int(int)>& finishEarly);

}  // namespace dtk

#endif  // DTK_DRIVER_THREAD_RUN_H_
