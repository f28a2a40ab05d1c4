#include "reporting/console.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace dtk {
namespace {

TEST(ConsoleTest, MemoryConsoleKeepsStreamsAndOrder) {
  MemoryConsole console;
  console.ErrorF("%s Start\n", "TS");
  console.Error("part ");
  console.Error("whole\n");
  console.OutputF("Create %u files\n", 2u);
  ASSERT_EQ(console.lines().size(), 3u);
  EXPECT_EQ(console.Transcript(), "E TS Start\nE part whole\nO Create 2 files\n");
  std::string longText(5000, 'x');
  console.ErrorF("%s\n", longText.c_str());
  EXPECT_EQ(console.lines().back().text, longText + "\n");
}

#ifdef __GLIBC__
// A stream whose every write fails as a closed pipe does, counting the
// attempts.
struct ClosedPipe {
  int writes = 0;
  static ssize_t Write(void* cookie, const char*, size_t) {
    ++static_cast<ClosedPipe*>(cookie)->writes;
    errno = EPIPE;
    return -1;
  }
};

// Keeps what it is given.
struct Collector {
  std::string text;
  static ssize_t Write(void* cookie, const char* data, size_t size) {
    static_cast<Collector*>(cookie)->text.append(data, size);
    return static_cast<ssize_t>(size);
  }
};

TEST(ConsoleTest, AStreamThatFailedIsNotWrittenAgain) {
  ClosedPipe pipe;
  Collector kept;
  cookie_io_functions_t closedCalls = {nullptr, ClosedPipe::Write, nullptr, nullptr};
  cookie_io_functions_t keptCalls = {nullptr, Collector::Write, nullptr, nullptr};
  std::FILE* err = fopencookie(&pipe, "w", closedCalls);
  std::FILE* out = fopencookie(&kept, "w", keptCalls);
  ASSERT_NE(err, nullptr);
  ASSERT_NE(out, nullptr);
  std::setvbuf(err, nullptr, _IOFBF, 64);
  {
    StdioConsole console(out, err);
    for (int i = 0; i < 1000; ++i) {
      console.ErrorF("CreateFile T/file-%d (1 bytes) No.%d\n", i, i + 1);
      if (i % 100 == 0) console.Output("Create 1 files, 0 directories\n");
    }
    console.Flush();
  }
  EXPECT_LE(pipe.writes, 2);
  EXPECT_EQ(kept.text.size(), 10 * std::string("Create 1 files, 0 directories\n").size());
  std::fclose(err);
  std::fclose(out);
}
#endif

}  // namespace
}  // namespace dtk
