// Reports of dtk and dtk-mpi runs read back for comparison: what a run was
// (its attributes: target, file system, platform, settings, ...) and what it
// measured (its figures), whatever settings, phases and kinds of call a
// report carries.
#ifndef DTK_REPORT_RUN_INPUT_H_
#define DTK_REPORT_RUN_INPUT_H_

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dtk::report {

// The figures compared: three for each phase, four for each kind of call.
enum class Figure { kSeconds, kEntriesPerSecond, kBytesPerSecond, kP50, kP99, kP999, kMax };

struct FigureInfo {
  const char* field;     // the report's name for it, also used in CSV
  const char* label;     // its name in the text table and the chart
  const char* unit;      // the unit of the report's value
  const char* baseUnit;  // the unit the text table scales with prefixes
  double toBase;         // a value times this is in baseUnit
};
const FigureInfo& Describe(Figure figure);

inline constexpr Figure kPhaseFigures[] = {Figure::kSeconds, Figure::kEntriesPerSecond,
                                           Figure::kBytesPerSecond};
inline constexpr Figure kOperationFigures[] = {Figure::kP50, Figure::kP99, Figure::kP999,
                                               Figure::kMax};

// Where a figure belongs: a phase's own figure (empty `operation`) or the
// latency of one kind of call in a phase.
struct FigureKey {
  std::string phase;
  std::string operation;
  Figure figure = Figure::kSeconds;
  auto operator<=>(const FigureKey&) const = default;
};

// One thing that tells runs apart, its value as text.
struct Attribute {
  std::string name;
  std::string value;
  bool setting = false;  // a key of the report's `settings`
};

// What a phase finished in one stretch of its time, as the report's
// `timeline` has it.
struct TimelineSample {
  double t = 0;        // seconds from the phase's start to the sample's end
  double seconds = 0;  // the sample's length
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t bytes = 0;
  double maxMicros = 0;  // the slowest call that ended in it; 0: none
};

struct PhaseOutcome {
  std::string name;
  std::string status;  // "ok", "failed", "interrupted", ...
  uint64_t crcErrors = 0;
  // In the report's order; none in reports of versions without timelines.
  std::vector<TimelineSample> timeline;
};

struct RunInput {
  std::string file;  // as named on the command line
  // target, file system, platform, version and processes, then every
  // setting in the report's order.
  std::vector<Attribute> attributes;
  // Whether the report has a fileSystem field; null is one (unknown).
  bool hasFileSystem = true;
  // The machines of a run of dtk-mpi (its ranks' hosts, each once, sorted,
  // joined by ","); none for a run of dtk, whose report names no machine.
  std::optional<std::string> host;
  int64_t exitStatus = 0;
  std::vector<PhaseOutcome> phases;  // in the order they ran
  std::map<FigureKey, double> figures;

  // Exit status 0 and every phase "ok".
  bool Succeeded() const;
  // "ok", or what went wrong: "failed: exit 2, create failed".
  std::string Status() const;
};

// Reads a report from `text`. Returns nothing when it is not JSON, not a
// report of dtk, or of a major version other than 1; `*error` then says
// why, with the position in the text where the JSON parser stopped.
// Missing phases, operations and figures are simply absent; a value of the
// wrong type is an error, and so are a count that is not a whole number
// that its type holds (a timeline's files, directories and bytes too), a
// figure or a timeline's time below 0, a text nested deeper than 64
// levels and a lack of memory. Nothing it is given ends the process.
std::optional<RunInput> ParseRun(std::string_view text, std::string* error);

// ParseRun on the contents of the file `path`, which becomes the run's
// `file`; a file that cannot be read, or is longer than 256 MiB (only
// that much and a byte more is read), is an error too.
std::optional<RunInput> LoadRun(const std::string& path, std::string* error);

}  // namespace dtk::report

#endif  // DTK_REPORT_RUN_INPUT_H_
