// dtk-report on the reports of real runs of dtk: the figures of the table,
// the CSV and the chart against the reports' own, groups of repeated runs,
// and the messages for what it cannot use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "test_util.h"

namespace dtk {
namespace {

using Json = nlohmann::ordered_json;
using Lines = std::vector<std::string>;

// Three runs on target a, one on b, and reports made from a-1 by hand.
class DtkReportTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    for (const char* name : {"a-1", "a-2", "a-3", "b-1"}) {
      std::string target = *dir_ / std::string(1, name[0]);
      std::filesystem::create_directories(target);
      ChildResult run = RunChild({DTK_BINARY, target, "-filesize", "1", "-maxDirFiles", "10",
                                  "-verify", "-report", Path(name)});
      ASSERT_EQ(run.status, 0) << run.err;
    }
    auto edit = [](const char* name, auto change) {
      Json report = Report("a-1");
      change(report);
      WriteWholeFile(Path(name), report.dump());
    };
    edit("failed", [](Json& r) { r["exitStatus"] = 2, r["phases"][1]["status"] = "failed"; });
    // What reports may also hold: no plan, no file system, no remove phase,
    // settings that others add, the processes of dtk-mpi, threads.
    edit("wide", [](Json& r) {
      r["plan"] = r["fileSystem"] = nullptr;
      r["phases"].erase(2);
      r["settings"].update({{"direct", true},
                            {"directBlockSize", nullptr},
                            {"threads", 4},
                            {"engine", "psync"},
                            {"depth", 2}});
      r["threads"] = r["ranks"] = Json::array({Json::object(), Json::object()});
    });
    edit("future", [](Json& r) { r["version"] = "2.0.0"; });
    edit("no-phases", [](Json& r) { r.erase("phases"); });
    WriteWholeFile(Path("not-json"), "{\"version\": \"1.0.0\",\n oops}");
    WriteWholeFile(Path("array"), "[1, 2]");
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

// The median, min and max of a figure over `reports`; nothing where none
// has it.
std::optional<std::array<double, 3>> Figure(const std::vector<Json>& reports,
                                            const std::string& phase, const std::string& operation,
                                            const std::string& field) {
  std::vector<double> values;
  for (const Json& report : reports) {
    for (const Json& p : report["phases"]) {
      const Json& holder = operation.empty() ? p : p["operations"].value(operation, Json());
      if (p["name"] == phase && holder.contains(field)) values.push_back(holder[field]);
    }
  }
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return std::array{(values[(n - 1) / 2] + values[n / 2]) / 2, values.front(), values.back()};
}

Lines Split(const std::string& text, const char* separator) {
  std::regex regex(separator);
  return {std::sregex_token_iterator(text.begin(), text.end(), regex, -1), {}};
}

// Fields of a CSV line; a quoted one may hold commas and doubled quotes.
Lines CsvFields(const std::string& line) {
  Lines fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += line[++i];
    } else if (line[i] == '"') {
      quoted = !quoted;
    } else if (line[i] == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += line[i];
    }
  }
  return fields;
}

struct GroupCase {
  std::string name;
  Lines reports;
  std::vector<Lines> columns;  // the reports of each column
  Lines differing;             // the header rows above "runs"
  Lines statuses = {"ok", "ok"};
};
void PrintTo(const GroupCase& c, std::ostream* out) { *out << c.name; }

class GroupTest : public DtkReportTest, public testing::WithParamInterface<GroupCase> {};

TEST_P(GroupTest, TableAndCsvHoldTheReportsFigures) {
  const GroupCase& c = GetParam();
  Lines args{"--csv"};
  for (const std::string& name : c.reports) args.push_back("@" + name);
  std::vector<std::vector<Json>> columns(c.columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    for (const std::string& name : c.columns[i]) columns[i].push_back(Report(name));
  }
  ChildResult csv = Run(args);
  ChildResult text = Run(Lines(args.begin() + 1, args.end()));
  ASSERT_EQ(csv.status + text.status, 0) << csv.err << text.err;

  // CSV: every figure of every column, exact, and nothing else.
  Lines rows = Split(csv.out, "\n");
  EXPECT_EQ(rows[0],
            "column,label,runs,status,phase,phaseStatus,operation,figure,unit,median,"
            "min,max");
  std::vector<size_t> expectedRows(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    for (const Json& phase : columns[i][0]["phases"]) {
      expectedRows[i] += 3 + 4 * phase["operations"].size();
    }
  }
  for (size_t r = 1; r < rows.size(); ++r) {
    Lines f = CsvFields(rows[r]);
    ASSERT_EQ(f.size(), 12u) << rows[r];
    size_t i = std::stoul(f[0]) - 1;
    ASSERT_LT(i, columns.size()) << rows[r];
    --expectedRows[i];
    EXPECT_EQ(f[2], std::to_string(columns[i].size())) << rows[r];
    EXPECT_EQ(f[3], c.statuses[i]) << rows[r];
    auto want = Figure(columns[i], f[4], f[6], f[7]);
    ASSERT_TRUE(want) << rows[r];
    EXPECT_EQ((std::array{std::stod(f[9]), std::stod(f[10]), std::stod(f[11])}), *want) << rows[r];
  }
  EXPECT_EQ(expectedRows, std::vector<size_t>(columns.size(), 0));

  // Text: what differs above "runs", then the figures in the row's unit.
  Lines lines = Split(text.out, "\n");
  auto line = std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.find("#1") != std::string::npos; });
  ASSERT_NE(line, lines.end()) << text.out;
  Lines differing;
  while (++line < lines.end() && line->rfind("runs ", 0) != 0) {
    differing.push_back(Split(*line, "  +")[0]);
  }
  EXPECT_EQ(differing, c.differing) << text.out;
  const std::map<std::string, std::pair<std::string, double>> figures{
      {"seconds", {"seconds", 1}},      {"entries", {"entriesPerSecond", 1}},
      {"bytes", {"bytesPerSecond", 1}}, {"p50", {"p50Micros", 1e-6}},
      {"p99", {"p99Micros", 1e-6}},     {"p99.9", {"p999Micros", 1e-6}},
      {"max", {"maxMicros", 1e-6}}};
  const std::string prefixes = "num kMGT";
  const std::regex rowName(R"((\w+) (?:(\w+) )?(\S+) \[(\S+)\])");
  const std::regex cellText(R"(([\d.]+)(?: \(([\d.]+)-([\d.]+)\))?)");
  int cellsChecked = 0;
  for (line += 2; line < lines.end() && !line->empty(); ++line) {
    Lines cells = Split(*line, "  +");
    std::smatch name;
    ASSERT_TRUE(std::regex_match(cells[0], name, rowName) && figures.count(name[3])) << *line;
    ASSERT_EQ(cells.size(), columns.size() + 1) << *line;
    auto [field, toBase] = figures.at(name[3]);
    size_t prefix = prefixes.find(name[4].str()[0]);
    double scale = toBase / std::pow(1000.0, prefix == std::string::npos ? 0.0 : prefix - 3.0);
    for (size_t i = 0; i < columns.size(); ++i) {
      auto want = Figure(columns[i], name[1], name[2], field);
      // A phase that did not end "ok" shows its status for its own figures.
      std::string status = "ok";
      for (const Json& phase : columns[i][0]["phases"]) {
        if (phase["name"] == name[1].str() && name[2].length() == 0) status = phase["status"];
      }
      std::smatch n;
      if (!want || status != "ok") {
        EXPECT_EQ(cells[i + 1], want ? status : "-") << *line;
        continue;
      }
      ASSERT_TRUE(std::regex_match(cells[i + 1], n, cellText)) << *line;
      EXPECT_EQ(n[2].matched, columns[i].size() > 1) << *line;
      for (int k : {1, 2, 3}) {
        if (!n[k].matched) continue;
        // To half a unit of the number's last decimal.
        size_t point = n[k].str().find('.');
        double decimals = point == std::string::npos ? 0.0 : n[k].length() - point - 1.0;
        EXPECT_NEAR(std::stod(n[k]), (*want)[k - 1] * scale, 0.5001 * std::pow(10, -decimals))
            << *line;
      }
      ++cellsChecked;
    }
  }
  EXPECT_GT(cellsChecked, 60);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, GroupTest,
    testing::Values(
        GroupCase{
            "OddGroup", {"a-1", "a-2", "a-3", "b-1"}, {{"a-1", "a-2", "a-3"}, {"b-1"}}, {"target"}},
        // Given apart; the median of two is their mean.
        GroupCase{"EvenGroup", {"a-1", "b-1", "a-2"}, {{"a-1", "a-2"}, {"b-1"}}, {"target"}},
        GroupCase{"FailedRunStaysApart",
                  {"a-1", "failed", "a-2", "a-3"},
                  {{"a-1", "a-2", "a-3"}, {"failed"}},
                  {},
                  {"ok", "failed: exit 2, verify failed"}},
        GroupCase{"NewSettings",
                  {"a-1", "wide", "a-2"},
                  {{"a-1", "a-2"}, {"wide"}},
                  {"file system", "processes", "engine", "depth", "threads", "direct",
                   "directBlockSize"}}),
    [](const auto& info) { return info.param.name; });

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
  for (const char* title : {"Bytes per second by phase", "create: write", "remove: rmdir"}) {
    EXPECT_NE(svg.find(title), std::string::npos) << title;
  }
  EXPECT_EQ(temporary.List(), Lines{});
}

struct CommandCase {
  std::string name;
  Lines words;          // after "--chart @chart.svg"
  std::string message;  // the start of standard error after "dtk-report: "
};

const std::string kUsage = "usage: dtk-report [--csv] [--chart FILE.svg|FILE.png] FILE.json...\n";

// With no gnuplot on the PATH: bad input fails before the chart.
TEST_F(DtkReportTest, BadInputGivesItsMessageAndWritesNothing) {
  const CommandCase inputs[] = {
      {"NotJson", {"@a-1", "@not-json"}, "@not-json: not JSON: parse error at line 2, column 2:"},
      {"NotAnObject", {"@array"}, "@array: not a dtk report: not a JSON object\n"},
      {"NoPhases", {"@no-phases"}, "@no-phases: not a dtk report: phases is missing\n"},
      {"UnknownVersion",
       {"@future"},
       "@future: unknown report version \"2.0.0\" (dtk-report reads 1.x.y)\n"},
      {"MissingFile", {"@a-1", "@missing"}, "@missing: No such file or directory\n"},
      {"NoFiles", {}, "no report given\n" + kUsage},
      {"UnknownOption", {"--bars", "@a-1"}, "unknown option --bars\n" + kUsage},
      {"NotAChartName",
       {"--chart", "@chart", "@a-1"},
       "@chart: a chart's name ends in .svg or .png\n" + kUsage},
      {"NoGnuplot",
       {"@a-1"},
       "gnuplot not found: the chart is drawn by gnuplot (on Debian: apt-get install "
       "gnuplot-nox)\n"},
      {"Help", {"--help"}, ""}};
  for (const CommandCase& c : inputs) {
    SCOPED_TRACE(c.name);
    Lines words{"--chart", "@chart.svg"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    ChildResult run = Run(words, {"PATH=" + dir_->path()});
    bool help = c.name == "Help";
    EXPECT_EQ(run.status, help ? 0 : 1);
    std::string err = help ? "" : "dtk-report: " + Expand(c.message);
    EXPECT_EQ(run.err.substr(0, err.size()), err);
    EXPECT_EQ(run.out, help ? kUsage : "");
    EXPECT_FALSE(std::filesystem::exists(Path("chart.svg"))) << "a chart was written";
  }
}

}  // namespace
}  // namespace dtk
