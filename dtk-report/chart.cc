#include "dtk-report/chart.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "dtk-report/gnuplot.h"
#include "dtk-report/safe_text.h"
#include "dtk-report/units.h"
#include "platform/file_system.h"
#include "platform/output_file.h"
#include "platform/process.h"

namespace dtk::report {
namespace {

namespace fs = std::filesystem;

// The canvas in pixels: a band for the title, the legend below it, a row
// of bar charts, rows of latency charts, and with timelines a legend of
// the runs and a row for each phase.
constexpr int kWidth = 1200;
constexpr int kTitleHeight = 70;
constexpr int kBarsHeight = 380;
constexpr int kLatencyHeight = 300;
constexpr int kLatencyPerRow = 3;
constexpr int kTimelineHeight = 280;
constexpr int kLegendLineHeight = 22;
constexpr int kLegendPerLine = 2;

// A gnuplot string of `text`, which may come from a report, that gnuplot
// reads only as text: between single quotes only a doubled quote is
// special (no backquote command, no macro, paths with backslashes as they
// are), and a line end, which would end the string and start a command,
// is shown escaped as every control character is.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : Escaped(text)) {
    if (c == '\'') quoted += '\'';
    quoted += c;
  }
  return quoted + "'";
}

// A label as the first column of a data file, between double quotes, where
// gnuplot reads a backslash as an escape: a '"' cannot end it, as none is
// left, and no backslash can take the closing quote.
std::string DataLabel(const std::string& text) {
  std::string label = "\"";
  for (char c : Escaped(text)) {
    if (c == '\\') label += '\\';
    label += c == '"' ? '\'' : c;
  }
  return label + "\"";
}

// One chart of the canvas and the data file it plots.
struct Panel {
  std::string title;
  std::string xLabel;
  std::string yLabel;
  std::string dataName;
  std::string data;
  bool bars = false;  // otherwise latency lines on a logarithmic axis
};

// A cell as "median min max" divided by `divisor`, or three NaN where it has
// nothing to draw: no figure, a phase that did not end "ok" (for phase
// figures), or a latency of 0, which a logarithmic axis cannot show.
std::string CellData(const Cell& cell, double divisor, bool phaseFigure, bool* any) {
  bool usable = cell.spread && (phaseFigure ? cell.phaseStatus == "ok" : cell.spread->min > 0);
  if (!usable) return " NaN NaN NaN";
  *any = true;
  return " " + ExactNumber(cell.spread->median / divisor) + " " +
         ExactNumber(cell.spread->min / divisor) + " " + ExactNumber(cell.spread->max / divisor);
}

// Bars of one phase figure for every phase that has it; nothing when no
// column has a figure to draw.
std::optional<Panel> BarPanel(const Comparison& comparison, Figure figure, const std::string& title,
                              const std::string& quantity, const std::string& dataName) {
  const FigureInfo& info = Describe(figure);
  double largest = 0;
  for (const Row& row : comparison.rows) {
    if (row.key.figure != figure || !row.key.operation.empty()) continue;
    for (const Cell& cell : row.cells) {
      if (cell.spread) largest = std::max(largest, cell.spread->max);
    }
  }
  DisplayUnit unit = ChooseUnit(largest, info.baseUnit);
  Panel panel{title, "phase", quantity + " [" + unit.name + "]", dataName, "", true};
  bool any = false;
  for (const Row& row : comparison.rows) {
    if (row.key.figure != figure || !row.key.operation.empty()) continue;
    panel.data += DataLabel(row.key.phase);
    for (const Cell& cell : row.cells) panel.data += CellData(cell, unit.divisor, true, &any);
    panel.data += "\n";
  }
  if (!any) return std::nullopt;
  return panel;
}

// The percentiles p50, p99 and p99.9 of each kind of call in each phase,
// one chart each, in microseconds.
std::vector<Panel> LatencyPanels(const Comparison& comparison) {
  std::vector<Panel> panels;
  for (const Row& row : comparison.rows) {
    if (row.key.operation.empty() || row.key.figure != Figure::kP50) continue;
    Panel panel{row.key.phase + ": " + row.key.operation,
                "percentile",
                "latency [µs]",
                "latency-" + std::to_string(panels.size() + 1) + ".dat",
                "",
                false};
    bool any = false;
    for (Figure figure : {Figure::kP50, Figure::kP99, Figure::kP999}) {
      auto percentile =
          std::find_if(comparison.rows.begin(), comparison.rows.end(), [&](const Row& r) {
            return r.key.phase == row.key.phase && r.key.operation == row.key.operation &&
                   r.key.figure == figure;
          });
      // A line for every percentile, so that line k is at x = k.
      panel.data += DataLabel(Describe(figure).label);
      for (size_t c = 0; c < comparison.columns.size(); ++c) {
        panel.data += percentile == comparison.rows.end()
                          ? " NaN NaN NaN"
                          : CellData(percentile->cells[c], 1, false, &any);
      }
      panel.data += "\n";
    }
    if (any) panels.push_back(std::move(panel));
  }
  return panels;
}

// The timelines of one phase, drawn as two charts side by side: the
// entries and the bytes per second of each run over time.
struct PhaseTimelines {
  std::string phase;
  std::string dataName;
  // A block for each timeline drawn (gnuplot's `index`), blocks apart by
  // two empty lines: each sample's start and end with its entries and
  // bytes per second, so that a sample is a level over the time it spans
  // and a phase shorter than one sample still shows.
  std::string data;
  std::vector<size_t> blockRuns;  // the run of each block, whose colour it has
  DisplayUnit entriesUnit;
  DisplayUnit bytesUnit;
};

// A sample's entries (files and directories; files for verify) and bytes
// per second; nothing for a sample without length, whose rate is no
// number, or one so short that its rate is beyond a double.
std::optional<std::pair<double, double>> Rates(const std::string& phase,
                                               const TimelineSample& sample) {
  if (!(sample.seconds > 0)) return std::nullopt;
  double entries = static_cast<double>(sample.files) +
                   (phase == "verify" ? 0 : static_cast<double>(sample.directories));
  std::pair<double, double> rates{entries / sample.seconds,
                                  static_cast<double>(sample.bytes) / sample.seconds};
  if (!std::isfinite(rates.first) || !std::isfinite(rates.second)) return std::nullopt;
  return rates;
}

// The timelines of `runs` by phase, in the order of the table's rows;
// only phases with a sample to draw.
std::vector<PhaseTimelines> Timelines(const std::vector<RunInput>& runs) {
  using Timeline = std::pair<size_t, const std::vector<TimelineSample>*>;  // run, samples
  std::map<std::string, std::vector<Timeline>, decltype(&PhaseBefore)> byPhase(&PhaseBefore);
  for (size_t r = 0; r < runs.size(); ++r) {
    for (const PhaseOutcome& phase : runs[r].phases) {
      if (!phase.timeline.empty()) byPhase[phase.name].push_back({r, &phase.timeline});
    }
  }
  std::vector<PhaseTimelines> all;
  for (const auto& [name, timelines] : byPhase) {
    double mostEntries = 0, mostBytes = 0;
    for (const Timeline& timeline : timelines) {
      for (const TimelineSample& sample : *timeline.second) {
        if (auto rates = Rates(name, sample)) {
          mostEntries = std::max(mostEntries, rates->first);
          mostBytes = std::max(mostBytes, rates->second);
        }
      }
    }
    PhaseTimelines phase{name,
                         "timeline-" + std::to_string(all.size() + 1) + ".dat",
                         "",
                         {},
                         ChooseUnit(mostEntries, "/s"),
                         ChooseUnit(mostBytes, "B/s")};
    for (const auto& [run, samples] : timelines) {
      std::string block;
      for (const TimelineSample& sample : *samples) {
        auto rates = Rates(name, sample);
        if (!rates) continue;
        std::string values = " " + ExactNumber(rates->first / phase.entriesUnit.divisor) + " " +
                             ExactNumber(rates->second / phase.bytesUnit.divisor) + "\n";
        block += ExactNumber(sample.t - sample.seconds) + values + ExactNumber(sample.t) + values;
      }
      if (block.empty()) continue;
      phase.data += (phase.blockRuns.empty() ? "" : "\n\n") + block;
      phase.blockRuns.push_back(run);
    }
    if (!phase.blockRuns.empty()) all.push_back(std::move(phase));
  }
  return all;
}

// The plot command of one chart of a phase's timelines: the data file's
// `column` of each block, in its run's colour.
std::string TimelinePlot(const PhaseTimelines& timelines, const std::string& dataPath, int column) {
  std::string plot = "plot ";
  for (size_t b = 0; b < timelines.blockRuns.size(); ++b) {
    plot += (b == 0 ? Quoted(dataPath) : "''") + " index " + std::to_string(b) +
            " using 1:" + std::to_string(column) + " with lines lw 1.5 lc " +
            std::to_string(timelines.blockRuns[b] + 1) + " notitle";
    plot += b + 1 < timelines.blockRuns.size() ? ", " : "\n";
  }
  return plot;
}

// The plot command of a panel: one series for each column, in the column's
// colour everywhere.
std::string PlotCommand(const Panel& panel, const std::string& dataPath, size_t columns) {
  std::string plot = "plot ";
  for (size_t c = 0; c < columns; ++c) {
    std::string first = std::to_string(2 + 3 * c);
    std::string low = std::to_string(3 + 3 * c);
    std::string high = std::to_string(4 + 3 * c);
    plot += c == 0 ? Quoted(dataPath) : "''";
    if (panel.bars) {
      plot += " using " + first + ":" + low + ":" + high + ":xtic(1)";
    } else {
      // Each column a little apart, so that the whiskers do not cover
      // each other.
      double step = std::min(0.08, 0.6 / static_cast<double>(columns));
      double offset = (static_cast<double>(c) - static_cast<double>(columns - 1) / 2) * step;
      plot += " using ($0+" + ExactNumber(offset) + "):" + first + ":" + low + ":" + high +
              " with yerrorlines pt 7";
    }
    plot += " lc " + std::to_string(c + 1) + " notitle";
    plot += c + 1 < columns ? ", " : "\n";
  }
  return plot;
}

std::string Fraction(int pixels, int total) {
  return ExactNumber(static_cast<double>(pixels) / total);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  return (fs::path(directory) / name).string();
}

}  // namespace

std::optional<ChartFormat> ChartFormatFor(const std::string& path) {
  std::string extension = fs::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == ".svg") return ChartFormat::kSvg;
  if (extension == ".png") return ChartFormat::kPng;
  return std::nullopt;
}

GnuplotInput MakeGnuplotInput(const Comparison& comparison, const std::vector<RunInput>& runs,
                              ChartFormat format, const std::string& directory) {
  std::vector<Panel> bars;
  if (auto panel = BarPanel(comparison, Figure::kBytesPerSecond, "Bytes per second by phase",
                            "bytes per second", "bytes.dat")) {
    bars.push_back(std::move(*panel));
  }
  if (auto panel = BarPanel(comparison, Figure::kEntriesPerSecond, "Entries per second by phase",
                            "files and directories per second", "entries.dat")) {
    bars.push_back(std::move(*panel));
  }
  std::vector<Panel> latencies = LatencyPanels(comparison);
  std::vector<PhaseTimelines> timelines = Timelines(runs);
  std::set<size_t> timelineRuns;
  for (const PhaseTimelines& phase : timelines) {
    timelineRuns.insert(phase.blockRuns.begin(), phase.blockRuns.end());
  }
  size_t columns = comparison.columns.size();

  auto legendHeightFor = [](size_t entries) {
    return 20 +
           kLegendLineHeight * static_cast<int>((entries + kLegendPerLine - 1) / kLegendPerLine);
  };
  int barsHeight = bars.empty() ? 0 : kBarsHeight;
  int latencyRows = static_cast<int>((latencies.size() + kLatencyPerRow - 1) / kLatencyPerRow);
  int legendHeight = legendHeightFor(columns);
  // The runs' legend has a line of its own for its title.
  int runLegendHeight =
      timelines.empty() ? 0 : kLegendLineHeight + legendHeightFor(timelineRuns.size());
  int timelinesHeight = runLegendHeight + kTimelineHeight * static_cast<int>(timelines.size());
  int height =
      kTitleHeight + barsHeight + kLatencyHeight * latencyRows + legendHeight + timelinesHeight;

  GnuplotInput input;
  input.chartName = format == ChartFormat::kSvg ? "chart.svg" : "chart.png";
  std::string& script = input.script;
  std::string size = std::to_string(kWidth) + "," + std::to_string(height);
  script += "set encoding utf8\n";
  if (format == ChartFormat::kSvg) {
    script += "set terminal svg size " + size + " dynamic font 'sans,11' noenhanced" +
              " background '#ffffff'\n";
  } else {
    script += "set terminal pngcairo size " + size + " font 'sans,10' noenhanced" +
              " background '#ffffff'\n";
  }
  script += "set output " + Quoted(JoinPath(directory, input.chartName)) + "\n";
  script += "set datafile missing NaN\n";

  std::string shared;
  for (const Attribute& attribute : comparison.shared) {
    if (!attribute.setting) {
      shared += (shared.empty() ? "" : ", ") + attribute.name + " " + attribute.value;
    }
  }
  std::string title = "dtk-report: " + std::to_string(comparison.runCount) + " runs in " +
                      std::to_string(columns) + (columns == 1 ? " column" : " columns");
  script += "set multiplot title " + Quoted(title) + (shared.empty() ? "" : " . \"\\n\" . ") +
            (shared.empty() ? "" : Quoted(shared)) + "\n";
  script += "unset key\nset grid ytics\n";

  // Positions count from the bottom of the canvas.
  int top = height - kTitleHeight - legendHeight;
  auto place = [&](int x, int y, int width, int panelHeight) {
    script += "set origin " + Fraction(x, kWidth) + "," + Fraction(y, height) + "\n";
    script += "set size " + Fraction(width, kWidth) + "," + Fraction(panelHeight, height) + "\n";
  };
  auto describe = [&](const Panel& panel) {
    script += "set title " + Quoted(panel.title) + "\n";
    script += "set xlabel " + Quoted(panel.xLabel) + "\n";
    script += "set ylabel " + Quoted(panel.yLabel) + "\n";
    input.dataFiles.push_back({panel.dataName, panel.data});
    script += PlotCommand(panel, JoinPath(directory, panel.dataName), columns);
  };
  if (!bars.empty()) {
    script += "set style data histogram\n";
    script += "set style histogram errorbars gap 2 lw 1\n";
    script += "set style fill solid 0.8 border -1\n";
    script += "set yrange [0:*]\n";
    for (size_t i = 0; i < bars.size(); ++i) {
      place(static_cast<int>(i) * kWidth / 2, top - kBarsHeight, kWidth / 2, kBarsHeight);
      describe(bars[i]);
    }
    top -= kBarsHeight;
  }
  if (!latencies.empty()) {
    script += "set logscale y\nset yrange [*:*]\nset xrange [-0.4:2.4]\n";
    script += "set xtics ('p50' 0, 'p99' 1, 'p99.9' 2)\n";
    for (size_t i = 0; i < latencies.size(); ++i) {
      int row = static_cast<int>(i) / kLatencyPerRow;
      int slot = static_cast<int>(i) % kLatencyPerRow;
      place(slot * kWidth / kLatencyPerRow, top - (row + 1) * kLatencyHeight,
            kWidth / kLatencyPerRow, kLatencyHeight);
      describe(latencies[i]);
    }
    top -= kLatencyHeight * latencyRows;
  }
  if (!timelines.empty()) {
    script += "unset logscale y\nset xrange [*:*]\nset yrange [0:*]\nset xtics autofreq\n";
    // Room above the highest level, which would otherwise run along the
    // border.
    script += "set grid xtics ytics\nset offsets 0, 0, graph 0.05, 0\nset xlabel 't [s]'\n";
    top -= runLegendHeight;
    for (size_t i = 0; i < timelines.size(); ++i) {
      const PhaseTimelines& phase = timelines[i];
      input.dataFiles.push_back({phase.dataName, phase.data});
      std::string dataPath = JoinPath(directory, phase.dataName);
      int y = top - static_cast<int>(i + 1) * kTimelineHeight;
      place(0, y, kWidth / 2, kTimelineHeight);
      script += "set title " + Quoted(phase.phase + ": entries per second over time") + "\n";
      script +=
          "set ylabel " + Quoted("entries per second [" + phase.entriesUnit.name + "]") + "\n";
      script += TimelinePlot(phase, dataPath, 2);
      place(kWidth / 2, y, kWidth / 2, kTimelineHeight);
      script += "set title " + Quoted(phase.phase + ": bytes per second over time") + "\n";
      script += "set ylabel " + Quoted("bytes per second [" + phase.bytesUnit.name + "]") + "\n";
      script += TimelinePlot(phase, dataPath, 3);
    }
  }

  // A legend: a plot of nothing but its key, across the canvas, with an
  // entry ("NaN with ... title ...") for each series named.
  auto legend = [&](int y, int legendHeight, const std::string& title,
                    const std::vector<std::string>& entries) {
    place(0, y, kWidth, legendHeight);
    script +=
        "unset title\nunset xlabel\nunset ylabel\nunset logscale y\nunset border\n"
        "unset tics\nunset grid\nset xrange [0:1]\nset yrange [0:1]\nset key default\n";
    script += "set key center center horizontal maxcols " + std::to_string(kLegendPerLine) +
              " reverse Left width 4 samplen 3" + (title.empty() ? "" : " title " + Quoted(title)) +
              "\n";
    script += "plot ";
    for (size_t e = 0; e < entries.size(); ++e) {
      script += entries[e] + (e + 1 < entries.size() ? ", " : "\n");
    }
  };
  // The runs drawn over time, each in its own colour, named by its file,
  // above their charts.
  if (!timelines.empty()) {
    std::vector<std::string> entries;
    for (size_t r : timelineRuns) {
      entries.push_back("NaN with lines lw 3 lc " + std::to_string(r + 1) + " title " +
                        Quoted(runs[r].file));
    }
    legend(top, runLegendHeight, "Over time, a line for each run:", entries);
  }
  // The columns below the title, a filled box in each column's colour.
  std::vector<std::string> entries;
  for (size_t c = 0; c < columns; ++c) {
    const Column& column = comparison.columns[c];
    std::string label = "#" + std::to_string(c + 1) + ": " + column.label;
    if (column.files.size() > 1) {
      label += " (" + std::to_string(column.files.size()) + " runs: median, min-max)";
    }
    entries.push_back("NaN with boxes fill solid 0.8 lc " + std::to_string(c + 1) + " title " +
                      Quoted(label));
  }
  legend(height - kTitleHeight - legendHeight, legendHeight, "", entries);
  script += "unset multiplot\n";
  return input;
}

std::string DrawChart(const Comparison& comparison, const std::vector<RunInput>& runs,
                      const std::string& path, ChartFormat format) {
  fs::path gnuplot = FindGnuplot();
  if (gnuplot.empty()) {
    return "gnuplot not found: the chart is drawn by gnuplot (on Debian: apt-get install "
           "gnuplot-nox)";
  }
  std::error_code error;
  TemporaryDirectory directory(&error);
  if (error) return "cannot make a temporary directory: " + Escaped(error.message());
#ifdef _WIN32
  GnuplotInput input = MakeGnuplotInput(comparison, runs, format, directory.path().string());
#else
  GnuplotInput input = MakeGnuplotInput(comparison, runs, format, "");
#endif
  input.dataFiles.push_back({"chart.gp", input.script});
  for (const auto& [name, contents] : input.dataFiles) {
    std::ofstream out(directory.path() / name, std::ios::binary);
    out << contents;
    if (!out.flush()) return "cannot write " + Escaped((directory.path() / name).string());
  }
  if (StopRequested() != 0) return "stopped";
  int status = RunProgram(gnuplot, directory.path(), "chart.gp");
  if (status == kStopped || StopRequested() != 0) return "stopped";
  fs::path chart = directory.path() / input.chartName;
  if (status != 0 || !fs::is_regular_file(chart, error)) {
    std::string said = ReadText(directory.path() / "gnuplot.log");
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
    return Escaped(gnuplot.string()) + " failed (status " + std::to_string(status) + ")" +
           (said.empty() ? "" : ":\n" + Escaped(said, true));
  }
  // Not moved into place: where it goes may be a shared directory, in
  // which another user may have put a link at the name.
  ErrorCode code = WriteOutputFile(path.c_str(), ReadText(chart));
  if (code != 0) return Escaped(path) + ": " + SystemErrorText(code);
  return "";
}

}  // namespace dtk::report
