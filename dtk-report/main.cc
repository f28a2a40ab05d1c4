// dtk-report: compares the JSON reports of dtk and dtk-mpi runs in one
// table (text or CSV) and, on request, a chart drawn by gnuplot.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dtk-report/chart.h"
#include "dtk-report/comparison.h"
#include "dtk-report/run_input.h"
#include "dtk-report/table_writers.h"

namespace {

constexpr const char* kUsage =
    "usage: dtk-report [--csv] [--chart FILE.svg|FILE.png] FILE.json...\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "dtk-report: %s\n%s", message.c_str(), kUsage);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dtk::report;
  bool csv = false;
  std::optional<std::string> chart;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (optionsEnded || word.empty() || word[0] != '-' || word == "-") {
      files.push_back(word);
    } else if (word == "--") {
      optionsEnded = true;
    } else if (word == "--help" || word == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (word == "--csv") {
      csv = true;
    } else if (word == "--chart") {
      if (i + 1 == argc) return UsageError("--chart needs a file name");
      chart = argv[++i];
    } else {
      return UsageError("unknown option " + word);
    }
  }
  if (files.empty()) return UsageError("no report given");
  std::optional<ChartFormat> format;
  if (chart) {
    format = ChartFormatFor(*chart);
    if (!format) return UsageError(*chart + ": a chart's name ends in .svg or .png");
  }

  // Every report is read before anything is written: one bad file leaves
  // no table and no chart behind.
  std::vector<RunInput> runs;
  for (const std::string& file : files) {
    std::string error;
    std::optional<RunInput> run = LoadRun(file, &error);
    if (!run) {
      std::fprintf(stderr, "dtk-report: %s: %s\n", file.c_str(), error.c_str());
      return 1;
    }
    runs.push_back(std::move(*run));
  }
  Comparison comparison = Compare(runs);

  // The chart first, so that a missing gnuplot fails the run before the
  // table is printed.
  if (chart) {
    std::string error = DrawChart(comparison, *chart, *format);
    if (!error.empty()) {
      std::fprintf(stderr, "dtk-report: %s\n", error.c_str());
      return 1;
    }
  }
  std::string table = csv ? CsvTable(comparison) : TextTable(comparison);
  std::fwrite(table.data(), 1, table.size(), stdout);
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "dtk-report: standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
