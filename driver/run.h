// One whole run: command line, plan, then the phases.
#ifndef DTK_DRIVER_RUN_H_
#define DTK_DRIVER_RUN_H_

#include <cstdint>

#include "driver/command_line.h"
#include "platform/file_system.h"
#include "reporting/console.h"
#include "reporting/path.h"
#include "reporting/phase_frame.h"
#include "support/mt_random.h"

namespace dtk {

// Exit statuses.
constexpr int kExitOk = 0;              // every phase succeeded, no CRC error
constexpr int kExitParameterError = 1;  // bad command line, or no plan could be made
constexpr int kExitFailed = 2;          // a phase failed, or a file did not verify
constexpr int kExitInterrupted = 128;   // plus the signal number: 130 Ctrl-C, 143 SIGTERM

// What a run works with; tests replace any of it.
struct RunEnvironment {
  FileSystem& fileSystem;
  Console& console;
  Clock& clock;
  MtRandom& sizeRandom;
  const OptionRules& optionRules;
  const PathStyle& pathStyle;
  uint64_t physicalMemory;  // 0: unknown, no limit
};

// Estimated memory of one planned entry together with the copy the create
// phase keeps of it.
constexpr uint64_t kBytesPerPlannedEntry = 200;

// Checks before planning that a plan for `config` can be named and held:
// at least ceil(totalSize / maxFileSize) files, numbered with signed 32-bit
// numbers, and their entries within `physicalMemory`. Returns true when it
// may be tried.
bool PlanMayFit(const TestConfig& config, uint64_t physicalMemory);

// Runs the tool on `argv` and returns the exit status.
int RunDtk(int argc, const char* const* argv, RunEnvironment& environment);

}  // namespace dtk

#endif  // DTK_DRIVER_RUN_H_
