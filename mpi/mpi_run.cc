#include "mpi/mpi_run.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver/report_recorder.h"
#include "engine/tester.h"
#include "engine/timed_file_system.h"
#include "platform/process.h"
#include "reporting/format.h"
#include "platform/path.h"
#include "reporting/run_report.h"
#include "tree/planner.h"

namespace dtk {
namespace {

// The frame of each process's own part of a phase: the clock readings
// only. The lines come from the hooks, once for all processes.
class QuietFrame : public PhaseFrame {
 public:
  explicit QuietFrame(Clock& clock) : clock_(clock) {}
  void Start(PhaseTimes& times) override { times.startTime = clock_.Now(); }
  int Finish(const PhaseText&, const PhaseCounters&, PhaseTimes& times, int status) override {
    times.endTime = clock_.Now();
    return status < 0 ? -1 : 0;
  }

 private:
  Clock& clock_;
};

// What the lead keeps of a phase of all processes for the report.
struct WholePhase {
  std::string start;                       // after the barrier that started it
  double seconds = 0;                      // from that barrier to the one that ended it
  std::vector<LatencySummary> operations;  // every process's calls together
};

// Runs each phase in step on every process: a barrier before it and after
// it, the phase's time from the one to the other. The lead prints the
// start and finish lines and the summary (or the error line) of all
// processes together; a process that is not the lead prints only the error
// line of a phase that failed on it.
class InStepHooks : public PhaseHooks {
 public:
  InStepHooks(MpiGroup& group, Console& console, Clock& clock, TimedFileSystem& timed,
              const TreeRoot& target, TreeRoot& rankRoot)
      : group_(group),
        console_(console),
        clock_(clock),
        timed_(timed),
        target_(target),
        rankRoot_(rankRoot) {}

  bool Anywhere(bool local) override { return group_.Any(local); }

  void BeginPhase(const PhaseText&) override {
    console_.Flush();
    group_.Barrier();
    start_ = std::chrono::steady_clock::now();
    startTime_ = clock_.Now();
    auto now = std::chrono::system_clock::now().time_since_epoch();
    startText_ =
        FormatIsoLocalTime(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    if (group_.isLead()) {
      PrintStartLine(console_, startTime_);
      console_.Flush();
    }
  }

  // The directory of this process goes at the end of its remove phase,
  // once everything in it is gone. It is no entry of the tree: it has no
  // line unless it cannot be removed, and it is not counted.
  int EndWalk(const PhaseText& text, int result) override {
    if (&text != &kRemoveText) return result;
    removePhaseRan_ = true;
    if (result != 0) return result;
    ErrorCode code = rankRoot_.CloseAndRemove(target_, timed_);
    if (code == 0 || IsNotFoundError(code)) return 0;
    console_.ProgressF("RemoveDirecrory %s\n", rankRoot_.path().c_str());
    console_.ErrorF("RemoveDirectory Error!: %s\n", SystemErrorText(code));
    return -1;
  }

  int EndPhase(const PhaseText& text, const PhaseCounters& counters, int result) override {
    if (result < 0 && !group_.isLead()) console_.Error(text.errorLine);
    console_.Flush();
    group_.Barrier();
    int64_t endTime = clock_.Now();
    // The processes leave a barrier one after the other, not at one
    // instant: the phase of all lasted as long as the longest time any of
    // them spent from the one barrier to the other, which holds the work of
    // each.
    uint64_t nanoseconds[1] = {
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - start_)
                                  .count())};
    group_.MaxToLead(nanoseconds, 1);
    uint64_t sums[4] = {counters.files, counters.second, static_cast<uint64_t>(counters.bytes),
                        result < 0 ? 1u : 0u};
    group_.SumToLead(sums, 4);
    WholePhase whole{startText_, static_cast<double>(nanoseconds[0]) / 1e9, {}};
    if (timed_.enabled()) AddLatencies(&whole.operations);
    if (group_.isLead()) {
      PrintFinishLine(console_, endTime);
      if (sums[3] != 0) {
        console_.Error(text.errorLine);
      } else {
        PrintSummary(console_, text, sums[0], sums[1], static_cast<int64_t>(sums[2]),
                     ElapsedSeconds(startTime_, endTime));
      }
      console_.Flush();
      wholePhases_.push_back(std::move(whole));
    }
    return result;
  }

  bool removePhaseRan() const { return removePhaseRan_; }
  // On the lead: every phase that ran, in order.
  const std::vector<WholePhase>& wholePhases() const { return wholePhases_; }

 private:
  // The latencies of every process's calls of this phase, added up bucket
  // by bucket on the lead, as summaries there.
  void AddLatencies(std::vector<LatencySummary>* operations) {
    constexpr int kBuckets = LatencyHistogram::kBucketCount;
    constexpr int kStride = kBuckets + 1;  // the buckets, then the total
    std::vector<uint64_t> sums(kOperationCount * kStride);
    uint64_t mins[kOperationCount];
    uint64_t maxes[kOperationCount];
    for (int k = 0; k < kOperationCount; ++k) {
      const LatencyHistogram& histogram = timed_.latencies(static_cast<Operation>(k));
      std::copy(histogram.buckets().begin(), histogram.buckets().end(), &sums[k * kStride]);
      sums[k * kStride + kBuckets] = histogram.total();
      mins[k] = histogram.count() == 0 ? UINT64_MAX : histogram.min();
      maxes[k] = histogram.max();
    }
    group_.SumToLead(sums.data(), static_cast<int>(sums.size()));
    group_.MinToLead(mins, kOperationCount);
    group_.MaxToLead(maxes, kOperationCount);
    if (!group_.isLead()) return;
    for (int k = 0; k < kOperationCount; ++k) {
      LatencyHistogram all = LatencyHistogram::FromParts(
          &sums[k * kStride], sums[k * kStride + kBuckets], mins[k], maxes[k]);
      if (all.count() > 0) {
        operations->push_back(SummarizeLatencies(OperationName(static_cast<Operation>(k)), all));
      }
    }
  }

  MpiGroup& group_;
  Console& console_;
  Clock& clock_;
  TimedFileSystem& timed_;
  const TreeRoot& target_;
  TreeRoot& rankRoot_;
  std::chrono::steady_clock::time_point start_;
  int64_t startTime_ = 0;
  std::string startText_;
  bool removePhaseRan_ = false;
  std::vector<WholePhase> wholePhases_;
};

// Gathers every process's own report on the lead, which writes the report
// of the whole run with the exit status `status` and the lead's block size
// of unbuffered I/O (0: none). Returns the exit status,
// which a report that could not be written makes a failure on the lead.
int WriteGroupReport(MpiGroup& group, const CommandLine& commandLine, const FileList* plannedList,
                     uint32_t directBlockSize, RankReport mine,
                     const std::vector<WholePhase>& wholePhases, int status,
                     RunEnvironment& environment) {
  std::vector<std::string> texts = group.GatherToLead(RankJson(mine));
  if (!group.isLead()) return status;
  RunReport report = StartRunReport(commandLine);
  // The lead's: every process works on the same file system.
  if (directBlockSize != 0) report.directBlockSize = directBlockSize;
  if (plannedList != nullptr) {
    PlanTotals totals = CountPlan(*plannedList);
    report.plan = ReportPlan{totals.files, totals.directories, totals.bytes};
  }
  for (size_t k = 0; k < texts.size(); ++k) {
    std::optional<RankReport> rank = ParseRankJson(texts[k]);
    if (!rank || rank->phases.size() != wholePhases.size()) {
      // Not a text this program wrote: the rank is listed without figures.
      rank = RankReport();
      rank->rank = static_cast<int>(k);
      rank->exitStatus = kExitFailed;
    }
    report.ranks.push_back(std::move(*rank));
  }
  std::vector<RankReport> complete;
  for (const RankReport& rank : report.ranks) {
    if (rank.phases.size() == wholePhases.size()) complete.push_back(rank);
  }
  for (size_t i = 0; i < wholePhases.size() && !complete.empty(); ++i) {
    PhaseReport phase = CombinePhases(complete, i);
    phase.start = wholePhases[i].start;
    phase.seconds = wholePhases[i].seconds;
    phase.operations = wholePhases[i].operations;
    report.phases.push_back(std::move(phase));
  }
  return FinishRunReport(report, status, commandLine.reportPath, environment.fileSystem,
                         environment.console);
}

}  // namespace

std::string RankDirectoryName(int rank) { return "rank-" + std::to_string(rank); }

int RunDtkInGroup(int argc, const char* const* argv, RunEnvironment& environment, MpiGroup& group) {
  Console& console = environment.console;
  FileList plannedList;
  CommandLine commandLine;
  TimedFileSystem timed(environment.fileSystem);
  DtkTest tester(timed, console, environment.clock, environment.pathStyle);
  QuietFrame frame(environment.clock);
  tester.set_frame(&frame);
  ReportRecorder recorder(timed);

  // Every process reads the same command line, and the lead tells what is
  // wrong with it; another process speaks only when its own differs.
  std::string error = ParseCommandLine(argc, argv, environment.optionRules, &commandLine);
  bool leadRefused = group.Any(group.isLead() && !error.empty());
  if (group.Any(!error.empty())) {
    if (!error.empty() && (group.isLead() || !leadRefused)) console.Error(error);
    console.Flush();
    return kExitParameterError;
  }
  bool reporting = commandLine.reportPath != nullptr;
  if (reporting) {
    timed.set_enabled(true);
    tester.set_observer(&recorder);
  }

  // Every process plans the same tree, for the least memory of any.
  uint64_t memory =
      group.Min(environment.usableMemory == 0 ? UINT64_MAX : environment.usableMemory);
  if (memory == UINT64_MAX) memory = 0;
  bool planned = PlanRun(commandLine, memory, environment.sizeRandom, plannedList);
  // Each process works in its own directory of the target, which it locks
  // against another run; a directory that cannot be made stops nothing
  // here: the first file in it fails instead, as in the create phase.
  TreeRoot target(environment.fileSystem, commandLine.targetDir);
  TreeRoot rankRoot(environment.fileSystem, target, RankDirectoryName(group.rank()),
                    planned && !commandLine.noCreate);
  InStepHooks hooks(group, console, environment.clock, timed, target, rankRoot);
  uint32_t directBlockSize = 0;
  int status;
  if (group.Any(!planned)) {
    if (group.isLead()) console.Error("CreateFileList error!\n");
    console.Flush();
    planned = false;
    status = kExitParameterError;
  } else if (int refused = group.Max(
                 PrepareTarget(commandLine, rankRoot, environment.fileSystem, console))) {
    status = refused;
  } else if (int refused = group.Max(PrepareDirectIo(commandLine, rankRoot, environment.fileSystem,
                                                     console, &directBlockSize))) {
    // The run does not start: the directory made for it goes again.
    if (!commandLine.noCreate) rankRoot.CloseAndRemove(target, timed);
    status = refused;
  } else {
    tester.set_direct(directBlockSize);
    bool failed = RunPhases(
        {commandLine, rankRoot, plannedList, tester, reporting ? &recorder : nullptr}, hooks);
    // No process had anything to remove: the directory is empty.
    if (!commandLine.noRemove && !hooks.removePhaseRan()) rankRoot.CloseAndRemove(target, timed);
    console.Flush();
    status = failed ? kExitFailed : kExitOk;
    if (int signal = StopRequested(); signal != 0) status = kExitInterrupted + signal;
  }

  int runStatus = group.Max(status);
  if (reporting) {
    RankReport mine;
    mine.rank = group.rank();
    mine.host = group.HostName();
    mine.exitStatus = status;
    mine.phases = std::move(recorder.phases());
    runStatus = group.Max(WriteGroupReport(group, commandLine, planned ? &plannedList : nullptr,
                                           directBlockSize, std::move(mine), hooks.wholePhases(),
                                           runStatus, environment));
  }
  return runStatus;
}

}  // namespace dtk
