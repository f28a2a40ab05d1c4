// dtk: plans a tree of files and directories, creates it, optionally reads
// it back and checks every file's CRC-32, removes it, and reports each phase.
#include <new>
#include <string>

#include "driver/command_line.h"
#include "driver/run.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  dtk::InstallStopHandlers();
  // The help and the version come before anything of a run is set up; a
  // text that cannot be written (a full disk) fails, lest a script take it
  // as given.
  std::string text = dtk::HelpOrVersionText(argc, argv, dtk::NativeOptionRules(), "dtk");
  if (!text.empty()) {
    bool written = dtk::WriteStandardStream(1, text.data(), text.size());
    dtk::RestoreStandardStreams();
    return written ? 0 : 1;
  }
  int status;
  {
    // A terminal sees each line as it comes; a file or pipe gets its lines in
    // blocks, flushed before the other stream is written and at the end of
    // every phase.
    dtk::StreamConsole console(dtk::WriteStandardStream, dtk::IsTerminal(1), dtk::IsTerminal(2));
    dtk::SystemClock clock;
    dtk::RunEnvironment environment{dtk::SystemFileSystem(),
                                    console,
                                    clock,
                                    dtk::sizeRandom,
                                    dtk::NativeOptionRules(),
                                    dtk::NativePathStyle(),
                                    dtk::UsableMemoryBytes(),
                                    dtk::StandardErrorTerminal()};
    try {
      status = dtk::RunDtk(argc, argv, environment);
    } catch (const std::bad_alloc&) {
      // Where no part of the run could say it: the run's own state is
      // unknown, so it counts as failed, not as refused.
      console.ErrorF("Memory Error!: %s\n", dtk::SystemErrorText(dtk::OutOfMemoryError()));
      status = dtk::kExitFailed;
    }
    console.Flush();
  }
  dtk::RestoreStandardStreams();
  return status;
}
