// The comparison as text for a terminal and as CSV for spreadsheets.
#ifndef DTK_REPORT_TABLE_WRITERS_H_
#define DTK_REPORT_TABLE_WRITERS_H_

#include <string>
#include <vector>

#include "dtk-report/comparison.h"

namespace dtk::report {

// What all runs share, one line each, then the table: a column for each
// run or group, numbered #1, #2, ...; header rows for what differs, the
// number of runs and the status; then a row per figure in a unit chosen for
// the row, each number with four significant digits, a group's cell
// "median (min-max)". Last, the reports of each
// column. A figure a column lacks is "-"; a phase figure of a phase that
// did not end "ok" is that phase's status. Every text from a report or
// the command line is shown Escaped.
std::string TextTable(const Comparison& comparison);

// One line of names, then a line per figure and column: column, label,
// runs, status, phase, phaseStatus, operation, figure, unit, median, min,
// max. Figures are the reports' own names and units, numbers exact. The
// texts from reports are Escaped, and one that starts with = + - @, a tab
// or a CR and is not a number gets a leading ' so that no spreadsheet
// takes it for a formula.
std::string CsvTable(const Comparison& comparison);

// The timelines of `runs` as CSV: one line of names, then a line per sample
// of each phase of each run, in the order given: run (its file as named),
// phase, t, seconds, files, directories, bytes, maxMicros. The texts are
// made safe as in CsvTable, the numbers exact. Runs without timelines have
// no lines.
std::string TimelineCsv(const std::vector<RunInput>& runs);

}  // namespace dtk::report

#endif  // DTK_REPORT_TABLE_WRITERS_H_
