#include "driver/member_run.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>

#include "engine/file_engine.h"
#include "platform/process.h"
#include "reporting/format.h"
#include "reporting/phase_frame.h"
#include "reporting/report_recorder.h"
#include "reporting/timed_file_system.h"

namespace dtk {
namespace {

// The frame of each member's own part of a phase, which is silent: the
// lines and the times come from the hooks, once for all members.
class QuietFrame : public PhaseFrame {
 public:
  void Start(PhaseTimes&) override {}
  int Finish(const PhaseText&, const PhaseCounters&, PhaseTimes&, int status) override {
    return status < 0 ? -1 : 0;
  }
};

// Removes the directory of a member, once everything in it is gone. It is
// no entry of the tree: it has no line unless it cannot be removed, or is
// no longer where the member made it (another user renamed it away), which
// fails the member. Returns 0 or -1.
int RemoveMemberDirectory(TreeRoot& memberRoot, const TreeRoot& target, FileSystem& fileSystem,
                          Console& console) {
  ErrorCode code = memberRoot.CloseAndRemove(target, fileSystem);
  if (code == 0) return 0;
  console.ProgressF("RemoveDirecrory %s\n", memberRoot.path().c_str());
  console.ErrorF("RemoveDirectory Error!: %s\n", SystemErrorText(code));
  return -1;
}

// Runs each phase in step on every member: a barrier before it and after
// it, the phase's time from the one to the other. The lead prints the
// start and finish lines and the summary (or the error line) of all
// members together; a member prints the error line of a phase that failed
// on it, unless the lead's line is its own.
class InStepHooks : public PhaseHooks {
 public:
  InStepHooks(const MemberSetup& setup, DtkTest& tester, TimedFileSystem& timed,
              TreeRoot& memberRoot)
      : group_(setup.group),
        console_(setup.console),
        frameConsole_(setup.frameConsole),
        clock_(setup.environment.clock),
        abort_(setup.abort),
        liveStatus_(setup.liveStatus),
        tester_(tester),
        timed_(timed),
        target_(setup.target),
        memberRoot_(memberRoot) {}

  bool Anywhere(bool local) override { return group_.Any(local); }

  void BeginPhase(const PhaseText& text) override {
    console_.Flush();
    // Nobody sets the flag between the barrier that ended the phase before
    // and the one below, and nobody starts a walk before it.
    if (abort_ != nullptr && group_.isLead()) abort_->store(false, std::memory_order_relaxed);
    group_.Barrier();
    start_ = std::chrono::steady_clock::now();
    startTime_ = clock_.Now();
    auto now = std::chrono::system_clock::now().time_since_epoch();
    startText_ =
        FormatIsoLocalTime(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    if (group_.isLead()) {
      PrintStartLine(frameConsole_, startTime_);
      frameConsole_.Flush();
      if (liveStatus_ != nullptr) liveStatus_->BeginPhase(text);
    }
    // No member's line of the phase comes before its start line.
    group_.Barrier();
  }

  // The directory of this member goes at the end of its remove phase, and
  // is not counted.
  int EndWalk(const PhaseText& text, int result) override {
    if (result < 0 && abort_ != nullptr) abort_->store(true, std::memory_order_relaxed);
    if (&text != &kRemoveText) return result;
    removePhaseRan_ = true;
    if (result != 0) return result;
    return RemoveMemberDirectory(memberRoot_, target_, timed_, console_);
  }

  int EndPhase(const PhaseText& text, const PhaseCounters& counters, int result) override {
    // The lead's line says it for all; members that stop each other leave
    // a walk that was stopped to it.
    bool ownLine = !group_.isLead() || &console_ != &frameConsole_;
    bool stopped = abort_ != nullptr && tester_.stopped();
    if (result < 0 && ownLine && !stopped) console_.Error(text.errorLine);
    console_.Flush();
    group_.Barrier();
    int64_t endTime = clock_.Now();
    // The members leave a barrier one after the other, not at one instant:
    // the phase of all lasted as long as the longest time any of them spent
    // from the one barrier to the other, which holds the work of each.
    uint64_t nanoseconds =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - start_)
                                  .count());
    uint64_t longest = 0;
    group_.CombineToLead(RunGroup::Combine::kMax, &nanoseconds, &longest, 1);
    const uint64_t mine[4] = {counters.files, counters.directoriesOrErrors,
                              static_cast<uint64_t>(counters.bytes), result < 0 ? 1u : 0u};
    uint64_t sums[4] = {};
    group_.CombineToLead(RunGroup::Combine::kSum, mine, sums, 4);
    WholePhase whole{startText_, static_cast<double>(longest) / 1e9, {}};
    if (timed_.enabled()) AddLatencies(&whole.operations);
    if (group_.isLead()) {
      if (liveStatus_ != nullptr) liveStatus_->EndPhase();
      PrintFinishLine(frameConsole_, endTime);
      if (sums[3] != 0) {
        frameConsole_.Error(text.errorLine);
      } else {
        PrintSummary(frameConsole_, text, sums[0], sums[1], static_cast<int64_t>(sums[2]),
                     ElapsedSeconds(startTime_, endTime));
      }
      frameConsole_.Flush();
      wholePhases_.push_back(std::move(whole));
    }
    return result;
  }

  bool removePhaseRan() const { return removePhaseRan_; }
  // On the lead: every phase that ran, in order.
  std::vector<WholePhase>& wholePhases() { return wholePhases_; }

 private:
  // The latencies of every member's calls of this phase, added up bucket by
  // bucket on the lead, as summaries there.
  void AddLatencies(std::vector<LatencySummary>* operations) {
    constexpr int kBuckets = LatencyHistogram::kBucketCount;
    // Of each kind of call: the total time, the least and the most.
    uint64_t mine[3][kOperationCount];
    uint64_t all[3][kOperationCount];
    for (int k = 0; k < kOperationCount; ++k) {
      const LatencyHistogram& histogram = timed_.latencies(static_cast<Operation>(k));
      mine[0][k] = histogram.total();
      mine[1][k] = histogram.count() == 0 ? UINT64_MAX : histogram.min();
      mine[2][k] = histogram.max();
    }
    group_.CombineToLead(RunGroup::Combine::kSum, mine[0], all[0], kOperationCount);
    group_.CombineToLead(RunGroup::Combine::kMin, mine[1], all[1], kOperationCount);
    group_.CombineToLead(RunGroup::Combine::kMax, mine[2], all[2], kOperationCount);
    // One kind of call at a time: the buckets are summed from where each
    // member keeps them.
    std::vector<uint64_t> buckets(group_.isLead() ? kBuckets : 0);
    for (int k = 0; k < kOperationCount; ++k) {
      const LatencyHistogram& histogram = timed_.latencies(static_cast<Operation>(k));
      group_.CombineToLead(RunGroup::Combine::kSum, histogram.buckets().data(), buckets.data(),
                           kBuckets);
      if (!group_.isLead()) continue;
      LatencyHistogram whole =
          LatencyHistogram::FromParts(buckets.data(), all[0][k], all[1][k], all[2][k]);
      if (whole.count() > 0) {
        operations->push_back(SummarizeLatencies(OperationName(static_cast<Operation>(k)), whole));
      }
    }
  }

  RunGroup& group_;
  Console& console_;
  Console& frameConsole_;
  Clock& clock_;
  std::atomic<bool>* abort_;
  LiveStatus* liveStatus_;
  DtkTest& tester_;
  TimedFileSystem& timed_;
  const TreeRoot& target_;
  TreeRoot& memberRoot_;
  std::chrono::steady_clock::time_point start_;
  int64_t startTime_ = 0;
  std::string startText_;
  bool removePhaseRan_ = false;
  std::vector<WholePhase> wholePhases_;
};

// What a member works with, made before its first step with the others.
struct MemberParts {
  explicit MemberParts(const MemberSetup& setup)
      : timed(setup.environment.fileSystem),
        tester(timed, setup.console, setup.environment.clock, setup.environment.pathStyle),
        recorder(timed, setup.sampler, setup.samplerSlot) {
    // Alone, the member's own frame prints its lines.
    if (!setup.alone) tester.set_frame(&frame);
    tester.set_abort(setup.abort);
    if (setup.directBlockSize != nullptr) tester.set_direct(*setup.directBlockSize);
  }
  // Makes the engine, and the buffers now, not as the first phase starts:
  // a run that has no room for them touches nothing. "", or the line that
  // refuses the run; throws std::bad_alloc when memory runs out.
  std::string SetUp(const MemberSetup& setup) {
    const CommandLine& commandLine = setup.commandLine;
    if (commandLine.reportPath != nullptr) {
      timed.set_enabled(true);
      tester.set_observer(&recorder);
    }
    std::string refusal = MakeEngine({.kind = commandLine.engine,
                                      .depth = commandLine.depth,
                                      .fileSystem = &timed,
                                      .timed = &timed,
                                      .faults = setup.environment.engineFaults,
                                      .direct = commandLine.direct,
                                      .refusal = setup.environment.uringRefusal},
                                     &engine);
    tester.set_engine(engine.get());
    if (refusal.empty() && tester.ReserveBuffers() != 0) throw std::bad_alloc();
    return refusal;
  }
  TimedFileSystem timed;
  DtkTest tester;
  QuietFrame frame;
  ReportRecorder recorder;
  std::unique_ptr<FileEngine> engine;
};

// How a member's set-up ended, worst last.
enum SetUpState { kSetUp, kRefused, kOutOfMemory };

}  // namespace

MemberOutcome RunMember(const MemberSetup& setup) {
  RunGroup& group = setup.group;
  const CommandLine& commandLine = setup.commandLine;
  RunEnvironment& environment = setup.environment;
  bool reporting = commandLine.reportPath != nullptr;

  // Each member has an engine of its own; one that the system refuses to
  // one member, or memory that runs out in any while it sets up, stops them
  // all before anything is touched. The lead says the reason once, however
  // many members met it; memory first.
  std::unique_ptr<MemberParts> parts;
  std::string refusal;
  SetUpState state = kSetUp;
  try {
    parts = std::make_unique<MemberParts>(setup);
    refusal = parts->SetUp(setup);
    if (!refusal.empty()) state = kRefused;
  } catch (const std::bad_alloc&) {
    state = kOutOfMemory;
  }
  MemberOutcome outcome;
  if (setup.directBlockSize != nullptr) outcome.directBlockSize = *setup.directBlockSize;
  outcome.report.rank = group.member();
  outcome.report.host = group.HostName();
  // Deciding who says it takes no memory.
  if (int worst = group.Max(state); worst != kSetUp) {
    const uint64_t none = UINT64_MAX;
    const uint64_t member = static_cast<uint64_t>(group.member());
    uint64_t first = group.Min(state == worst ? member : none);
    if (first == member && worst == kOutOfMemory) {
      setup.frameConsole.ErrorF("Memory Error!: %s\n", SystemErrorText(OutOfMemoryError()));
    } else if (first == member) {
      setup.frameConsole.Error(refusal);
    }
    setup.frameConsole.Flush();
    outcome.status = kExitParameterError;
    outcome.report.exitStatus = outcome.status;
    return outcome;
  }
  TimedFileSystem& timed = parts->timed;
  DtkTest& tester = parts->tester;
  ReportRecorder& recorder = parts->recorder;

  // The status line reads the tester's counters until it goes.
  struct Attached {
    LiveStatus* status;
    int member;
    ~Attached() {
      if (status != nullptr) status->Attach(member, nullptr, nullptr, nullptr);
    }
  } attached{setup.liveStatus, group.member()};
  if (setup.liveStatus != nullptr) {
    setup.liveStatus->Attach(group.member(), &tester.created(), &tester.verified(),
                             &tester.removed());
  }

  auto runPhases = [&](const TreeRoot& root, PhaseHooks& hooks) {
    tester.set_direct(outcome.directBlockSize);
    return RunPhases(
        {commandLine, root, setup.plannedList, tester, reporting ? &recorder : nullptr}, hooks);
  };
  auto finished = [&](bool failed) {
    setup.console.Flush();
    outcome.status = failed ? kExitFailed : kExitOk;
    if (int signal = StopRequested(); signal != 0) outcome.status = kExitInterrupted + signal;
  };
  if (setup.alone) {
    PhaseHooks onItsOwn;
    finished(runPhases(setup.target, onItsOwn));
  } else {
    // A directory that cannot be made stops nothing here: the first file
    // in it fails instead, as in the create phase.
    TreeRoot memberRoot(environment.fileSystem, setup.target,
                        std::string(group.kind()) + "-" + std::to_string(group.member()),
                        !commandLine.noCreate);
    InStepHooks hooks(setup, tester, timed, memberRoot);
    if (int refused = group.Max(PrepareTarget(commandLine, memberRoot, environment.fileSystem,
                                              setup.console, setup.lockMemberDirectory))) {
      outcome.status = refused;
    } else if (int refused =
                   setup.directBlockSize != nullptr
                       ? 0
                       : group.Max(PrepareDirectIo(commandLine, memberRoot, environment.fileSystem,
                                                   setup.console, &outcome.directBlockSize))) {
      // The run does not start: the directory made for it goes again.
      if (!commandLine.noCreate) memberRoot.CloseAndRemove(setup.target, timed);
      outcome.status = refused;
    } else {
      bool failed = runPhases(memberRoot, hooks);
      // No member had anything to remove: the directory is empty.
      if (!commandLine.noRemove && !hooks.removePhaseRan()) {
        failed |= RemoveMemberDirectory(memberRoot, setup.target, timed, setup.console) < 0;
      }
      finished(failed);
    }
    outcome.wholePhases = std::move(hooks.wholePhases());
  }
  outcome.report.exitStatus = outcome.status;
  if (reporting) outcome.report.phases = std::move(recorder.phases());
  return outcome;
}

namespace {

// Gathers every member's own report on the lead, which writes the report
// of the whole run with the exit status `status`; returns that status,
// which a report that could not be written makes a failure on the lead.
int WriteGroupReport(RunGroup& group, const CommandLine& commandLine, const FileList* plannedList,
                     const MemberOutcome& outcome, int status, FileSystem& fileSystem,
                     Console& console) {
  const RankReport& mine = outcome.report;
  const std::vector<WholePhase>& wholePhases = outcome.wholePhases;
  // A member without the memory for its text is listed without figures.
  std::string text;
  try {
    if (*group.kind() != '\0') text = RankJson(mine);
  } catch (const std::bad_alloc&) {
  }
  std::vector<std::string> texts = group.GatherToLead(text);
  if (!group.isLead()) return status;
  RunReport report = StartRunReport(commandLine);
  // The lead's: every member works on the same file system.
  if (outcome.directBlockSize != 0) report.directBlockSize = outcome.directBlockSize;
  if (plannedList != nullptr) {
    PlanTotals totals = CountPlan(*plannedList);
    report.plan = ReportPlan{totals.files, totals.directories, totals.bytes};
  }
  // A member alone is the run.
  if (*group.kind() == '\0') {
    report.phases = mine.phases;
    return FinishRunReport(report, status, commandLine.reportPath, fileSystem, console);
  }
  try {
    std::vector<RankReport>& members =
        std::string_view(group.kind()) == "thread" ? report.threads : report.ranks;
    for (size_t k = 0; k < texts.size(); ++k) {
      std::optional<RankReport> member = ParseRankJson(texts[k]);
      if (!member || member->phases.size() != wholePhases.size()) {
        // Not a text this program wrote: the member is listed without figures.
        member = RankReport();
        member->rank = static_cast<int>(k);
        member->exitStatus = kExitFailed;
      }
      members.push_back(std::move(*member));
    }
    std::vector<RankReport> complete;
    for (const RankReport& member : members) {
      if (member.phases.size() == wholePhases.size()) complete.push_back(member);
    }
    for (size_t i = 0; i < wholePhases.size() && !complete.empty(); ++i) {
      PhaseReport phase = CombinePhases(complete, i);
      phase.start = wholePhases[i].start;
      phase.seconds = wholePhases[i].seconds;
      phase.operations = wholePhases[i].operations;
      report.phases.push_back(std::move(phase));
    }
  } catch (const std::bad_alloc&) {
    console.ErrorF("Report Error!: %s\n", SystemErrorText(OutOfMemoryError()));
    console.Flush();
    return status == kExitOk ? kExitFailed : status;
  }
  return FinishRunReport(report, status, commandLine.reportPath, fileSystem, console);
}

}  // namespace

int FinishGroupRun(RunGroup& group, const CommandLine& commandLine, const FileList* plannedList,
                   const MemberOutcome& mine, FileSystem& fileSystem, Console& console) {
  int status = group.Max(mine.status);
  if (commandLine.reportPath == nullptr) return status;
  return group.Max(
      WriteGroupReport(group, commandLine, plannedList, mine, status, fileSystem, console));
}

}  // namespace dtk
