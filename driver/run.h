// One whole run: command line, plan, then the phases.
#ifndef DTK_DRIVER_RUN_H_
#define DTK_DRIVER_RUN_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/command_line.h"
#include "engine/file_engine.h"
#include "engine/tester.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "reporting/console.h"
#include "reporting/phase_frame.h"
#include "reporting/report_recorder.h"
#include "reporting/run_report.h"
#include "reporting/timed_file_system.h"
#include "support/mt_random.h"
#include "tree/file_list.h"
#include "tree/plan_memory.h"
#include "tree/planner.h"

namespace dtk {

// Exit statuses.
constexpr int kExitOk = 0;              // every phase succeeded, no CRC error
constexpr int kExitParameterError = 1;  // bad command line, or no plan could be made
constexpr int kExitFailed = 2;          // a phase failed, or a file did not verify
constexpr int kExitInterrupted = 128;   // plus the signal: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP

// What a run works with; tests replace any of it.
struct RunEnvironment {
  FileSystem& fileSystem;
  Console& console;
  Clock& clock;
  MtRandom& sizeRandom;
  const OptionRules& optionRules;
  const PathStyle& pathStyle;
  uint64_t usableMemory;  // 0: unknown, no limit
  // The terminal of the standard error stream, where a run that prints no
  // line per file (-threads N) draws a status line; null: none.
  StatusTerminal* statusTerminal = nullptr;
  // For tests: what sees the calls an engine makes past `fileSystem` (may
  // be null), and a code that the system refuses io_uring with (0: none).
  EngineFaults* engineFaults = nullptr;
  ErrorCode uringRefusal = 0;
};

// Plans the tree that `commandLine` asks for into `plannedList`, within
// `usableMemory` bytes (0: unknown, no limit). False, printing nothing, when
// no plan could be made or held, or a stop was requested meanwhile; the
// caller prints "CreateFileList error!" unless a stop was requested.
bool PlanRun(const CommandLine& commandLine, uint64_t usableMemory, MtRandom& sizeRandom,
             FileList& plannedList);

// Checks the directory `root` that the tree of `commandLine` goes in and,
// with `lock`, locks it against another run. Returns 0 when the run may go
// on, otherwise prints why not and returns the exit status: 1 when another
// run holds the directory, 2 when -noCreate finds no directory.
int PrepareTarget(const CommandLine& commandLine, TreeRoot& root, FileSystem& fileSystem,
                  Console& console, bool lock = true);

// With -direct, finds out whether the file system of `root` takes
// unbuffered I/O, and the block size of its transfers, into `*blockSize`
// (0 without -direct). Returns 0 when the run may go on, otherwise prints
// why not and returns status 1. A root that could not be opened is not
// probed: its phases fail for that reason.
int PrepareDirectIo(const CommandLine& commandLine, const TreeRoot& root, FileSystem& fileSystem,
                    Console& console, uint32_t* blockSize);

// "Memory Error!: ..." with the system's words for memory running out.
std::string MemoryErrorLine();

// Makes the engine of `settings` into `*engine`: "", or the line that
// refuses the run (status 1) when the system cannot give it. Throws
// std::bad_alloc when memory runs out.
std::string MakeEngine(const EngineSettings& settings, std::unique_ptr<FileEngine>* engine);

// The line for status 1 when the system cannot give the engine that
// `commandLine` asks for, or memory runs out meanwhile; "" when it can.
std::string EngineRefusal(const CommandLine& commandLine, const RunEnvironment& environment);

// A report of the run that `commandLine` asks for, as far as it is known
// before planning.
RunReport StartRunReport(const CommandLine& commandLine);
// Writes `report` with the exit status `status` to `path` and returns the
// exit status: a report that cannot be written ("Report Error!: ...") fails
// a run that had succeeded.
int FinishRunReport(RunReport& report, int status, const char* path, FileSystem& fileSystem,
                    Console& console);

// What the phase sequence leaves to the program that runs it. The defaults
// are those of a process that runs the phases on its own; a program that
// runs them in step in many processes at once decides together with the
// others and frames each phase for all of them.
class PhaseHooks {
 public:
  virtual ~PhaseHooks() = default;
  // Whether `local` holds in this process or in any other that runs the
  // phases in step with it; every one of them gets the same answer.
  virtual bool Anywhere(bool local) { return local; }
  // Before the tester starts the phase `text`.
  virtual void BeginPhase(const PhaseText& /*text*/) {}
  // Right after the tester's walk of the phase returned `result` (0 or -1),
  // while the phase is still being recorded; returns the phase's result.
  virtual int EndWalk(const PhaseText& /*text*/, int result) { return result; }
  // After the phase was recorded with `result` and `counters`; returns the
  // phase's result.
  virtual int EndPhase(const PhaseText& /*text*/, const PhaseCounters& /*counters*/, int result) {
    return result;
  }
};

// What the phases of a run work with.
struct PhaseRun {
  const CommandLine& commandLine;
  const TreeRoot& root;  // where the tree goes
  FileList& plannedList;
  DtkTest& tester;
  ReportRecorder* recorder;  // null: no report
};

// Runs the phases that the command line asks for, in their order: create
// (unless -noCreate), verify (with -verify), remove (unless -noRemove).
// After a stop request the tree is only cleaned up. Returns true when a
// phase failed or a file did not verify. A phase whose walk was stopped is
// recorded as interrupted.
bool RunPhases(const PhaseRun& run, PhaseHooks& hooks);

// Runs the tool on `argv` and returns the exit status. With -threads N
// (N > 1) the phases run on N threads at once (driver/thread_run.h).
int RunDtk(int argc, const char* const* argv, RunEnvironment& environment);

}  // namespace dtk

#endif  // DTK_DRIVER_RUN_H_
