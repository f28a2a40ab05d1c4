// One run of dtk-mpi: the run of dtk on every process of an MPI job at
// once, each in its own directory below the target, the phases in step.
#ifndef DTK_MPI_MPI_RUN_H_
#define DTK_MPI_MPI_RUN_H_

#include "driver/run.h"
#include "mpi/mpi_group.h"

namespace dtk {

// Runs the tool on `argv` as process `group.rank()` of the group and
// returns the exit status, the same on every process: the highest of all.
// `environment.console` prints this process's lines; the lead (rank 0)
// prints the lines of the whole run.
int RunDtkInGroup(int argc, const char* const* argv, RunEnvironment& environment, MpiGroup& group);

}  // namespace dtk

#endif  // DTK_MPI_MPI_RUN_H_
