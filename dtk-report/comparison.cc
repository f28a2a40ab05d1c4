#include "dtk-report/comparison.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <map>
#include <set>
#include <tuple>

namespace dtk::report {
namespace {

// An attribute a run lacks (a setting that older reports do not have).
constexpr const char* kAbsent = "-";

// The attributes of a run by name; what groups runs.
using AttributeMap = std::map<std::string, std::string>;

AttributeMap ByName(const std::vector<Attribute>& attributes) {
  AttributeMap map;
  for (const Attribute& attribute : attributes) map[attribute.name] = attribute.value;
  return map;
}

constexpr std::pair<const char*, GroupKey> kGroupKeys[] = {{"target", GroupKey::kTarget},
                                                           {"fileSystem", GroupKey::kFileSystem},
                                                           {"engine", GroupKey::kEngine},
                                                           {"settings", GroupKey::kSettings},
                                                           {"host", GroupKey::kHost}};

const char* KeyName(GroupKey key) {
  return std::find_if(std::begin(kGroupKeys), std::end(kGroupKeys),
                      [&](const auto& known) { return known.second == key; })
      ->first;
}

// The value of a key other than settings; none where the run lacks it. A
// setting is looked up among settings only, and the rest among the others,
// so that a setting named "target" is no target.
std::optional<std::string> KeyValue(const RunInput& run, GroupKey key) {
  if (key == GroupKey::kHost) return run.host;
  if (key == GroupKey::kFileSystem && !run.hasFileSystem) return std::nullopt;
  const char* name = key == GroupKey::kTarget   ? "target"
                     : key == GroupKey::kEngine ? "engine"
                                                : "file system";
  for (const Attribute& attribute : run.attributes) {
    if (attribute.name == name && attribute.setting == (key == GroupKey::kEngine)) {
      return attribute.value;
    }
  }
  return std::nullopt;
}

// What groups a run with others under `keys`: all its attributes when
// there are none.
AttributeMap GroupedBy(const RunInput& run, const AttributeMap& all,
                       const std::vector<GroupKey>& keys) {
  if (keys.empty()) return all;
  AttributeMap map;
  for (GroupKey key : keys) {
    if (key != GroupKey::kSettings) {
      map[KeyName(key)] = KeyValue(run, key).value_or(kAbsent);
      continue;
    }
    for (const Attribute& attribute : run.attributes) {
      if (attribute.setting) map[std::string("settings.") + attribute.name] = attribute.value;
    }
  }
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

int PhaseRank(const std::string& phase) { return Rank(phase, {"create", "verify", "remove"}); }

bool RowBefore(const FigureKey& a, const FigureKey& b) {
  auto order = [](const FigureKey& key) {
    int phase = PhaseRank(key.phase);
    int operation = key.operation.empty()
                        ? -1
                        : Rank(key.operation, {"mkdir", "opendir", "open", "write", "read",
                                               "flush", "close", "unlink", "rmdir", "truncate"});
    return std::tuple(phase, key.phase, operation, key.operation, key.figure);
  };
  return order(a) < order(b);
}

}  // namespace

bool PhaseBefore(const std::string& a, const std::string& b) {
  return std::tuple(PhaseRank(a), a) < std::tuple(PhaseRank(b), b);
}

std::optional<std::vector<GroupKey>> ParseGroupKeys(const std::string& text, std::string* unknown) {
  std::vector<GroupKey> keys;
  for (size_t start = 0;;) {
    size_t end = std::min(text.find(',', start), text.size());
    std::string name = text.substr(start, end - start);
    auto known = std::find_if(std::begin(kGroupKeys), std::end(kGroupKeys),
                              [&](const auto& key) { return name == key.first; });
    if (known == std::end(kGroupKeys)) {
      *unknown = name;
      return std::nullopt;
    }
    keys.push_back(known->second);
    if (end == text.size()) return keys;
    start = end + 1;
  }
}

std::string MissingGroupKey(const RunInput& run, const std::vector<GroupKey>& keys) {
  for (GroupKey key : keys) {
    if (key != GroupKey::kSettings && !KeyValue(run, key)) return KeyName(key);
  }
  return std::string();
}

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

Comparison Compare(const std::vector<RunInput>& runs, const std::vector<GroupKey>& groupKeys) {
  Comparison comparison;
  comparison.runCount = runs.size();

  // The machines are an attribute only when they group runs: a report of
  // dtk names none.
  bool byHost = std::find(groupKeys.begin(), groupKeys.end(), GroupKey::kHost) != groupKeys.end();
  std::vector<std::vector<Attribute>> lists;
  for (const RunInput& run : runs) {
    lists.push_back(run.attributes);
    if (byHost && run.host) lists.back().push_back({"host", *run.host});
  }
  // Every attribute name in the order first seen, and whether its value
  // differs anywhere; a run without it counts as a value of its own.
  std::vector<Attribute> names;
  std::vector<AttributeMap> maps;
  std::vector<AttributeMap> groupings;
  for (size_t i = 0; i < runs.size(); ++i) {
    maps.push_back(ByName(lists[i]));
    groupings.push_back(GroupedBy(runs[i], maps.back(), groupKeys));
  }
  for (const std::vector<Attribute>& list : lists) {
    for (const Attribute& attribute : list) {
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

  // Columns: good runs alike in what groups them together; each failed
  // run alone, so that its figures never move a group's median.
  std::vector<std::vector<size_t>> members;
  for (size_t i = 0; i < runs.size(); ++i) {
    auto group = std::find_if(members.begin(), members.end(), [&](const std::vector<size_t>& m) {
      return runs[i].Succeeded() && runs[m[0]].Succeeded() && groupings[m[0]] == groupings[i];
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
      // Runs grouped by fewer keys may differ inside their column too.
      std::set<std::string> values;
      for (size_t i : group) values.insert(valueOf(i, name));
      column.values.push_back(
          values.size() == 1 ? *values.begin() : "(" + std::to_string(values.size()) + " values)");
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
