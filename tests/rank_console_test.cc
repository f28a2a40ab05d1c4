// The console of a process other than rank 0 in dtk-mpi: quiet while all
// goes well, its error lines marked with its rank.
#include "reporting/rank_console.h"

#include <gtest/gtest.h>

namespace dtk {
namespace {

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
