#include "dtk-report/table_writers.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "dtk-report/safe_text.h"
#include "dtk-report/units.h"

namespace dtk::report {
namespace {

// Width on a terminal: UTF-8 continuation bytes take no column.
size_t Width(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string RowName(const FigureKey& key) {
  std::string name = key.phase + " ";
  if (!key.operation.empty()) name += key.operation + " ";
  return name + Describe(key.figure).label;
}

// The figures of a row in one unit, chosen for the largest median: the
// figure compared across the row.
std::vector<std::string> FormatRow(const Row& row, std::string* unitName) {
  const FigureInfo& info = Describe(row.key.figure);
  double largest = 0;
  for (const Cell& cell : row.cells) {
    if (cell.spread) largest = std::max(largest, std::abs(cell.spread->median) * info.toBase);
  }
  DisplayUnit unit = ChooseUnit(largest, info.baseUnit);
  *unitName = unit.name;
  auto number = [&](double value) { return SignificantNumber(value * info.toBase / unit.divisor); };
  std::vector<std::string> texts;
  for (const Cell& cell : row.cells) {
    if (row.key.operation.empty() && !cell.phaseStatus.empty() && cell.phaseStatus != "ok") {
      texts.push_back(cell.phaseStatus);
    } else if (!cell.spread) {
      texts.push_back("-");
    } else if (cell.spread->count == 1) {
      texts.push_back(number(cell.spread->median));
    } else {
      texts.push_back(number(cell.spread->median) + " (" + number(cell.spread->min) + "-" +
                      number(cell.spread->max) + ")");
    }
  }
  return texts;
}

// A cell of text from a report, shown as in the table; one that a
// spreadsheet would take for a formula gets a leading quote, unless the
// whole of it is a number.
std::string CsvText(const std::string& text) {
  std::string cell = Escaped(text);
  double number;
  const char* end = cell.data() + cell.size();
  auto read = std::from_chars(cell.data(), end, number);
  bool isNumber = read.ec == std::errc() && read.ptr == end;
  if (!cell.empty() && std::string_view("=+-@\t\r").find(cell[0]) != std::string_view::npos &&
      !isNumber) {
    cell.insert(0, 1, '\'');
  }
  return cell;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void AddCsvLine(const std::vector<std::string>& fields, std::string* text) {
  for (size_t i = 0; i < fields.size(); ++i) *text += (i == 0 ? "" : ",") + CsvField(fields[i]);
  *text += "\n";
}

}  // namespace

std::string TextTable(const Comparison& comparison) {
  std::string text = std::to_string(comparison.runCount) +
                     (comparison.runCount == 1 ? " run" : " runs") + " in " +
                     std::to_string(comparison.columns.size()) +
                     (comparison.columns.size() == 1 ? " column" : " columns") + "\n";
  std::string settings;
  for (const Attribute& attribute : comparison.shared) {
    if (attribute.setting) {
      settings +=
          (settings.empty() ? "" : ", ") + Escaped(attribute.name) + " " + Escaped(attribute.value);
    } else {
      text += Escaped(attribute.name) + ": " + Escaped(attribute.value) + "\n";
    }
  }
  if (!settings.empty()) text += "settings: " + settings + "\n";
  bool groups = std::any_of(comparison.columns.begin(), comparison.columns.end(),
                            [](const Column& column) { return column.files.size() > 1; });
  if (groups) text += "columns of several runs: median (min-max)\n";
  text += "\n";

  // The table as cells first, then padded to its columns' widths.
  std::vector<std::vector<std::string>> lines;
  std::vector<std::string> header{""};
  for (size_t c = 0; c < comparison.columns.size(); ++c)
    header.push_back("#" + std::to_string(c + 1));
  lines.push_back(header);
  for (size_t d = 0; d < comparison.differing.size(); ++d) {
    std::vector<std::string> line{comparison.differing[d]};
    for (const Column& column : comparison.columns) line.push_back(column.values[d]);
    lines.push_back(line);
  }
  std::vector<std::string> runs{"runs"};
  std::vector<std::string> status{"status"};
  for (const Column& column : comparison.columns) {
    runs.push_back(std::to_string(column.files.size()));
    status.push_back(column.status);
  }
  lines.push_back(runs);
  lines.push_back(status);
  for (const Row& row : comparison.rows) {
    std::string unit;
    std::vector<std::string> cells = FormatRow(row, &unit);
    cells.insert(cells.begin(), RowName(row.key) + " [" + unit + "]");
    lines.push_back(cells);
  }
  // Widths are those of the text shown.
  for (auto& line : lines) {
    for (std::string& cell : line) cell = Escaped(cell);
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& line : lines) {
    for (size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], Width(line[i]));
  }
  for (const auto& line : lines) {
    // The names flush left, the figures flush right.
    std::string out = line[0] + std::string(widths[0] - Width(line[0]), ' ');
    for (size_t i = 1; i < line.size(); ++i) {
      out += "  " + std::string(widths[i] - Width(line[i]), ' ') + line[i];
    }
    text += out + "\n";
  }

  text += "\n";
  for (size_t c = 0; c < comparison.columns.size(); ++c) {
    std::string files;
    for (const std::string& file : comparison.columns[c].files) {
      files += (files.empty() ? "" : ", ") + Escaped(file);
    }
    text += "#" + std::to_string(c + 1) + ": " + files + "\n";
  }
  return text;
}

std::string CsvTable(const Comparison& comparison) {
  std::string text =
      "column,label,runs,status,phase,phaseStatus,operation,figure,unit,median,min,max\n";
  for (const Row& row : comparison.rows) {
    const FigureInfo& info = Describe(row.key.figure);
    for (size_t c = 0; c < comparison.columns.size(); ++c) {
      const Column& column = comparison.columns[c];
      const Cell& cell = row.cells[c];
      if (!cell.spread) continue;
      std::vector<std::string> fields{std::to_string(c + 1),
                                      CsvText(column.label),
                                      std::to_string(column.files.size()),
                                      CsvText(column.status),
                                      CsvText(row.key.phase),
                                      CsvText(cell.phaseStatus),
                                      CsvText(row.key.operation),
                                      info.field,
                                      info.unit,
                                      ExactNumber(cell.spread->median),
                                      ExactNumber(cell.spread->min),
                                      ExactNumber(cell.spread->max)};
      AddCsvLine(fields, &text);
    }
  }
  return text;
}

std::string TimelineCsv(const std::vector<RunInput>& runs) {
  std::string text = "run,phase,t,seconds,files,directories,bytes,maxMicros\n";
  for (const RunInput& run : runs) {
    for (const PhaseOutcome& phase : run.phases) {
      for (const TimelineSample& sample : phase.timeline) {
        AddCsvLine({CsvText(run.file), CsvText(phase.name), ExactNumber(sample.t),
                    ExactNumber(sample.seconds), std::to_string(sample.files),
                    std::to_string(sample.directories), std::to_string(sample.bytes),
                    ExactNumber(sample.maxMicros)},
                   &text);
      }
    }
  }
  return text;
}

}  // namespace dtk::report
