// dtk: plans a tree of files and directories, creates it, optionally reads
// it back and checks every file's CRC-32, removes it, and reports each phase.
#include <cstdio>

#include "driver/run.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  dtk::InstallStopHandlers();
  // A terminal sees each line as it comes; a file or pipe gets its lines in
  // blocks, flushed before the standard output stream is written and at the
  // end of every phase.
  // The buffer is given, not just its size: the C library may size a buffer
  // it allocates itself by the file's block size instead (4 KiB on Linux).
  static char errorBuffer[1 << 16];
  if (!dtk::IsTerminal(stderr)) std::setvbuf(stderr, errorBuffer, _IOFBF, sizeof(errorBuffer));
  dtk::StdioConsole console(stdout, stderr);
  dtk::SystemClock clock;
  dtk::RunEnvironment environment{dtk::SystemFileSystem(),
                                  console,
                                  clock,
                                  dtk::sizeRandom,
                                  dtk::NativeOptionRules(),
                                  dtk::NativePathStyle(),
                                  dtk::PhysicalMemoryBytes()};
  int status = dtk::RunDtk(argc, argv, environment);
  console.Flush();
  return status;
}
