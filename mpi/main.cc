// dtk-mpi: dtk on every process of an MPI job at once, each process in its
// own directory below the target, the phases in step, the lines and the
// report of the whole run from rank 0.
#include <mpi.h>

#include <optional>
#include <string>

#include "driver/command_line.h"
#include "mpi/mpi_group.h"
#include "mpi/mpi_run.h"
#include "platform/process.h"
#include "reporting/member_console.h"

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int status;
  {
    dtk::MpiGroup group;
    dtk::InstallStopHandlers();
    // Every process reads the same command line, so all of them end here
    // alike; one text is enough.
    std::string text = dtk::HelpOrVersionText(argc, argv, dtk::NativeOptionRules(), "dtk-mpi");
    if (!text.empty()) {
      bool written = !group.isLead() || dtk::WriteStandardStream(1, text.data(), text.size());
      MPI_Finalize();
      dtk::RestoreStandardStreams();
      return written ? 0 : 1;
    }
    // As in dtk: a file or pipe (which is what mpirun gives) gets the lines
    // in blocks, flushed at the end of every phase.
    dtk::StreamConsole stdio(dtk::WriteStandardStream, dtk::IsTerminal(1), dtk::IsTerminal(2));
    std::optional<dtk::MemberConsole> memberConsole;
    dtk::Console& console = group.isLead()
                                ? static_cast<dtk::Console&>(stdio)
                                : memberConsole.emplace(stdio, group.kind(), group.rank());
    dtk::SystemClock clock;
    dtk::RunEnvironment environment{dtk::SystemFileSystem(),
                                    console,
                                    clock,
                                    dtk::sizeRandom,
                                    dtk::NativeOptionRules(),
                                    dtk::NativePathStyle(),
                                    dtk::UsableMemoryBytes()};
    status = dtk::RunDtkInGroup(argc, argv, environment, group);
    console.Flush();
  }
  MPI_Finalize();
  dtk::RestoreStandardStreams();
  return status;
}
