// dtk-report: compares the JSON reports of dtk and dtk-mpi runs in one
// table (text or CSV) and, on request, a chart drawn by gnuplot.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "dtk-report/chart.h"
#include "dtk-report/comparison.h"
#include "dtk-report/run_input.h"
#include "dtk-report/safe_text.h"
#include "dtk-report/table_writers.h"
#include "platform/process.h"

namespace {

constexpr const char* kUsage =
    "usage: dtk-report [--csv [--timeline]] [--chart FILE.svg|FILE.png] [--group-by KEYS] "
    "FILE.json...\n";

// What --help prints after the usage line: each option, its value and
// its default.
constexpr const char* kOptionHelp =
    "Compares the JSON reports of runs of dtk and dtk-mpi in one table.\n"
    "  --csv             print the table as CSV (default: as text)\n"
    "  --timeline        with --csv: print the samples of the timelines instead\n"
    "  --chart FILE      also draw a chart into FILE.svg or FILE.png (none)\n"
    "  --group-by KEYS   group runs by KEYS, e.g. fileSystem,settings (default: all)\n"
    "  --help, -h        print this help\n"
    "  --version         print the version\n"
    "  --                the words after it are reports\n"
    "KEYS: target, fileSystem, engine, settings, host (the machines of dtk-mpi).\n"
    "See man dtk-report.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "dtk-report: %s\n%s", dtk::report::Escaped(message).c_str(), kUsage);
  return 1;
}

// Writes `text` to standard output and closes it, so that a write that
// failed in the stream's buffer or at its close (a full disk) is seen too.
int WriteOutput(const std::string& text) {
  bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  int code = errno;
  if (written && std::fclose(stdout) == 0) return 0;
  // fclose may have failed for a reason of its own.
  if (written) code = errno;
  std::fprintf(stderr, "dtk-report: standard output: %s\n", std::strerror(code));
  return 1;
}

// The status of a run that a signal asked to stop, as a shell reports one
// that the signal ended.
int Stopped(int signal) { return 128 + signal; }

int Run(int argc, char** argv) {
  using namespace dtk::report;
  bool csv = false;
  bool timeline = false;
  std::optional<std::string> chart;
  std::vector<GroupKey> keys;  // none: by every attribute
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (optionsEnded || word.empty() || word[0] != '-' || word == "-") {
      files.push_back(word);
    } else if (word == "--") {
      optionsEnded = true;
    } else if (word == "--help" || word == "-h") {
      return WriteOutput(std::string(kUsage) + kOptionHelp);
    } else if (word == "--version") {
      return WriteOutput("dtk-report " DTK_VERSION "\n");
    } else if (word == "--csv") {
      csv = true;
    } else if (word == "--timeline") {
      timeline = true;
    } else if (word == "--chart") {
      if (i + 1 == argc) return UsageError("--chart needs a file name");
      chart = argv[++i];
    } else if (word == "--group-by") {
      if (i + 1 == argc) return UsageError("--group-by needs keys");
      std::string unknown;
      std::optional<std::vector<GroupKey>> parsed = ParseGroupKeys(argv[++i], &unknown);
      if (!parsed) {
        return UsageError("--group-by: no key is named \"" + unknown +
                          "\" (target, fileSystem, engine, settings, host)");
      }
      keys = std::move(*parsed);
    } else {
      return UsageError("unknown option " + word);
    }
  }
  if (files.empty()) return UsageError("no report given");
  // Samples over time have no place in the text table's columns.
  if (timeline && !csv) return UsageError("--timeline goes with --csv");
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
    if (run) {
      std::string missing = MissingGroupKey(*run, keys);
      if (!missing.empty()) error = "no " + missing + " to group by";
    }
    if (!run || !error.empty()) {
      std::fprintf(stderr, "dtk-report: %s: %s\n", Escaped(file).c_str(), Escaped(error).c_str());
      return 1;
    }
    runs.push_back(std::move(*run));
  }
  Comparison comparison = Compare(runs, keys);

  // The chart first, so that a missing gnuplot fails the run before the
  // table is printed.
  if (chart) {
    if (int signal = dtk::StopRequested()) return Stopped(signal);
    std::string error = DrawChart(comparison, runs, *chart, *format);
    if (int signal = dtk::StopRequested()) return Stopped(signal);
    if (!error.empty()) {
      std::fprintf(stderr, "dtk-report: %s\n", error.c_str());
      return 1;
    }
  }
  std::string table = timeline ? TimelineCsv(runs)
                      : csv    ? CsvTable(comparison)
                               : TextTable(comparison);
  if (int signal = dtk::StopRequested()) return Stopped(signal);
  return WriteOutput(table);
}

}  // namespace

int main(int argc, char** argv) {
  // A stop only sets a flag, so that gnuplot is ended and the temporary
  // directory removed; a closed pipe is an error of the write.
  dtk::InstallStopHandlers();
  int status;
  // What a report costs is checked as it is read; memory can still run
  // out anywhere, and that too ends with a line rather than a signal.
  try {
    status = Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("dtk-report: out of memory\n", stderr);
    status = 1;
  }
  dtk::RestoreStandardStreams();
  return status;
}
