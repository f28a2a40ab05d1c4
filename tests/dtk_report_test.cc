// dtk-report on reports of chosen figures (the table and the CSV: groups of
// runs, units and digits, failed runs), on the reports of real runs of dtk
// (the chart), and the messages for what it cannot use.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "test_util.h"

namespace dtk {
namespace {

using Json = nlohmann::ordered_json;
using Lines = std::vector<std::string>;

// Two runs on target a, one on b, reports made from a-1 by hand, and
// reports of chosen figures.
class DtkReportTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    for (const char* name : {"a-1", "a-2", "b-1"}) {
      std::string target = *dir_ / std::string(1, name[0]);
      std::filesystem::create_directories(target);
      ChildResult run = RunChild({DTK_BINARY, target, "-filesize", "1", "-maxDirFiles", "10",
                                  "-verify", "-report", Path(name)});
      ASSERT_EQ(run.status, 0) << run.err;
    }
    Json report = Report("a-1");
    report["version"] = "2.0.0";
    WriteWholeFile(Path("future"), report.dump());
    report.erase("phases");
    report["version"] = "1.0.0";
    WriteWholeFile(Path("no-phases"), report.dump());
    // Runs of chosen figures: an odd group (t-1, t-2, t-4), an even one of
    // other settings and processes (t-3, t-5), and a run that failed.
    auto craft = [](const char* name, double scale) {
      Json create = {{"name", "create"}, {"status", "ok"}};
      Json verify = {{"name", "verify"}, {"status", "ok"}};
      verify["seconds"] = 2 * scale;
      Json report = {{"version", "1.0.0"}, {"target", "t"}, {"platform", "p"}, {"exitStatus", 0}};
      report["settings"]["depth"] = 2;
      if (scale == 0) {
        report["exitStatus"] = 2;
        verify["status"] = "failed";
      } else {
        create["seconds"] = 0.1234 * scale;
        create["entriesPerSecond"] = 200 * scale;
        create["operations"]["write"]["p50Micros"] = 0.25 * scale;
      }
      if (scale == 1) {
        create["timeline"] = Json::parse(
            R"([{"t":0.1,"seconds":0.1,"files":247,"directories":2,"bytes":98211,"maxMicros":8647.2},
                {"t":0.15,"seconds":0.05,"files":0,"directories":0,"bytes":18446744073709551615,
                 "maxMicros":0}])");
      }
      if (scale >= 1000) {
        report["settings"]["direct"] = true;
        // The same machines, named by ranks in another order.
        Json n1 = {{"host", "n1"}}, n2 = {{"host", "n2"}};
        report["ranks"] = scale == 1000 ? Json::array({n2, n1}) : Json::array({n1, n2});
      }
      report["phases"] = Json::array({create, verify});
      WriteWholeFile(Path(name), report.dump());
    };
    craft("t-1", 1);
    craft("t-2", 3);
    craft("t-3", 1000);
    craft("t-4", 10);
    craft("t-5", 3000);
    craft("t-f", 0);
    WriteWholeFile(Path("not-json"), "{\"version\": \"1.0.0\",\n oops}");
    WriteWholeFile(Path("array"), "[1, 2]");
    WriteWholeFile(Path("deep"), std::string(100000, '['));
    const std::string phase = R"({"version":"1.0.0","target":"t","platform":"p","settings":{},)"
                              R"("exitStatus":0,"phases":[{"name":"c","status":"ok",)";
    WriteWholeFile(Path("minus-crc"), phase + R"("crcErrors":-3}]})");
    WriteWholeFile(Path("huge"), phase + R"("seconds":1e400}]})");
    WriteWholeFile(Path("escape"), phase + R"("operations":{"w\u001b":{"p50Micros":-1}}}]})");
    WriteWholeFile(Path("bad-timeline"), phase + R"("timeline":[{"t":1,"seconds":1,"files":1,)" +
                                             R"("directories":0,"bytes":0,"maxMicros":0},{"t":2,)" +
                                             R"("seconds":1,"files":-1}]}]})");
    // Made by hand to do harm: names that end a gnuplot string and run a
    // command, drive a terminal, start a formula.
    Json evil = Report("t-1");
    evil["target"] = "=x'\n!touch " + Path("PWNED") + "\n\x1B[2J";
    evil["phases"][0]["name"] = "-c\"\n!touch " + Path("PWNED") + "\n\xC2\x9B\\";
    evil["phases"][0]["operations"]["w'\r\n!touch " + Path("PWNED")]["p50Micros"] = 5;
    WriteWholeFile(Path("evil"), evil.dump());
  }
  static void TearDownTestSuite() { delete dir_; }

  // A name without an extension is that of a report.
  static std::string Path(const std::string& name) {
    return *dir_ / (name.find('.') == std::string::npos ? name + ".json" : name);
  }
  static Json Report(const std::string& name) { return Json::parse(ReadWholeFile(Path(name))); }
  // `text` with a leading "@name" replaced by Path(name).
  static std::string Expand(const std::string& text) {
    size_t end = text.find(':');
    return text[0] == '@' ? Path(text.substr(1, end - 1)) + text.substr(std::min(end, text.size()))
                          : text;
  }
  // dtk-report with `words` (expanded) and the variables `environment`.
  static ChildResult Run(Lines words, Lines environment = {}) {
    for (std::string& word : words) word = Expand(word);
    environment.insert(environment.begin(), "/usr/bin/env");
    environment.push_back(DTK_REPORT_BINARY);
    words.insert(words.begin(), environment.begin(), environment.end());
    return RunChild(words);
  }
  static TempDir* dir_;
};
TempDir* DtkReportTest::dir_ = nullptr;

// The table and the CSV of runs of chosen figures: in the table each figure
// to four digits in the unit of its row's largest median, a phase that
// failed by its status; in the CSV each exact.
TEST_F(DtkReportTest, TableAndCsvHoldEachColumnsFigures) {
  Lines words = {"@t-1", "@t-3", "@t-f", "@t-2", "@t-5", "@t-4"};
  ChildResult table = Run(words);
  words.insert(words.begin(), "--csv");
  ChildResult csv = Run(words);
  ASSERT_EQ(table.status + csv.status, 0) << table.err << csv.err;
  EXPECT_EQ(table.out, R"(6 runs in 3 columns
target: t
file system: unknown
platform: p
version: 1.0.0
settings: depth 2
columns of several runs: median (min-max)

                                          #1                   #2                             #3
processes                                  1                    2                              1
direct                                     -                 true                              -
runs                                       3                    2                              1
status                                    ok                   ok  failed: exit 2, verify failed
create seconds [s]     0.3702 (0.1234-1.234)  246.8 (123.4-370.2)                              -
create entries [k/s]   0.6000 (0.2000-2.000)  400.0 (200.0-600.0)                              -
create write p50 [us]  0.7500 (0.2500-2.500)  500.0 (250.0-750.0)                              -
verify seconds [s]       6.000 (2.000-20.00)     4000 (2000-6000)                         failed

#1: )" + Path("t-1") + ", " +
                           Path("t-2") + ", " + Path("t-4") + "\n#2: " + Path("t-3") + ", " +
                           Path("t-5") + "\n#3: " + Path("t-f") + "\n");
  EXPECT_EQ(csv.out,
            R"csv(column,label,runs,status,phase,phaseStatus,operation,figure,unit,median,min,max
1,"processes 1, direct -",3,ok,create,ok,,seconds,s,0.3702,0.1234,1.234
2,"processes 2, direct true",2,ok,create,ok,,seconds,s,246.79999999999998,123.39999999999999,370.2
1,"processes 1, direct -",3,ok,create,ok,,entriesPerSecond,1/s,600,200,2000
2,"processes 2, direct true",2,ok,create,ok,,entriesPerSecond,1/s,4e+05,2e+05,6e+05
1,"processes 1, direct -",3,ok,create,ok,write,p50Micros,us,0.75,0.25,2.5
2,"processes 2, direct true",2,ok,create,ok,write,p50Micros,us,500,250,750
1,"processes 1, direct -",3,ok,verify,ok,,seconds,s,6,2,20
2,"processes 2, direct true",2,ok,verify,ok,,seconds,s,4000,2000,6000
3,"processes 1, direct - (failed)",1,"failed: exit 2, verify failed",verify,failed,,seconds,s,0,0,0
)csv");
  // The samples of the runs with timelines, exact.
  EXPECT_EQ(Run({"--timeline", "--csv", "@t-f", "@t-1"}).out,
            "run,phase,t,seconds,files,directories,bytes,maxMicros\n" + Path("t-1") +
                ",create,0.1,0.1,247,2,98211,8647.2\n" + Path("t-1") +
                ",create,0.15,0.05,0,0,18446744073709551615,0\n");
}

TEST_F(DtkReportTest, ChartHasASeriesForEachColumnAndLeavesNoTemporaries) {
  if (RunChild({"/bin/sh", "-c", "command -v gnuplot"}).status != 0) {
    GTEST_SKIP() << "gnuplot is not installed (Debian: gnuplot-nox)";
  }
  TempDir temporary;
  ChildResult run =
      Run({"--chart", "@compare.svg", "@a-1", "@b-1", "@a-2"}, {"TMPDIR=" + temporary.path()});
  ASSERT_EQ(run.status, 0) << run.err;
  std::string svg = ReadWholeFile(Path("compare.svg"));
  EXPECT_NE(svg.find(">#1: target " + *dir_ / "a (2 runs: median, min-max)<"), std::string::npos);
  EXPECT_NE(svg.find(">#2: target " + *dir_ / "b<"), std::string::npos);
  EXPECT_EQ(svg.find("#3:"), std::string::npos);
  for (const char* title :
       {"Bytes per second by phase", "create: write", "remove: rmdir",
        ">create: entries per second over time<", ">remove: bytes per second over time<"}) {
    EXPECT_NE(svg.find(title), std::string::npos) << title;
  }
  EXPECT_EQ(temporary.List(), Lines{});

  // Hand-made names are drawn as text and run nothing.
  std::string odd = temporary / "it's\n!odd";  // never in the script
  mkdir(odd.c_str(), 0700);
  std::string evilRun = *dir_ / "it's\n!touch PWNED.json";  // named in the timelines' legend
  std::filesystem::copy_file(Path("evil"), evilRun);
  run = Run({"--chart", "@evil.svg", evilRun}, {"TMPDIR=" + odd});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(std::filesystem::exists(Path("PWNED")));
  std::string phase = ">-c'\\x0A!touch " + Path("PWNED") + "\\x0A\\x9B\\";  // " is ' in data
  svg = ReadWholeFile(Path("evil.svg"));
  for (const std::string& text :
       {phase + "<", Replaced(phase, "'", "\"") + ": bytes per second over time<",
        ">" + *dir_ / "it's\\x0A!touch PWNED.json<"}) {
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  }

  // As root: a link that another user put at the chart's name in a shared
  // directory leads nowhere.
  std::string shared = *dir_ / "shared", secret = *dir_ / "secret";
  mkdir(shared.c_str(), 0);
  chmod(shared.c_str(), 01777);
  WriteWholeFile(secret, "root's");
  chmod(secret.c_str(), 0600);
  if (AsOtherUser([&] { return symlink(secret.c_str(), (shared + "/c.svg").c_str()) == 0; })) {
    run = Run({"--chart", shared + "/c.svg", "@a-1"});
    EXPECT_EQ(run.err, "dtk-report: " + shared + "/c.svg: " + SystemText(ELOOP) + "\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadWholeFile(secret), "root's");
  }
}

// A stop while gnuplot draws ends it and leaves no temporary file behind;
// the status names the signal, as a shell's does.
TEST_F(DtkReportTest, StopEndsGnuplotAndLeavesNoTemporaries) {
  TempDir fake, temporary;
  WriteWholeFile(fake / "gnuplot", "#!/bin/sh\necho $$ > " + fake / "pid\nexec sleep 30\n");
  std::filesystem::permissions(fake / "gnuplot", std::filesystem::perms::owner_all);
  Child child({"/usr/bin/env", "PATH=" + fake.path() + ":/usr/bin:/bin",
               "TMPDIR=" + temporary.path(), DTK_REPORT_BINARY, "--chart", Path("stopped.svg"),
               Path("a-1")});
  for (int i = 0; i < 1000 && ReadWholeFile(fake / "pid").empty(); ++i) usleep(10000);
  child.Signal(SIGTERM);
  EXPECT_EQ(child.WaitWithoutReading(10), 128 + SIGTERM);
  EXPECT_EQ(temporary.List(), Lines{});
  EXPECT_NE(kill(std::stoi(ReadWholeFile(fake / "pid")), 0), 0) << "gnuplot runs on";
}

// Text from hand-made reports is shown escaped, in CSV also kept from
// reading as a formula, and the table's columns still line up.
TEST_F(DtkReportTest, TextFromReportsIsShownEscaped) {
  ChildResult table = Run({"@evil"});
  ChildResult csv = Run({"--csv", "@evil"});
  ChildResult timeline = Run({"--csv", "--timeline", "@evil"});
  std::string target = "=x'\\x0A!touch " + Path("PWNED") + "\\x0A\\x1B[2J";
  std::string phase = "-c\"\\x0A!touch " + Path("PWNED") + "\\x0A\\x9B\\";
  EXPECT_NE(table.out.find("\ntarget: " + target + "\n"), std::string::npos) << table.err;
  EXPECT_NE(table.out.find("\n" + phase + " seconds [ms]"), std::string::npos);
  EXPECT_NE(csv.out.find("\n1,'" + target + ",1,ok,\"'" + Replaced(phase, "\"", "\"\"") + "\","),
            std::string::npos);
  EXPECT_NE(
      timeline.out.find("\n" + Path("evil") + ",\"'" + Replaced(phase, "\"", "\"\"") + "\",0.1,"),
      std::string::npos);
  std::string shown = table.out + csv.out + timeline.out;
  EXPECT_TRUE(std::all_of(shown.begin(), shown.end(),
                          [](char c) { return c == '\n' || (c >= ' ' && c < 127); }));
  std::string rows = table.out.substr(table.out.find("\n\n") + 2);
  rows.erase(rows.find("\n\n"));
  for (const std::string& line : LinesStartingWith(rows, "")) {
    EXPECT_EQ(line.size(), rows.find('\n'));
  }
}

// Output that cannot be written and memory that runs out end with a line
// and status 1, never with a signal or as if all went well.
TEST_F(DtkReportTest, FullOutputAndLackOfMemoryEndWithALine) {
  const std::string full = "dtk-report: standard output: " + SystemText(ENOSPC) + "\n";
  const std::tuple<std::string, Lines, std::string> cases[] = {
      {">/dev/full", {"--help"}, full},
      {">/dev/full", Lines(60, "@t-f"), full},  // more than a stream's buffer
      {"ulimit -v 300000;", {"/dev/zero"}, "dtk-report: /dev/zero: out of memory\n"}};
  for (const auto& [shell, words, err] : cases) {
    if (kUnderAddressSanitizer && shell[0] == 'u') continue;  // its shadow memory
    ChildResult run = Run(words, {"/bin/sh", "-c", shell + " exec \"$0\" \"$@\""});
    EXPECT_EQ(run.status, 1) << shell;
    EXPECT_EQ(run.err, err);
  }
}

const std::string kUsage =
    "usage: dtk-report [--csv [--timeline]] [--chart FILE.svg|FILE.png] [--group-by KEYS] "
    "FILE.json...\n";

// Runs grouped by the keys given: one column for the good runs alike in
// those, which may differ in the rest; the machines of dtk-mpi runs in any
// order of their ranks. Each text is in the output, its runs of spaces
// made one.
TEST_F(DtkReportTest, GroupByJoinsRunsAlikeInTheKeysGiven) {
  const std::pair<Lines, Lines> cases[] = {
      {{"fileSystem,settings", "@a-1", "@b-1", "@a-2"},
       {"3 runs in 1 column", "\ntarget (2 values)\nruns 3\n"}},
      {{"settings", "@t-1", "@t-3", "@t-2"}, {"3 runs in 2 columns"}},
      {{"target", "@t-1", "@t-3", "@t-f", "@t-5"},
       {"4 runs in 2 columns", "\nprocesses (2 values) 1\n"}},
      {{"host,settings", "@t-3", "@t-5"}, {"2 runs in 1 column", "\nhost: n1,n2\n"}}};
  for (auto [words, texts] : cases) {
    words.insert(words.begin(), "--group-by");
    std::string out = std::regex_replace(Run(words).out, std::regex(" +"), " ");
    for (const std::string& text : texts) EXPECT_NE(out.find(text), std::string::npos) << out;
  }
  EXPECT_EQ(Run({"--version"}).out, "dtk-report " DTK_VERSION "\n");
  EXPECT_NE(Run({"-h"}).out.find("\n  --group-by KEYS "), std::string::npos);
}

// With no gnuplot on the PATH: bad input fails before the chart, with its
// message after "dtk-report: ".
TEST_F(DtkReportTest, BadInputGivesItsMessageAndWritesNothing) {
  const std::pair<Lines, std::string> inputs[] = {
      {{"@a-1", "@not-json"}, "@not-json: not JSON: parse error at line 2, column 2:"},
      {{"@array"}, "@array: not a dtk report: not a JSON object\n"},
      {{"@no-phases"}, "@no-phases: not a dtk report: phases is missing\n"},
      {{"@future"}, "@future: unknown report version \"2.0.0\" (dtk-report reads 1.x.y)\n"},
      {{"@deep"}, "@deep: nested deeper than 64 levels: not a dtk report\n"},
      {{"@minus-crc"},
       "@minus-crc: not a dtk report: phases[0].crcErrors is not a whole number in range\n"},
      {{"@huge"}, "@huge: not JSON: number overflow parsing '1e400'\n"},
      {{"@escape"},
       "@escape: not a dtk report: phases[0].operations.w\\x1B.p50Micros is not a number in "
       "range\n"},
      {{"@bad-timeline"},
       "@bad-timeline: not a dtk report: phases[0].timeline[1].files is not a whole number in "
       "range\n"},
      {{"/dev/zero"}, "/dev/zero: larger than 256 MiB: not a dtk report\n"},
      {{"@a-1", "@missing"}, "@missing: No such file or directory\n"},
      {{}, "no report given\n" + kUsage},
      {{"--bars", "@a-1"}, "unknown option --bars\n" + kUsage},
      {{"--chart", "@chart", "@a-1"}, "@chart: a chart's name ends in .svg or .png\n" + kUsage},
      {{"--group-by", "target,disk", "@a-1"},
       "--group-by: no key is named \"disk\" (target, fileSystem, engine, settings, host)\n" +
           kUsage},
      {{"@a-1", "--group-by"}, "--group-by needs keys\n" + kUsage},
      {{"--timeline", "@a-1"}, "--timeline goes with --csv\n" + kUsage},
      {{"--group-by", "target,host", "@a-1"}, "@a-1: no host to group by\n"},
      {{"--group-by", "settings,engine", "@t-3", "@t-1"}, "@t-3: no engine to group by\n"},
      {{"--group-by", "fileSystem", "@t-1"}, "@t-1: no fileSystem to group by\n"},
      {{"@a-1"},
       "gnuplot not found: the chart is drawn by gnuplot (on Debian: apt-get install "
       "gnuplot-nox)\n"},
      {{"--help"}, ""}};
  for (auto [words, message] : inputs) {
    SCOPED_TRACE(message);
    words.insert(words.begin(), {"--chart", "@chart.svg"});
    ChildResult run = Run(words, {"PATH=" + dir_->path()});
    std::string err = message.empty() ? "" : "dtk-report: " + Expand(message);
    EXPECT_EQ(run.status, message.empty() ? 0 : 1);
    EXPECT_EQ(run.err.substr(0, err.size()), err);
    EXPECT_EQ(run.out.substr(0, kUsage.size()), message.empty() ? kUsage : "");
    EXPECT_FALSE(std::filesystem::exists(Path("chart.svg"))) << "a chart was written";
  }
}

}  // namespace
}  // namespace dtk
