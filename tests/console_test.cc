#include "reporting/console.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <string>

#include "reporting/phase_frame.h"
#include "reporting/rank_console.h"

namespace dtk {
namespace {

std::string Printed(const char* format, const std::string& path, uint32_t crc, int64_t size,
                    uint32_t number) {
  std::vector<char> text(path.size() + 128);
  int n = std::snprintf(text.data(), text.size(), format, path.c_str(), crc, size, number);
  return std::string(text.data(), n);
}

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
        MemoryConsole console;
        ErrorLine line(console);
        line.Add("Verify ").Add(path).Add(" (").Hex8(crcs[k]).Add(":").Int64(size);
        line.Add(" bytes) No.").Unsigned(numbers[k]).Add("\n").Send();
        ASSERT_EQ(console.lines().size(), 1u);
        ASSERT_EQ(console.lines()[0].text, Printed("Verify %s (%08X:%" PRId64 " bytes) No.%u\n",
                                                   path, crcs[k], size, numbers[k]))
            << "path length " << pathLength << " size " << size;
      }
    }
  }
  // An empty line sends nothing, a line is sent once.
  MemoryConsole console;
  ErrorLine line(console);
  line.Send();
  line.Add("RemoveDirecrory /t/DIR-0\n").Send();
  line.Send();
  EXPECT_EQ(console.Transcript(), "E RemoveDirecrory /t/DIR-0\n");
}

// What a stream console hands its streams, as a MemoryConsole transcript;
// standard error can be made to fail like a closed pipe.
struct Streams {
  static inline std::string transcript;
  static inline bool errorFails = false;
  static inline int errorWrites = 0;
  static bool Write(int stream, const char* data, size_t count) {
    if (stream == 2 && errorFails) return ++errorWrites, false;
    for (std::string_view text(data, count); !text.empty();) {
      size_t end = text.find('\n') + 1;  // every write here ends on a line's end
      transcript += (stream == 2 ? "E " : "O ") + std::string(text.substr(0, end));
      text.remove_prefix(end);
    }
    return true;
  }
};

struct FixedClock : Clock {
  int64_t Now() override { return 1796595470; }
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
  }
  EXPECT_EQ(Streams::transcript, memory.Transcript());
  EXPECT_EQ(memory.lines().back().text, std::string(5000, 'x') + "\n");

  // A stream that failed is not written again; the other goes on.
  Streams::transcript.clear();
  Streams::errorFails = true;
  {
    StreamConsole console(Streams::Write, false, false);
    for (int i = 0; i < 1000; ++i) {
      console.ErrorF("CreateFile T/file-%d (1 bytes) No.%d\n", i, i + 1);
      if (i % 100 == 0) console.Output("Create 1 files, 0 directories\n");
    }
  }
  EXPECT_EQ(Streams::errorWrites, 1);
  std::string outputs;
  for (int i = 0; i < 10; ++i) outputs += "O Create 1 files, 0 directories\n";
  EXPECT_EQ(Streams::transcript, outputs);
}

// The console of a process other than rank 0 in dtk-mpi: quiet while all
// goes well, its error lines marked with its rank.
TEST(RankConsoleTest, ProgressStaysQuietUntilAnErrorNamesItsEntry) {
  MemoryConsole lines;
  RankConsole console(lines, "rank", 3);
  console.ProgressF("CreateFile %s (%s bytes) No.%u\n", "T/rank-3/file-0", "10", 1u);
  console.ProgressF("CreateFile %s (%s bytes) No.%u\n", "T/rank-3/file-1", "20", 2u);
  EXPECT_EQ(lines.Transcript(), "");

  // The entry the error concerns comes first, the line held before it gone.
  console.ErrorF("WriteFile Error!: %s\n", "No space left on device");
  console.Error("DtkTest Error!\n");
  EXPECT_EQ(lines.ErrorText(),
            "[rank 3] CreateFile T/rank-3/file-1 (20 bytes) No.2\n"
            "[rank 3] WriteFile Error!: No space left on device\n"
            "[rank 3] DtkTest Error!\n");

  // A line given in pieces is held whole; a system text of two lines gets
  // the mark on each.
  lines.Clear();
  console.Progress("RemoveDirecrory ");
  console.Progress("T/rank-3/DIR-0\n");
  console.Error("CreateFile Error!: first\nsecond\n");
  EXPECT_EQ(lines.ErrorText(),
            "[rank 3] RemoveDirecrory T/rank-3/DIR-0\n"
            "[rank 3] CreateFile Error!: first\n[rank 3] second\n");

  // An error line in pieces is marked once.
  lines.Clear();
  console.Error("Remove");
  EXPECT_EQ(lines.ErrorText(), "");  // held until the line is whole
  console.Error(" Error!\n");
  console.Output("Remove 1 files, 0 directories\n");
  EXPECT_EQ(lines.ErrorText(), "[rank 3] Remove Error!\n");
  EXPECT_EQ(lines.OutputText(), "[rank 3] Remove 1 files, 0 directories\n");
}

}  // namespace
}  // namespace dtk
