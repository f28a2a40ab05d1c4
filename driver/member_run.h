// One member's run of the phases, and the report of all members. A run is a
// group of members: one on its own (dtk), in the target itself; or many in
// step (the threads of dtk -threads N, the processes of dtk-mpi), each in
// its own directory of the target, the lines and the report of all of them
// together.
#ifndef DTK_DRIVER_MEMBER_RUN_H_
#define DTK_DRIVER_MEMBER_RUN_H_

#include <atomic>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/run.h"
#include "driver/run_group.h"
#include "engine/tester.h"
#include "reporting/console.h"
#include "reporting/run_report.h"
#include "reporting/status_line.h"
#include "reporting/timeline_sampler.h"
#include "tree/file_list.h"

namespace dtk {

// What the lead keeps of a phase of all members for the report.
struct WholePhase {
  std::string start;                       // after the barrier that started it
  double seconds = 0;                      // from that barrier to the one that ended it
  std::vector<LatencySummary> operations;  // every member's calls together
};

// What one member runs the phases with. The plan and the target are the
// same for every member.
struct MemberSetup {
  RunGroup& group;
  const CommandLine& commandLine;
  FileList& plannedList;  // only read during the phases
  const TreeRoot& target;
  // The file system, clock and path style; its console is not used.
  RunEnvironment& environment;
  Console& console;       // this member's own lines
  Console& frameConsole;  // where the lead prints the lines of the whole run
  // A run of one member on its own: it works in the target, which the
  // caller has prepared, and frames its phases itself on `console`; no step
  // is taken with others.
  bool alone = false;
  // Whether each member locks its own directory against another run (the
  // target itself is not locked by anyone then).
  bool lockMemberDirectory = false;
  // Shared by members of one process, or null. A member whose walk fails
  // sets it, which ends the create and verify walks of the others at their
  // next entry; such a member says nothing of a walk that was stopped.
  std::atomic<bool>* abort = nullptr;
  // The status line of the members of one process, or null.
  LiveStatus* liveStatus = nullptr;
  // With -direct: the block size of unbuffered transfers, found by the
  // caller for all members, or null when each member finds out in its own
  // directory (and a file system that refuses -direct fails them all).
  const uint32_t* directBlockSize = nullptr;
  // With a report: what samples the timelines of the members of this
  // process, and this member's place in it.
  TimelineSampler* sampler = nullptr;
  int samplerSlot = 0;
};

// What a member's part of the run came to.
struct MemberOutcome {
  int status = 0;                       // its own exit status
  RankReport report;                    // its own figures (phases only with a report)
  uint32_t directBlockSize = 0;         // of its unbuffered transfers; 0: none
  std::vector<WholePhase> wholePhases;  // on the lead, with a report
};

// Runs the phases that the command line asks for on this member. Unless it
// is alone, in step with the others: every member starts a phase together
// and the phase lasts until the last one has finished it. The member makes
// its directory ("<kind>-N") in the target before the create phase (with
// -noCreate it must be there, as an earlier run left it) and removes it at
// the end of the remove phase once it is empty. The lead prints the start
// and finish lines and the summary (or the error line) of all members
// together on `frameConsole`; a member prints on `console` the error lines
// of a phase that failed on it.
MemberOutcome RunMember(const MemberSetup& setup);

// The exit status of the run, on every member: the highest of any. With a
// report, every member's own is gathered on the lead, which writes the
// report of the whole run (to the command line's report path, printing a
// failure on `console`); a member alone is the run. A report that could
// not be written makes a run that succeeded a failure.
int FinishGroupRun(RunGroup& group, const CommandLine& commandLine, const FileList* plannedList,
                   const MemberOutcome& mine, FileSystem& fileSystem, Console& console);

}  // namespace dtk

#endif  // DTK_DRIVER_MEMBER_RUN_H_
