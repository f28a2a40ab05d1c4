// The report of a run for scripts: what ran, on what, with which settings,
// and for each phase its precise time, counts, latency per kind of call,
// failures and CRC mismatches. Written as one JSON object.
#ifndef DTK_REPORTING_RUN_REPORT_H_
#define DTK_REPORTING_RUN_REPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "support/latency_histogram.h"

namespace dtk {

// One kind of call in one phase; times in microseconds unless named
// otherwise.
struct LatencySummary {
  std::string name;  // "mkdir", "opendir", "open", "write", "read", "flush", "close", ...
  uint64_t count = 0;
  double seconds = 0;  // all calls together
  double meanMicros = 0;
  double minMicros = 0;
  double maxMicros = 0;
  double p50Micros = 0;
  double p90Micros = 0;
  double p99Micros = 0;
  double p999Micros = 0;
};
LatencySummary SummarizeLatencies(std::string name, const LatencyHistogram& histogram);

struct FailureEntry {
  std::string operation;
  std::string path;  // bytes as the system took them
  ErrorCode code = 0;
  std::string message;  // SystemErrorText(code)
};

// What a phase finished in one stretch of its time: a sample of its
// timeline.
struct TimelineSample {
  double t = 0;        // seconds from the phase's start to the end of the sample
  double seconds = 0;  // the sample's length
  uint64_t files = 0;
  uint64_t directories = 0;  // 0 in the verify phase
  int64_t bytes = 0;
  double maxMicros = 0;  // the slowest call that ended in the sample; 0: none
};

// The most samples a timeline keeps: past it, neighbouring samples merge
// two by two and the samples to come are twice as long.
constexpr size_t kMaxTimelineSamples = 10000;
// Adds `sample` to `timeline`, merging neighbours once it is full; true when
// they merged.
bool AddSample(std::vector<TimelineSample>& timeline, const TimelineSample& sample);

struct CrcMismatchEntry {
  std::string path;
  uint32_t expected = 0;
  uint32_t actual = 0;
};

struct PhaseReport {
  std::string name;    // "create", "verify", "remove"
  std::string status;  // "ok", "failed", "interrupted"
  std::string start;   // ISO 8601 local time with milliseconds and offset
  double seconds = 0;  // steady clock
  uint64_t files = 0;
  uint64_t directoriesOrErrors = 0;  // directories (create, remove) or CRC errors (verify)
  int64_t bytes = 0;
  std::vector<LatencySummary> operations;  // kinds with at least one call
  std::vector<FailureEntry> failures;
  uint64_t failuresNotListed = 0;
  std::vector<CrcMismatchEntry> crcMismatches;
  uint64_t crcMismatchesNotListed = 0;
  std::vector<TimelineSample> timeline;  // none where no timeline was kept

  bool IsVerify() const { return name == "verify"; }
};

struct ReportSettings {
  int64_t totalSize = 0;
  int64_t minFileSize = 0;
  int64_t maxFileSize = 0;
  uint32_t maxDirFiles = 0;
  uint32_t maxDirLevel = 0;
  bool verify = false;
  bool noCreate = false;
  bool noRemove = false;
  bool sync = false;
  std::string engine = "sync";  // how the files' calls were made
  uint32_t depth = 0;           // files in flight at once with the uring engine
  int32_t threads = 1;
  bool direct = false;
};

struct ReportPlan {
  uint64_t files = 0;
  uint64_t directories = 0;
  int64_t bytes = 0;
};

// One of many processes (dtk-mpi) or threads (dtk -threads N) that ran the
// phases in step, with its own figures.
struct RankReport {
  int rank = 0;        // the process's rank, or the thread's number
  std::string host;    // where a process ran
  int exitStatus = 0;  // its own, before the processes agreed on one
  std::vector<PhaseReport> phases;
};

struct RunReport {
  std::string version;
  std::string platform;
  std::string target;                     // as given
  std::optional<std::string> fileSystem;  // none where the system does not tell
  ReportSettings settings;
  std::optional<uint32_t> directBlockSize;  // of unbuffered transfers; none without -direct
  std::optional<ReportPlan> plan;           // none when no plan could be made
  std::vector<PhaseReport> phases;          // of all processes together when there are ranks
  std::vector<RankReport> ranks;            // none for a run of one process; then not written
  std::vector<RankReport> threads;          // none for a run of one thread; then not written
  int exitStatus = 0;
};

// The report as JSON text, indented, ending in a line break.
std::string ReportJson(const RunReport& report);

// One rank as JSON text, and that text read back. A path or message that
// was not valid UTF-8 comes back as ValidUtf8Text made it.
std::string RankJson(const RankReport& rank);
std::optional<RankReport> ParseRankJson(std::string_view text);

// The phase `index` of every rank (or thread) in `ranks` taken together: counts and
// bytes added, the worst status ("failed", then "interrupted", then "ok"),
// and the failures and CRC mismatches of every rank in rank order, the first
// 1000 of each listed and the rest counted; the timelines added sample by
// sample (the k-th samples of all ranks cover the same time since the
// phase's start, which they share), the slowest call of each sample the
// slowest of any. Name, start and seconds are those of the first rank;
// there are no operations, which come from the ranks' latency histograms
// added together. Every rank must have the phase.
PhaseReport CombinePhases(const std::vector<RankReport>& ranks, size_t index);

// `bytes` as text that is valid UTF-8: every well-formed UTF-8 sequence is
// kept, and every other byte becomes the four characters \xNN (upper-case
// hexadecimal).
std::string ValidUtf8Text(std::string_view bytes);

}  // namespace dtk

#endif  // DTK_REPORTING_RUN_REPORT_H_
