#include "reporting/console.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <regex>
#include <string>

#include "dtk-report/units.h"
#include "reporting/phase_frame.h"
#include "reporting/member_console.h"
#include "reporting/status_line.h"
#include "test_util.h"

namespace dtk {
namespace {

// The progress lines are put together without printf; they must come out
// exactly as the format would print them, whatever the lengths and values.
TEST(ConsoleTest, ErrorLineMatchesPrintfAtEveryLengthAndExtreme) {
  const int64_t sizes[] = {0, 1, 9, 10, 131072, INT64_MAX, INT64_MIN, -1};
  const uint32_t numbers[] = {0, 1, 10, 4294967295u};
  const uint32_t crcs[] = {0, 0xA, 0xFC891918u, 0xFFFFFFFFu};
  // Paths around the line buffer's size, so numbers and text straddle the
  // point where the buffer is handed over.
  for (size_t pathLength : {0, 1, 480, 490, 495, 500, 505, 511, 512, 513, 1100, 5000}) {
    std::string path(pathLength, 'p');
    for (size_t i = 0; i < path.size(); i += 7) path[i] = static_cast<char>('a' + i % 26);
    for (int64_t size : sizes) {
      for (size_t k = 0; k < 4; ++k) {
        std::string printed(path.size() + 128, '\0');
        printed.resize(std::snprintf(printed.data(), printed.size(),
                                     "Verify %s (%08X:%" PRId64 " bytes) No.%u\n", path.c_str(),
                                     crcs[k], size, numbers[k]));
        // An empty line sends nothing, a line is sent once.
        MemoryConsole console;
        ErrorLine line(console);
        line.Send();
        line.Add("Verify ").Add(path).Add(" (").Hex8(crcs[k]).Add(":").Int64(size);
        line.Add(" bytes) No.").Unsigned(numbers[k]).Add("\n").Send();
        line.Send();
        ASSERT_EQ(console.Transcript(), "E " + printed) << "path length " << pathLength;
      }
    }
  }
}

// What a stream console hands its streams, as a MemoryConsole transcript;
// standard error can be made to fail like a closed pipe.
struct Streams {
  static inline std::string transcript;
  static inline bool errorFails = false;
  static inline int errorWrites = 0;
  static bool Write(int stream, const char* data, size_t count) {
    if (stream == 2 && errorFails) return ++errorWrites, false;
    static const std::regex line("[^\n]*\n");  // every write here ends on a line's end
    transcript += std::regex_replace(std::string(data, count), line, stream == 2 ? "E $&" : "O $&");
    return true;
  }
};

// Both streams into one file or pipe, neither a terminal (so both fully
// buffered): the lines come out in the order they were given, a phase's
// all written by the end of the phase; a memory console keeps the same
// lines, pieces of one line joined.
TEST(ConsoleTest, StreamsSharingAFileKeepTheOrderOfTheLines) {
  MemoryConsole memory;
  {
    StreamConsole console(Streams::Write, false, false);
    FixedClock clock;
    for (Console* c : {static_cast<Console*>(&memory), static_cast<Console*>(&console)}) {
      ConsolePhaseFrame frame(*c, clock);
      PhaseTimes times;
      frame.Start(times);
      c->Progress("CreateFile T/file-0 (1 bytes) No.1\n");
      frame.Finish(kCreateText, PhaseCounters{1, 0, 1}, times, 0);
    }
    EXPECT_EQ(Streams::transcript, memory.Transcript());
    for (Console* c : {static_cast<Console*>(&memory), static_cast<Console*>(&console)}) {
      c->Error("Verify T/file-0 ");
      c->Error("(00000000:1 bytes) No.1\n");
      c->Output("Verify 1 files, 1 CRC Errors\n");
      c->ErrorF("%s\n", std::string(5000, 'x').c_str());
    }
    console.Flush();
    EXPECT_EQ(Streams::transcript, memory.Transcript());
    // A stream that failed is not written again; the other goes on.
    Streams::transcript.clear();
    Streams::errorFails = true;
    for (int i = 0; i < 3; ++i) {
      console.Error("CreateFile T/file-0 (1 bytes) No.1\n");
      console.Output("Create\n");
    }
  }
  EXPECT_EQ(Streams::errorWrites, 1);
  EXPECT_EQ(Streams::transcript, "O Create\nO Create\nO Create\n");
}

// The console of a process other than rank 0 in dtk-mpi: quiet while all
// goes well, its error lines marked with its rank and handed on whole.
TEST(MemberConsoleTest, ProgressStaysQuietUntilAnErrorNamesItsEntry) {
  MemoryConsole lines;
  MemberConsole console(lines, "rank", 3);
  console.ProgressF("CreateFile %s (%s bytes) No.%u\n", "T/rank-3/file-0", "10", 1u);
  console.Progress("CreateFile T/rank-3/");
  console.Progress("file-1 (20 bytes) No.2\n");
  // The entry the error concerns comes first, the line held before it gone;
  // a system text of two lines gets the mark on each; a line in pieces is
  // held until it is whole.
  console.ErrorF("WriteFile Error!: %s\n", "first\nsecond");
  console.Error("DtkTest");
  console.Error(" Error!\n");
  console.Output("Remove 1 files, 0 directories\n");
  EXPECT_EQ(lines.Transcript(),
            "E [rank 3] CreateFile T/rank-3/file-1 (20 bytes) No.2\n"
            "[rank 3] WriteFile Error!: first\n[rank 3] second\n"
            "E [rank 3] DtkTest Error!\n"
            "O [rank 3] Remove 1 files, 0 directories\n");
}

// The status line as a user reads it: digits grouped by three, bytes and
// rates to three digits with the prefix of 1000 they reach once rounded,
// the share done cut (not rounded) to a tenth, the time left to the second;
// the whole cut to the terminal's width.
TEST(StatusLineTest, FiguresAreGroupedRoundedAndCut) {
  const std::pair<uint64_t, const char*> grouped[] = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {1001, "1,001"}, {123456, "123,456"},
      {1023045, "1,023,045"}, {UINT64_MAX, "18,446,744,073,709,551,615"}};
  for (auto [value, text] : grouped) EXPECT_EQ(GroupedDigits(value), text);
  const std::pair<double, const char*> bytes[] = {
      {0, "0 B"}, {999.4, "999 B"}, {999.5, "1.00 KB"}, {1234, "1.23 KB"}, {9994, "9.99 KB"},
      {9995, "10.0 KB"}, {99949, "99.9 KB"}, {99950, "100 KB"}, {845e6, "845 MB"},
      {999.5e6, "1.00 GB"}, {12.3e9, "12.3 GB"}, {2e18, "2.00 EB"}};
  for (auto [value, text] : bytes) EXPECT_EQ(ReadableBytes(value), text) << value;
  const std::pair<double, const char*> times[] = {{0, "0:00:00"},    {59.4, "0:00:59"},
                                                  {59.5, "0:01:00"}, {3599, "0:59:59"},
                                                  {3600, "1:00:00"}, {360000, "100:00:00"}};
  for (auto [seconds, text] : times) EXPECT_EQ(ClockTime(seconds), text) << seconds;
  const std::tuple<StatusFigures, size_t, const char*> lines[] = {
      {{"Create", 412, 1000, 12300000000, 23456.4, 845e6, 72.4}, 0,
       "Create  41.2%  412/1,000 entries  12.3 GB  845 MB/s  23,456 entries/s  0:01:12 left"},
      {{"Verify", 9999, 10000, 999, 0.5, 0, -1}, 0,
       "Verify  99.9%  9,999/10,000 entries  999 B  0 B/s  1 entries/s  -:--:-- left"},
      {{"Remove", 3, 0, 0, 0, 0, 0}, 200,
       "Remove  100.0%  3/0 entries  0 B  0 B/s  0 entries/s  0:00:00 left"},
      {{"Remove", 7, 5, 0, 0, 0, 0}, 15, "Remove  100.0% "}};
  for (const auto& [figures, width, line] : lines) EXPECT_EQ(FormatStatusLine(figures, width), line);
}

// A row of dtk-report's table is in the unit its largest figure is at least
// 1 and below 1000 in, as it is shown to four digits: at, below and above
// each prefix's boundary, from a report's microseconds too (1 ms is not
// 1000 us); times from nanoseconds to seconds, rates from the base unit to
// tera.
TEST(ReportUnitsTest, TheLargestFigureOfARowIsFromOneToBelowAThousandInItsUnit) {
  const std::tuple<double, const char*, const char*, const char*> cases[] = {
      {0, "s", "ns", "0.000"},            {0.4e-9, "s", "ns", "0.4000"},
      {999e-9, "s", "ns", "999.0"},       {1e-6, "s", "us", "1.000"},
      {999.9 * 1e-6, "s", "us", "999.9"}, {1000 * 1e-6, "s", "ms", "1.000"},
      {999.9996e-6, "s", "ms", "1.000"},  {0.9999, "s", "ms", "999.9"},
      {1e6 * 1e-6, "s", "s", "1.000"},    {86400, "s", "s", "86400"},
      {999, "B/s", "B/s", "999.0"},       {1000, "B/s", "kB/s", "1.000"},
      {999999, "/s", "M/s", "1.000"},     {1.5e9, "B/s", "GB/s", "1.500"},
      {1e12, "B/s", "TB/s", "1.000"},     {5e15, "B/s", "TB/s", "5000"}};
  for (auto [largest, base, unit, shown] : cases) {
    report::DisplayUnit chosen = report::ChooseUnit(largest, base);
    EXPECT_EQ(chosen.name, unit) << largest;
    EXPECT_EQ(report::SignificantNumber(largest / chosen.divisor), shown) << largest;
  }
  EXPECT_EQ(report::ExactNumber(0.1 + 0.2), "0.30000000000000004");
}

}  // namespace
}  // namespace dtk
