#include "reporting/report_recorder.h"

#include "reporting/format.h"

namespace dtk {

void ReportRecorder::BeginPhase(const char* name, const PhaseCounters& counters) {
  timed_.Clear();
  PhaseReport phase;
  phase.name = name;
  auto now = std::chrono::system_clock::now();
  phase.start = FormatIsoLocalTime(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
  phases_.push_back(std::move(phase));
  inPhase_ = true;
  start_ = std::chrono::steady_clock::now();
  if (sampler_ != nullptr) {
    sampler_->BeginPhase(member_, counters, phases_.back().IsVerify(), timed_);
  }
}

void ReportRecorder::EndTimeline() {
  if (sampler_ != nullptr && !phases_.empty())
    phases_.back().timeline = sampler_->EndPhase(member_);
}

void ReportRecorder::EndPhase(int result, const PhaseCounters& counters, bool stopRequested) {
  auto elapsed = std::chrono::steady_clock::now() - start_;
  inPhase_ = false;
  PhaseReport& phase = phases_.back();
  phase.seconds = std::chrono::duration<double>(elapsed).count();
  phase.status = result == 0 ? "ok" : stopRequested ? "interrupted" : "failed";
  phase.files = counters.files;
  phase.directoriesOrErrors = counters.directoriesOrErrors;
  phase.bytes = counters.bytes;
  for (int k = 0; k < kOperationCount; ++k) {
    Operation operation = static_cast<Operation>(k);
    const LatencyHistogram& latencies = timed_.latencies(operation);
    if (latencies.count() > 0) {
      phase.operations.push_back(SummarizeLatencies(OperationName(operation), latencies));
    }
  }
  for (const TimedFileSystem::Failure& failure : timed_.failures()) {
    phase.failures.push_back({OperationName(failure.operation), failure.path, failure.code,
                              SystemErrorText(failure.code)});
  }
  phase.failuresNotListed = timed_.failuresNotListed();
}

void ReportRecorder::OnCrcMismatch(const char* path, uint32_t expected, uint32_t actual) {
  if (!inPhase_) return;
  PhaseReport& phase = phases_.back();
  if (phase.crcMismatches.size() < kMaxListedMismatches) {
    phase.crcMismatches.push_back({path, expected, actual});
  } else {
    ++phase.crcMismatchesNotListed;
  }
}

}  // namespace dtk
