// The comparison as a chart, drawn by gnuplot: bytes and entries per second
// of each phase as bars for each column (with min-max whiskers for groups),
// the latency percentiles of each kind of call as a line for each column,
// and, for runs whose reports have timelines, the entries and bytes per
// second of each phase over time as a line for each run.
#ifndef DTK_REPORT_CHART_H_
#define DTK_REPORT_CHART_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dtk-report/comparison.h"

namespace dtk::report {

enum class ChartFormat { kSvg, kPng };

// The format named by the extension of `path` (".svg", ".png", in any letter
// case); nothing for any other name.
std::optional<ChartFormat> ChartFormatFor(const std::string& path);

// What gnuplot is given: a script that reads its data files from, and writes
// the chart as "chart.svg" or "chart.png" into, the directory `directory`
// (empty: the one gnuplot runs in, so that no path is in the script). No
// text of a report is a command: every label from one is a string of the
// script or of a data file with its control characters escaped, and the
// figures are in the data files.
struct GnuplotInput {
  std::string script;
  std::vector<std::pair<std::string, std::string>> dataFiles;  // name in `directory`, contents
  std::string chartName;
};
GnuplotInput MakeGnuplotInput(const Comparison& comparison, const std::vector<RunInput>& runs,
                              ChartFormat format, const std::string& directory);

// Draws the chart of `comparison` and the timelines of `runs`, the runs
// compared, into the file `path`, in the format its extension names, by
// running gnuplot (found on the PATH) on a script and data files in a
// fresh temporary directory, which is removed afterwards.
// Returns an empty text, or why there is no chart: gnuplot missing (with
// the package to install) or failing (with what it said), the file not
// writable, or a stop requested (StopRequested), which ends gnuplot. The
// finished chart is written to `path` by WriteOutputFile, never through a
// link that another user put there.
std::string DrawChart(const Comparison& comparison, const std::vector<RunInput>& runs,
                      const std::string& path, ChartFormat format);

}  // namespace dtk::report

#endif  // DTK_REPORT_CHART_H_
