#include "dtk-report/comparison.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <set>
#include <tuple>

namespace dtk::report {
namespace {

// An attribute a run lacks (a setting that older reports do not have).
constexpr const char* kAbsent = "-";

// The attributes of a run by name; what groups runs.
using AttributeMap = std::map<std::string, std::string>;

AttributeMap ByName(const RunInput& run) {
  AttributeMap map;
  for (const Attribute& attribute : run.attributes) map[attribute.name] = attribute.value;
  return map;
}

// Position of a name among the known ones, known names first.
int Rank(const std::string& name, std::initializer_list<const char*> known) {
  int rank = 0;
  for (const char* candidate : known) {
    if (name == candidate) return rank;
    ++rank;
  }
  return rank;
}

bool RowBefore(const FigureKey& a, const FigureKey& b) {
  auto order = [](const FigureKey& key) {
    int phase = Rank(key.phase, {"create", "verify", "remove"});
    int operation = key.operation.empty()
                        ? -1
                        : Rank(key.operation, {"mkdir", "open", "write", "read", "flush", "close",
                                               "unlink", "rmdir"});
    return std::tuple(phase, key.phase, operation, key.operation, key.figure);
  };
  return order(a) < order(b);
}

}  // namespace

Spread Summarize(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  Spread spread;
  spread.count = n;
  spread.min = values.front();
  spread.max = values.back();
  spread.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return spread;
}

Comparison Compare(const std::vector<RunInput>& runs) {
  Comparison comparison;
  comparison.runCount = runs.size();

  // Every attribute name in the order first seen, and whether its value
  // differs anywhere; a run without it counts as a value of its own.
  std::vector<Attribute> names;
  std::vector<AttributeMap> maps;
  for (const RunInput& run : runs) maps.push_back(ByName(run));
  for (const RunInput& run : runs) {
    for (const Attribute& attribute : run.attributes) {
      bool seen = std::any_of(names.begin(), names.end(),
                              [&](const Attribute& a) { return a.name == attribute.name; });
      if (!seen) names.push_back(attribute);
    }
  }
  auto valueOf = [&](size_t run, const std::string& name) {
    auto found = maps[run].find(name);
    return found == maps[run].end() ? std::string(kAbsent) : found->second;
  };
  for (const Attribute& attribute : names) {
    bool differs = false;
    for (size_t i = 1; i < runs.size(); ++i) {
      differs |= valueOf(i, attribute.name) != valueOf(0, attribute.name);
    }
    if (differs) {
      comparison.differing.push_back(attribute.name);
    } else {
      comparison.shared.push_back({attribute.name, valueOf(0, attribute.name), attribute.setting});
    }
  }

  // Columns: good runs with equal attributes together; each failed run
  // alone, so that its figures never move a group's median.
  std::vector<std::vector<size_t>> members;
  for (size_t i = 0; i < runs.size(); ++i) {
    auto group = std::find_if(members.begin(), members.end(), [&](const std::vector<size_t>& m) {
      return runs[i].Succeeded() && runs[m[0]].Succeeded() && maps[m[0]] == maps[i];
    });
    if (group == members.end()) {
      members.push_back({i});
    } else {
      group->push_back(i);
    }
  }
  for (const std::vector<size_t>& group : members) {
    const RunInput& first = runs[group[0]];
    Column column;
    for (size_t i : group) column.files.push_back(runs[i].file);
    column.succeeded = first.Succeeded();
    column.status = first.Status();
    for (const std::string& name : comparison.differing) {
      column.values.push_back(valueOf(group[0], name));
      column.label += (column.label.empty() ? "" : ", ") + name + " " + column.values.back();
    }
    // With nothing differing the target names the runs.
    if (column.label.empty()) column.label = valueOf(group[0], "target");
    if (!column.succeeded) column.label += " (failed)";
    comparison.columns.push_back(std::move(column));
  }
  // Failed runs of the same kind would share a label: their column numbers
  // tell them apart.
  std::map<std::string, int> labelCount;
  for (const Column& column : comparison.columns) ++labelCount[column.label];
  for (size_t c = 0; c < comparison.columns.size(); ++c) {
    Column& column = comparison.columns[c];
    if (labelCount[column.label] > 1) column.label += " #" + std::to_string(c + 1);
  }

  std::set<FigureKey> keys;
  for (const RunInput& run : runs) {
    for (const auto& [key, value] : run.figures) keys.insert(key);
  }
  std::vector<FigureKey> ordered(keys.begin(), keys.end());
  std::stable_sort(ordered.begin(), ordered.end(), RowBefore);
  for (const FigureKey& key : ordered) {
    Row row{key, {}};
    for (const std::vector<size_t>& group : members) {
      std::vector<double> values;
      Cell cell;
      for (size_t i : group) {
        auto found = runs[i].figures.find(key);
        if (found != runs[i].figures.end()) values.push_back(found->second);
        for (const PhaseOutcome& phase : runs[i].phases) {
          if (phase.name == key.phase) cell.phaseStatus = phase.status;
        }
      }
      if (!values.empty()) cell.spread = Summarize(values);
      row.cells.push_back(std::move(cell));
    }
    comparison.rows.push_back(std::move(row));
  }
  return comparison;
}

}  // namespace dtk::report
