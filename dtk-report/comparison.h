// The comparison of runs as a table, before any formatting: runs of the
// same kind grouped into columns, what tells the columns apart, and for each
// figure the median and spread of every column.
#ifndef DTK_REPORT_COMPARISON_H_
#define DTK_REPORT_COMPARISON_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "dtk-report/run_input.h"

namespace dtk::report {

// A figure over the runs of a column that have it.
struct Spread {
  double median = 0;  // of an even count, the mean of the middle two
  double min = 0;
  double max = 0;
  size_t count = 0;
};
// `values` must not be empty.
Spread Summarize(std::vector<double> values);

struct Column {
  std::vector<std::string> files;   // its reports, in the order given
  std::vector<std::string> values;  // one for each of Comparison::differing
  std::string status;               // "ok", or the failed run's RunInput::Status()
  std::string label;                // the values as one line, for legends and CSV
  bool succeeded = true;
};

struct Cell {
  std::optional<Spread> spread;  // none where the column's runs lack the figure
  // The phase's status in the column: "ok" for a group of good runs.
  std::string phaseStatus;
};

struct Row {
  FigureKey key;
  std::vector<Cell> cells;  // one for each column
};

struct Comparison {
  size_t runCount = 0;
  std::vector<Attribute> shared;       // the same in every run
  std::vector<std::string> differing;  // attribute names whose values differ
  std::vector<Column> columns;
  // Phases in the order create, verify, remove, then others by name; in
  // each, its own figures, then each kind of call in the order the engine
  // makes them.
  std::vector<Row> rows;
};

// Phases in the order they run, create, verify, remove, then others by
// name: the order of the rows, and of the chart's timelines.
bool PhaseBefore(const std::string& a, const std::string& b);

// What runs may be grouped by (--group-by): the target, the file system,
// the engine setting, every setting, or the machines of a run of dtk-mpi.
enum class GroupKey { kTarget, kFileSystem, kEngine, kSettings, kHost };

// Reads a comma-separated list of keys ("fileSystem,settings"). Returns
// nothing when a key is unknown, with `*unknown` set to it.
std::optional<std::vector<GroupKey>> ParseGroupKeys(const std::string& text, std::string* unknown);

// The name of the first of `keys` that `run` has no value for ("host" for
// a run of dtk, "engine" for a report without that setting), or "".
std::string MissingGroupKey(const RunInput& run, const std::vector<GroupKey>& keys);

// Groups `runs` (at least one) into columns, in the order their first
// reports were given. Good runs with the same attributes (every setting
// key and value, whatever keys appear) form one column; with `groupKeys`,
// good runs alike in what those keys name, which every run must have. A run
// that failed has a column of its own. A column whose runs differ in an
// attribute that tells columns apart reads "(N values)" for it.
Comparison Compare(const std::vector<RunInput>& runs, const std::vector<GroupKey>& groupKeys = {});

}  // namespace dtk::report

#endif  // DTK_REPORT_COMPARISON_H_
