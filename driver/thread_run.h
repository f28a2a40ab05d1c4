// dtk -threads N: the run of dtk on N threads of one process at once, each
// thread on the whole plan in its own directory "thread-K" of the target,
// the phases in step.
#ifndef DTK_DRIVER_THREAD_RUN_H_
#define DTK_DRIVER_THREAD_RUN_H_

#include <cstdint>

#include "driver/command_line.h"
#include "driver/run.h"

namespace dtk {

// What a thread costs beside the plan, which all threads share: its
// tester's pattern (kept twice over) and transfer buffer, the latency
// histograms of its timer, and room for its stack and the rest.
uint64_t ThreadMemoryBytes();

// Runs the phases that `commandLine` (already read, with threads > 1) asks
// for on commandLine.threads threads and returns the exit status: the
// highest of any thread. The target is opened and locked once, and the
// tree planned once. The lines of the whole run are those of one run, the
// counts and bytes summed over the threads; a thread prints only the entry
// it failed on and its error lines, marked "[thread K] ".
int RunDtkInThreads(const CommandLine& commandLine, RunEnvironment& environment);

}  // namespace dtk

#endif  // DTK_DRIVER_THREAD_RUN_H_
