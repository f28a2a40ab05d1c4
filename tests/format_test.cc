#include "reporting/format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "reporting/phase_frame.h"

namespace dtk {
namespace {

// The summary lines of a phase of `bytes` in `secs`, narrow (a process's
// own counters) and wide (the sums of many processes).
std::string Summary(const PhaseText& text, int64_t bytes, uint32_t secs, bool wide = false) {
  MemoryConsole console;
  wide ? PrintSummary(console, text, 3, 2, bytes, secs)
       : PrintSummary(console, text, PhaseCounters{3, 2, bytes}, secs);
  return console.OutputText();
}

TEST(FormatTest, SummaryLinesOfEachPhase) {
  // The tenth comes from the low 32 bits of bytes / 100: 9, not 1, here.
  EXPECT_EQ(Summary(kVerifyText, 1234567890123, 1),
            "Verify 3 files, 2 CRC Errors\nVerify filesize 1234567890123 bytes\n"
            "Verify time 1 sec\nVerify speed 1234567890.9KB/sec (1912276171B/sec)\n");
  EXPECT_EQ(Summary(kRemoveText, 0, 1).substr(0, 29), "Remove 3 files, 2 directories");
  // Speed lines: KB is 1000 bytes, the tenth is cut, each figure keeps only
  // its low 32 bits (5 GiB in one second).
  const struct {
    int64_t bytes;
    uint32_t secs;
    const char* speed;
  } speeds[] = {{104857600, 7, "14979.6KB/sec (14979657B/sec)"},
                {104857600, 1, "104857.6KB/sec (104857600B/sec)"},
                {50, 1, "0.0KB/sec (50B/sec)"},
                {150, 1, "0.1KB/sec (150B/sec)"},
                {199, 1, "0.1KB/sec (199B/sec)"},
                {0, 1, "0.0KB/sec (0B/sec)"},
                {5368709120, 1, "5368709.1KB/sec (1073741824B/sec)"}};
  for (const auto& c : speeds) {
    std::string lines = Summary(kCreateText, c.bytes, c.secs);
    EXPECT_EQ(lines.substr(lines.find("Create time")),
              "Create time " + std::to_string(c.secs) + " sec\nCreate speed " + c.speed + "\n");
    // The sums of many processes print the same lines, below 2^32.
    if (c.bytes < 4294967296) {
      EXPECT_EQ(Summary(kCreateText, c.bytes, c.secs, true), lines);
    }
  }
  // Beyond, the sums keep every digit: 500 TB in 100 seconds.
  MemoryConsole console;
  PrintSummary(console, kRemoveText, 5000000000, 4294967296, 500000000000000, 100);
  EXPECT_EQ(console.OutputText(),
            "Remove 5000000000 files, 4294967296 directories\n"
            "Remove filesize 500000000000000 bytes\nRemove time 100 sec\n"
            "Remove speed 5000000000.0KB/sec (5000000000000B/sec)\n");
  // Never 0 seconds; a clock set back gives the difference modulo 2^32.
  EXPECT_EQ((std::array{ElapsedSeconds(10, 10), ElapsedSeconds(10, 17), ElapsedSeconds(10, 9)}),
            (std::array<uint32_t, 3>{1, 7, 4294967295u}));
  char buffer[kInt64Size];
  EXPECT_STREQ(FormatInt64(buffer, -5), "-5");
  EXPECT_STREQ(FormatInt64(buffer, INT64_MIN), "-9223372036854775808");
  EXPECT_STREQ(FormatInt64(buffer, INT64_MAX), "9223372036854775807");
}

#ifndef _WIN32
// The time `millis` in the time zone `zone`, for the report and (to the
// second) for the console; the zone in force before put back.
std::string InZone(const char* zone, int64_t millis) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", zone, 1);
  tzset();
  char stamp[kTimeStampSize];
  std::string text = FormatIsoLocalTime(millis) + " " + FormatTimeStamp(stamp, millis / 1000);
  old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
  return text;
}

TEST(FormatTest, LocalTimesCarryTheOffsetInForce) {
  const char* kEastern = "EST5EDT,M3.2.0,M11.1.0";
  const std::tuple<const char*, int64_t, const char*> cases[] = {
      {"UTC0", 1796595470123, "2026-12-06T22:17:50.123+00:00 2026.12.06 22:17:50"},
      {"UTC0", -1, "1969-12-31T23:59:59.999+00:00 1970.01.01 00:00:00"},
      {"<+0530>-5:30", 1796595470005, "2026-12-07T03:47:50.005+05:30 2026.12.07 03:47:50"},
      {kEastern, 1796595470000, "2026-12-06T17:17:50.000-05:00 2026.12.06 17:17:50"},
      {kEastern, 1783000000999, "2026-07-02T09:46:40.999-04:00 2026.07.02 09:46:40"}};
  for (auto [zone, millis, text] : cases) EXPECT_EQ(InZone(zone, millis), text) << zone;
}
#endif

}  // namespace
}  // namespace dtk
