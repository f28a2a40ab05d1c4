// The summary lines and times the console prints, and the JSON report: its
// text, whatever the bytes of the paths, and how it is made.
#include "reporting/run_report.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>

#include "driver/command_line.h"
#include "driver/run.h"
#include "reporting/format.h"
#include "reporting/phase_frame.h"
#include "test_util.h"

namespace dtk {
namespace {
// Valid UTF-8 passes as it is (a NUL too); the bytes of anything else are
// escaped: Latin-1 é, a lone continuation byte, a cut sequence, an overlong
// "/", a UTF-16 surrogate, a code point beyond U+10FFFF, and 0xFF.
TEST(RunReportTest, TextIsValidUtf8WhateverTheBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"caf\xC3\xA9/\xE2\x82\xAC/\xF0\x9F\x98\x80", "caf\xC3\xA9/\xE2\x82\xAC/\xF0\x9F\x98\x80"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"caf\xE9", "caf\\xE9"},
      {"\x80x", "\\x80x"},
      {"\xE2\x82", "\\xE2\\x82"},
      {"\xC0\xAF", "\\xC0\\xAF"},
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
      {"\xFF\xC3\xA9", "\\xFF\xC3\xA9"}};
  for (const auto& [text, valid] : cases) EXPECT_EQ(ValidUtf8Text(text), valid) << valid;
}

// A run whose create phase failed part-way and whose verify phase found a
// CRC error, its settings as its command line gave them.
RunReport SampleReport() {
  char text[] =
      "dtk /mnt/t\xFF -filesize 3 -minFileSize 2 -maxFileSize 5 -maxDirFiles 9 -maxDirLevel 7 "
      "-verify -noRemove -sync -threads 3";
  std::vector<const char*> words;
  for (char* w = std::strtok(text, " "); w; w = std::strtok(nullptr, " ")) words.push_back(w);
  CommandLine line;
  EXPECT_EQ(
      ParseCommandLine(static_cast<int>(words.size()), words.data(), kPosixOptionRules, &line), "");
  RunReport report = StartRunReport(line);
  report.version = "1.2.3";
  report.platform = "linux";
  report.fileSystem.reset();
  report.plan = ReportPlan{22, 0, 1048576};
  PhaseReport create{"create", "failed", "2026-12-05T22:17:50.123+01:00", 0.5, 3, 1, 1000};
  // A thousand writes of 0 to 250 ns, each figure a sample's own (exact
  // below 256 ns): p50, p90, p99, p99.9 and the largest all differ.
  LatencyHistogram writes;
  for (uint64_t i = 1; i <= 1000; ++i) writes.Record(i / 4);
  create.operations.push_back(SummarizeLatencies("write", writes));
  create.failures.push_back({"open", "/mnt/t\xFF/file-3", ENOENT, "No such file or directory"});
  PhaseReport verify{"verify", "ok", "", 0, 2, 1};  // too quick to measure: no rates
  verify.crcMismatches.push_back({"/mnt/t\xFF/file-1", 0xACFF1B51, 0x0000BEEF});
  report.phases = {create, verify};
  report.exitStatus = 2;
  return report;
}

TEST(RunReportTest, JsonHoldsEveryFieldUnderItsName) {
  RunReport report = SampleReport();
  EXPECT_FALSE(nlohmann::json::parse(ReportJson(report)).contains("ranks"));  // one process
  report.ranks = {{1, "node\xFF", 2, report.phases}};
  std::string text = ReportJson(report);
  ASSERT_EQ(text.back(), '\n');
  auto json = nlohmann::ordered_json::parse(text);  // strict: fails on invalid UTF-8
  // Each process of a run of many, listed with its phases.
  EXPECT_EQ(json["ranks"][0]["phases"], json["phases"]);
  json["ranks"][0].erase("phases");
  // Rates of three files and a directory in 0.5 s; none for a phase too
  // quick to measure.
  EXPECT_EQ(json, nlohmann::ordered_json::parse(R"({
    "version": "1.2.3", "platform": "linux", "target": "/mnt/t\\xFF", "fileSystem": null,
    "settings": {"totalSize": 3145728, "minFileSize": 2, "maxFileSize": 5, "maxDirFiles": 9,
      "maxDirLevel": 7, "verify": true, "noCreate": false, "noRemove": true, "sync": true,
      "engine": "sync", "depth": 32, "threads": 3, "direct": false},
    "directBlockSize": null, "plan": {"files": 22, "directories": 0, "bytes": 1048576},
    "phases": [
      {"name": "create", "status": "failed", "start": "2026-12-05T22:17:50.123+01:00",
       "seconds": 0.5, "files": 3, "directories": 1, "bytes": 1000, "bytesPerSecond": 2000.0,
       "entriesPerSecond": 8.0, "operations": {"write": {"count": 1000, "seconds": 0.00012475,
         "meanMicros": 0.12475, "minMicros": 0.0, "maxMicros": 0.25, "p50Micros": 0.125,
         "p90Micros": 0.225, "p99Micros": 0.247, "p999Micros": 0.249}},
       "failures": [{"operation": "open", "path": "/mnt/t\\xFF/file-3", "code": 2,
         "message": "No such file or directory"}], "failuresNotListed": 0},
      {"name": "verify", "status": "ok", "start": "", "seconds": 0.0, "files": 2, "crcErrors": 1,
       "bytes": 0, "bytesPerSecond": 0.0, "entriesPerSecond": 0.0, "operations": {},
       "failures": [], "failuresNotListed": 0, "crcMismatches": [{"path": "/mnt/t\\xFF/file-1",
         "expected": "ACFF1B51", "actual": "0000BEEF"}], "crcMismatchesNotListed": 0}],
    "ranks": [{"rank": 1, "host": "node\\xFF", "exitStatus": 2}], "exitStatus": 2})"));
  // What each process sends to the one that writes the report comes back
  // as it went, bytes that are not UTF-8 escaped: written again, the same.
  std::optional<RankReport> back = ParseRankJson(RankJson(report.ranks[0]));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(RankJson(*back), RankJson(report.ranks[0]));
  for (const char* bad : {"", "[1, 2]", R"({"rank": 1, "host": "h", "exitStatus": 0})",
                          R"({"rank": "one", "host": "h", "exitStatus": 0, "phases": []})"}) {
    EXPECT_FALSE(ParseRankJson(bad).has_value()) << bad;
  }
}

// The sample's phases on three ranks: the name and start of rank 0, the
// worst status, counts summed, failures listed in rank order and, past
// 1000 in all, counted only.
TEST(RunReportTest, PhasesOfAllRanksCombine) {
  std::vector<RankReport> ranks;
  for (int k = 0; k < 3; ++k) ranks.push_back({k, "", 0, SampleReport().phases});
  ranks[0].phases[0].status = "ok";
  ranks[0].phases[0].start = "first";
  ranks[1].phases[0].files = 5;
  ranks[2].phases[0].status = "interrupted";
  ranks[2].phases[0].failures[0].path = "rank 2";
  ranks[2].phases[0].failuresNotListed = 4;
  PhaseReport whole = CombinePhases(ranks, 0);
  EXPECT_EQ(whole.name + " " + whole.status + " " + whole.start, "create failed first");
  EXPECT_EQ((std::array<int64_t, 4>{int64_t(whole.files), int64_t(whole.directoriesOrErrors), whole.bytes,
                                    int64_t(whole.failuresNotListed)}),
            (std::array<int64_t, 4>{11, 3, 3000, 4}));
  ASSERT_EQ(whole.failures.size(), 3u);
  EXPECT_EQ(whole.failures[2].path, "rank 2");
  ranks[1].phases[0].status = "ok";
  EXPECT_EQ(CombinePhases(ranks, 0).status, "interrupted");
  ranks[2].phases[0].status = "ok";
  EXPECT_EQ(CombinePhases(ranks, 0).status, "ok");
  for (RankReport& rank : ranks) {
    rank.phases[1].crcMismatches.resize(600, {"rank " + std::to_string(rank.rank), 1, 2});
  }
  whole = CombinePhases(ranks, 1);
  ASSERT_EQ(whole.crcMismatches.size(), 1000u);
  EXPECT_EQ(whole.crcMismatches[599].path, "rank 0");
  EXPECT_EQ(whole.crcMismatches[999].path, "rank 1");
  EXPECT_EQ(whole.crcMismatchesNotListed, 800u);
}

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
