// Reading the command line into the run settings.
#ifndef DTK_DRIVER_COMMAND_LINE_H_
#define DTK_DRIVER_COMMAND_LINE_H_

#include <cstdint>
#include <string>

#include "engine/file_engine.h"
#include "platform/option_rules.h"
#include "tree/planner.h"

namespace dtk {

// The most threads -threads takes.
constexpr int32_t kMaxThreads = 1024;

// The time between the samples of a phase's timeline: at first, and the
// least and most -interval takes, in milliseconds.
constexpr uint32_t kDefaultIntervalMs = 1000;
constexpr int32_t kMinIntervalMs = 10;
constexpr int32_t kMaxIntervalMs = 60000;

// What the command line asks for.
struct CommandLine {
  const char* targetDir = nullptr;  // the word itself, as typed
  bool verifyRequested = false;
  bool noCreate = false;                  // the tree is on disk from an earlier run
  bool noRemove = false;                  // the tree stays on disk
  bool sync = false;                      // files and directories flushed to stable storage
  bool direct = false;                    // file data around the system's file cache
  const char* reportPath = nullptr;       // where the JSON report goes: the word as typed
  int32_t fileSizeMiB = 0;                // 0: totalSize keeps its default
  EngineKind engine = EngineKind::kSync;  // how the files' calls are made
  uint32_t depth = kDefaultEngineDepth;   // files in flight at once (uring)
  // Threads that run the phases at once, each on the whole plan in its own
  // directory "thread-K" of the target; 1 runs them in the target itself.
  int32_t threads = 1;
  // With a report: the time between the samples of each phase's timeline.
  uint32_t intervalMs = kDefaultIntervalMs;
  TestConfig config;
  // Set by a word asking for the help or the version, after which nothing
  // more is read: such a command line needs no target.
  enum class Asks { kRun, kHelp, kVersion } asks = Asks::kRun;
};

// The option names, in the order of the help.
extern const char* const* const kOptionNames;
extern const int kOptionCount;

// Reads `argv[1..argc-1]`. Returns an empty text when the command line is
// good (with `*result` filled), otherwise the message to print on the
// standard error stream before exiting with status 1.
std::string ParseCommandLine(int argc, const char* const* argv, const OptionRules& rules,
                             CommandLine* result);

// The text that `program` ("dtk", "dtk-mpi") prints on standard output
// when its command line asks for the help (--help, -help, -h, and /? on
// Windows) or the version (--version, -version) where an option word is
// read; otherwise, and for a command line that is refused before that
// word, "".
std::string HelpOrVersionText(int argc, const char* const* argv, const OptionRules& rules,
                              const char* program);

}  // namespace dtk

#endif  // DTK_DRIVER_COMMAND_LINE_H_
