// The JSON report: its text, whatever the bytes of the paths, and how it is
// written to disk.
#include "reporting/run_report.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "driver/command_line.h"
#include "driver/run.h"
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

RunReport SampleReport() {
  RunReport report;
  report.version = "1.2.3";
  report.platform = "linux";
  report.target = "/mnt/t\xFF";
  report.settings = {1048576, 1, 102400, 100, 4, true, false, true, false};
  report.plan = ReportPlan{22, 0, 1048576};
  PhaseReport create;
  create.name = "create";
  create.status = "failed";
  create.start = "2026-12-05T22:17:50.123+01:00";
  create.seconds = 0.5;
  create.files = 3;
  create.second = 1;
  create.bytes = 1000;
  LatencyHistogram writes;
  writes.Record(2000);
  writes.Record(4000);
  create.operations.push_back(SummarizeLatencies("write", writes));
  create.failures.push_back({"open", "/mnt/t\xFF/file-3", ENOENT, "No such file or directory"});
  PhaseReport verify;
  verify.name = "verify";
  verify.status = "ok";
  verify.seconds = 0;  // too quick to measure: no rates
  verify.files = 2;
  verify.second = 1;
  verify.crcMismatches.push_back({"/mnt/t\xFF/file-1", 0xACFF1B51, 0x0000BEEF});
  report.phases = {create, verify};
  report.exitStatus = 2;
  return report;
}

TEST(RunReportTest, JsonHoldsEveryFieldUnderItsName) {
  RunReport report = SampleReport();
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
    "settings": {"totalSize": 1048576, "minFileSize": 1, "maxFileSize": 102400,
      "maxDirFiles": 100, "maxDirLevel": 4, "verify": true, "noCreate": false, "noRemove": true,
      "sync": false, "engine": "sync", "depth": 0, "threads": 1, "direct": false},
    "directBlockSize": null, "plan": {"files": 22, "directories": 0, "bytes": 1048576},
    "phases": [
      {"name": "create", "status": "failed", "start": "2026-12-05T22:17:50.123+01:00",
       "seconds": 0.5, "files": 3, "directories": 1, "bytes": 1000, "bytesPerSecond": 2000.0,
       "entriesPerSecond": 8.0, "operations": {"write": {"count": 2, "seconds": 6e-06,
         "meanMicros": 3.0, "minMicros": 2.0, "maxMicros": 4.0, "p50Micros": 2.0,
         "p90Micros": 4.0, "p99Micros": 4.0, "p999Micros": 4.0}},
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
  EXPECT_EQ(back->rank * 10 + back->exitStatus, 12);
  EXPECT_EQ(back->host, "node\\xFF");
  EXPECT_EQ(RankJson(*back), RankJson(report.ranks[0]));
  EXPECT_EQ(back->phases[0].failures[0].path, "/mnt/t\\xFF/file-3");
  EXPECT_EQ(back->phases[1].crcMismatches[0].expected, 0xACFF1B51u);
  for (const char* bad : {"", "[1, 2]", R"({"rank": 1, "host": "h", "exitStatus": 0})",
                          R"({"rank": "one", "host": "h", "exitStatus": 0, "phases": []})"}) {
    EXPECT_FALSE(ParseRankJson(bad).has_value()) << bad;
  }
}

// The settings of a run, as its command line gave them, each under its name.
TEST(RunReportTest, SettingsComeFromTheCommandLine) {
  char text[] =
      "dtk T -filesize 3 -minFileSize 2 -maxFileSize 5 -maxDirFiles 9 -maxDirLevel 7 -verify "
      "-noRemove -sync -threads 3";
  std::vector<const char*> words;
  for (char* w = std::strtok(text, " "); w; w = std::strtok(nullptr, " ")) words.push_back(w);
  CommandLine line;
  ASSERT_EQ(
      ParseCommandLine(static_cast<int>(words.size()), words.data(), kPosixOptionRules, &line), "");
  auto json = nlohmann::ordered_json::parse(ReportJson(StartRunReport(line)));
  EXPECT_FALSE(json.contains("ranks"));  // a run of one process
  EXPECT_EQ(json["settings"], nlohmann::ordered_json::parse(R"({"totalSize": 3145728,
    "minFileSize": 2, "maxFileSize": 5, "maxDirFiles": 9, "maxDirLevel": 7, "verify": true,
    "noCreate": false, "noRemove": true, "sync": true, "engine": "sync", "depth": 32,
    "threads": 3, "direct": false})"));
}

TEST(RunReportTest, PhasesOfAllRanksCombine) {
  std::vector<RankReport> ranks(3);
  for (int k = 0; k < 3; ++k) {
    ranks[k].rank = k;
    ranks[k].phases = {
        {"remove", "ok", "start of rank " + std::to_string(k), 1.0 + k, 22, 2, 1048576}};
  }
  ranks[1].phases[0].status = "failed";
  ranks[1].phases[0].files = 5;
  ranks[1].phases[0].failures.push_back({"rmdir", "T/rank-1/DIR-0", 39, "Directory not empty"});
  ranks[2].phases[0].status = "interrupted";
  ranks[2].phases[0].failuresNotListed = 4;

  PhaseReport whole = CombinePhases(ranks, 0);
  EXPECT_EQ(whole.name + " " + whole.status + " " + whole.start, "remove failed start of rank 0");
  EXPECT_EQ((std::array{whole.files, whole.second}), (std::array<uint64_t, 2>{49, 6}));
  EXPECT_EQ(whole.bytes, 3 * 1048576);
  ASSERT_EQ(whole.failures.size(), 1u);
  EXPECT_EQ(whole.failures[0].path, "T/rank-1/DIR-0");
  EXPECT_EQ(whole.failuresNotListed, 4u);

  ranks[1].phases[0].status = "ok";
  EXPECT_EQ(CombinePhases(ranks, 0).status, "interrupted");
  ranks[2].phases[0].status = "ok";
  EXPECT_EQ(CombinePhases(ranks, 0).status, "ok");

  // Past 1000 in all, the first ones in rank order are listed.
  for (RankReport& rank : ranks) {
    rank.phases[0].name = "verify";
    rank.phases[0].failures.clear();
    rank.phases[0].failuresNotListed = 0;
    for (int i = 0; i < 600; ++i) {
      rank.phases[0].crcMismatches.push_back({"rank " + std::to_string(rank.rank), 1, 2});
    }
  }
  whole = CombinePhases(ranks, 0);
  ASSERT_EQ(whole.crcMismatches.size(), 1000u);
  EXPECT_EQ(whole.crcMismatches[599].path, "rank 0");
  EXPECT_EQ(whole.crcMismatches[999].path, "rank 1");
  EXPECT_EQ(whole.crcMismatchesNotListed, 800u);
}

}  // namespace
}  // namespace dtk
