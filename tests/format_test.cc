#include "reporting/format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "reporting/phase_frame.h"

namespace dtk {
namespace {

std::string SpeedLine(int64_t bytes, int64_t start, int64_t end) {
  MemoryConsole console;
  PhaseCounters counters;
  counters.bytes = bytes;
  PrintSummary(console, kCreateText, counters, ElapsedSeconds(start, end));
  return console.lines()[2].text + console.lines()[3].text;
}

TEST(FormatTest, SpeedLines) {
  EXPECT_EQ(SpeedLine(104857600, 100, 107),
            "Create time 7 sec\nCreate speed 14979.6KB/sec (14979657B/sec)\n");
  EXPECT_EQ(SpeedLine(104857600, 100, 100),
            "Create time 1 sec\nCreate speed 104857.6KB/sec (104857600B/sec)\n");
  EXPECT_EQ(SpeedLine(50, 5, 6), "Create time 1 sec\nCreate speed 0.0KB/sec (50B/sec)\n");
  EXPECT_EQ(SpeedLine(150, 5, 6), "Create time 1 sec\nCreate speed 0.1KB/sec (150B/sec)\n");
  EXPECT_EQ(SpeedLine(0, 5, 6), "Create time 1 sec\nCreate speed 0.0KB/sec (0B/sec)\n");
  // 5 GiB in one second: the bytes per second keep only their low 32 bits.
  EXPECT_EQ(SpeedLine(5368709120, 0, 1),
            "Create time 1 sec\nCreate speed 5368709.1KB/sec (1073741824B/sec)\n");
}

TEST(FormatTest, SummaryLinesOfEachPhase) {
  MemoryConsole console;
  PhaseCounters counters{3, 2, 1234567890123};
  PrintSummary(console, kVerifyText, counters, 1);
  PrintSummary(console, kRemoveText, counters, 1);
  std::string text = console.OutputText();
  EXPECT_NE(text.find("Verify 3 files, 2 CRC Errors\nVerify filesize 1234567890123 bytes\n"),
            std::string::npos);
  EXPECT_NE(text.find("Remove 3 files, 2 directories\nRemove filesize 1234567890123 bytes\n"),
            std::string::npos);
}

// The sums of many processes: the same lines, every figure in full.
TEST(FormatTest, SummaryLinesOfSumsKeepEveryDigit) {
  for (int64_t bytes : {int64_t{0}, int64_t{150}, int64_t{104857600}}) {
    MemoryConsole narrow;
    MemoryConsole wide;
    PrintSummary(narrow, kCreateText, PhaseCounters{22, 2, bytes}, 7);
    PrintSummary(wide, kCreateText, 22, 2, bytes, 7);
    EXPECT_EQ(wide.Transcript(), narrow.Transcript()) << bytes;
  }
  MemoryConsole console;
  // Five thousand million files of 100 KB, 500 TB, in 100 seconds.
  PrintSummary(console, kRemoveText, 5000000000, 4294967296, 500000000000000, 100);
  EXPECT_EQ(console.OutputText(),
            "Remove 5000000000 files, 4294967296 directories\n"
            "Remove filesize 500000000000000 bytes\n"
            "Remove time 100 sec\n"
            "Remove speed 5000000000.0KB/sec (5000000000000B/sec)\n");
}

TEST(FormatTest, ElapsedSecondsWrapsAndNeverIsZero) {
  EXPECT_EQ(ElapsedSeconds(10, 10), 1u);
  EXPECT_EQ(ElapsedSeconds(10, 17), 7u);
  EXPECT_EQ(ElapsedSeconds(10, 9), 4294967295u);  // a clock set back
}

TEST(FormatTest, Int64) {
  char buffer[kInt64Size];
  EXPECT_STREQ(FormatInt64(buffer, 0), "0");
  EXPECT_STREQ(FormatInt64(buffer, -5), "-5");
  EXPECT_STREQ(FormatInt64(buffer, INT64_MIN), "-9223372036854775808");
  EXPECT_STREQ(FormatInt64(buffer, INT64_MAX), "9223372036854775807");
}

TEST(FormatTest, TimeStampIsLocalTime) {
  std::time_t now = 1796595470;
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char expected[64];
  std::snprintf(expected, sizeof(expected), "%04d.%02d.%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  char buffer[kTimeStampSize];
  EXPECT_STREQ(FormatTimeStamp(buffer, now), expected);
  EXPECT_EQ(std::strlen(buffer), 19u);
}

#ifndef _WIN32
// Sets the time zone for one scope.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    if (old != nullptr) old_ = old;
    hadOld_ = old != nullptr;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (hadOld_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string old_;
  bool hadOld_ = false;
};

TEST(FormatTest, IsoLocalTimeCarriesMillisecondsAndTheOffsetInForce) {
  {
    TimeZone utc("UTC0");
    EXPECT_EQ(FormatIsoLocalTime(1796595470123), "2026-12-06T22:17:50.123+00:00");
    EXPECT_EQ(FormatIsoLocalTime(-1), "1969-12-31T23:59:59.999+00:00");
  }
  {
    TimeZone india("<+0530>-5:30");
    EXPECT_EQ(FormatIsoLocalTime(1796595470005), "2026-12-07T03:47:50.005+05:30");
  }
  {
    TimeZone newYork("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(FormatIsoLocalTime(1796595470000), "2026-12-06T17:17:50.000-05:00");
    EXPECT_EQ(FormatIsoLocalTime(1783000000999), "2026-07-02T09:46:40.999-04:00");
  }
}
#endif

}  // namespace
}  // namespace dtk
