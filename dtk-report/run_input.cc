#include "dtk-report/run_input.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <set>

namespace dtk::report {
namespace {

using Json = nlohmann::ordered_json;

// Reports may come from anyone: a file past these bounds is refused before
// it can cost more memory or stack than a real one ever does. Real reports
// are a few kilobytes and nest a handful of levels (dtk-mpi's ranks).
constexpr size_t kMostBytes = size_t{256} << 20;
constexpr const char* kMostBytesText = "256 MiB";
constexpr int kMostLevels = 64;

constexpr FigureInfo kFigures[] = {
    {"seconds", "seconds", "s", "s", 1},          {"entriesPerSecond", "entries", "1/s", "/s", 1},
    {"bytesPerSecond", "bytes", "B/s", "B/s", 1}, {"p50Micros", "p50", "us", "s", 1e-6},
    {"p99Micros", "p99", "us", "s", 1e-6},        {"p999Micros", "p99.9", "us", "s", 1e-6},
    {"maxMicros", "max", "us", "s", 1e-6},
};

// A report's shape is checked field by field; the first field that is not
// what dtk writes ends the reading with this, naming the field.
struct BadReport {
  std::string reason;
};

[[noreturn]] void Fail(const std::string& where, const char* what) {
  throw BadReport{"not a dtk report: " + where + " " + what};
}

const Json& Member(const Json& object, const char* key, const std::string& where) {
  auto found = object.find(key);
  if (found == object.end()) Fail(where + key, "is missing");
  return *found;
}

std::string String(const Json& object, const char* key, const std::string& where) {
  const Json& value = Member(object, key, where);
  if (!value.is_string()) Fail(where + key, "is not a string");
  return value.get<std::string>();
}

// A figure that may be absent or null; any other value must be a number.
std::optional<double> OptionalNumber(const Json& object, const char* key,
                                     const std::string& where) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  if (!found->is_number()) Fail(where + key, "is not a number");
  double value = found->get<double>();
  if (!std::isfinite(value) || value < 0) Fail(where + key, "is not a number in range");
  return value;
}

// A count, such as the CRC errors of a phase: a whole number from 0 to
// `most`, which its type holds.
uint64_t WholeNumber(const Json& value, const std::string& where, uint64_t most) {
  if (!value.is_number_unsigned() || value.get<uint64_t>() > most) {
    Fail(where, "is not a whole number in range");
  }
  return value.get<uint64_t>();
}

// A figure that must be there, such as those of a timeline's sample.
double Number(const Json& object, const char* key, const std::string& where) {
  if (Member(object, key, where).is_null()) Fail(where + key, "is not a number");
  return *OptionalNumber(object, key, where);
}

// Whether the JSON `text` nests arrays and objects deeper than
// kMostLevels, strings and their escapes passed over; such a text never
// reaches the parser, so no part of it recurses without bound.
bool NestedTooDeep(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if ((c == '[' || c == '{') && ++depth > kMostLevels) {
      return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// A setting as a person reads it: text without quotes, everything else as
// JSON writes it.
std::string ValueText(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// The major number of a version "M.m.p"; nothing when it does not start
// with digits and a dot.
std::optional<int> MajorVersion(const std::string& version) {
  size_t digits = 0;
  while (digits < version.size() && digits < 6 && version[digits] >= '0' &&
         version[digits] <= '9') {
    ++digits;
  }
  if (digits == 0 || digits >= version.size() || version[digits] != '.') return std::nullopt;
  return std::stoi(version.substr(0, digits));
}

void ReadPhase(const Json& json, const std::string& where, RunInput* run) {
  if (!json.is_object()) Fail(where, "is not an object");
  PhaseOutcome outcome;
  outcome.name = String(json, "name", where + ".");
  outcome.status = String(json, "status", where + ".");
  auto crcErrors = json.find("crcErrors");
  if (crcErrors != json.end() && !crcErrors->is_null()) {
    outcome.crcErrors =
        WholeNumber(*crcErrors, where + ".crcErrors", std::numeric_limits<uint64_t>::max());
  }
  for (Figure figure : kPhaseFigures) {
    std::optional<double> value = OptionalNumber(json, Describe(figure).field, where + ".");
    if (value) run->figures[{outcome.name, "", figure}] = *value;
  }
  auto operations = json.find("operations");
  if (operations != json.end() && !operations->is_null()) {
    if (!operations->is_object()) Fail(where + ".operations", "is not an object");
    for (const auto& [name, op] : operations->items()) {
      std::string opWhere = where + ".operations." + name;
      if (!op.is_object()) Fail(opWhere, "is not an object");
      for (Figure figure : kOperationFigures) {
        std::optional<double> value = OptionalNumber(op, Describe(figure).field, opWhere + ".");
        if (value) run->figures[{outcome.name, name, figure}] = *value;
      }
    }
  }
  auto timeline = json.find("timeline");
  if (timeline != json.end() && !timeline->is_null()) {
    if (!timeline->is_array()) Fail(where + ".timeline", "is not an array");
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
    for (size_t i = 0; i < timeline->size(); ++i) {
      const Json& sample = (*timeline)[i];
      std::string at = where + ".timeline[" + std::to_string(i) + "]";
      if (!sample.is_object()) Fail(at, "is not an object");
      at += ".";
      outcome.timeline.push_back(
          {Number(sample, "t", at), Number(sample, "seconds", at),
           WholeNumber(Member(sample, "files", at), at + "files", kMost),
           WholeNumber(Member(sample, "directories", at), at + "directories", kMost),
           WholeNumber(Member(sample, "bytes", at), at + "bytes", kMost),
           Number(sample, "maxMicros", at)});
    }
  }
  run->phases.push_back(std::move(outcome));
}

RunInput ReadRun(const Json& json) {
  if (!json.is_object()) throw BadReport{"not a dtk report: not a JSON object"};
  // The version first: a later major version may have changed the rest.
  std::string version = String(json, "version", "");
  std::optional<int> major = MajorVersion(version);
  if (major != 1) {
    throw BadReport{"unknown report version \"" + version + "\" (dtk-report reads 1.x.y)"};
  }
  RunInput run;
  run.attributes.push_back({"target", String(json, "target", "")});
  auto fileSystem = json.find("fileSystem");
  if (fileSystem != json.end() && !fileSystem->is_null() && !fileSystem->is_string()) {
    Fail("fileSystem", "is not a string");
  }
  run.hasFileSystem = fileSystem != json.end();
  run.attributes.push_back({"file system", fileSystem == json.end() || fileSystem->is_null()
                                               ? "unknown"
                                               : fileSystem->get<std::string>()});
  run.attributes.push_back({"platform", String(json, "platform", "")});
  run.attributes.push_back({"version", version});
  // dtk-mpi lists its processes; a run of dtk is one.
  size_t processes = 1;
  auto ranks = json.find("ranks");
  if (ranks != json.end() && ranks->is_array() && !ranks->empty()) {
    processes = ranks->size();
    std::set<std::string> hosts;
    for (const Json& rank : *ranks) {
      auto host = rank.find("host");
      if (host != rank.end() && host->is_string()) hosts.insert(host->get<std::string>());
    }
    // Runs on the same machines are alike whatever ranks each one ran.
    for (const std::string& host : hosts) run.host = run.host ? *run.host + "," + host : host;
  }
  run.attributes.push_back({"processes", std::to_string(processes)});
  const Json& settings = Member(json, "settings", "");
  if (!settings.is_object()) Fail("settings", "is not an object");
  for (const auto& [key, value] : settings.items()) {
    run.attributes.push_back({key, ValueText(value), true});
  }

  run.exitStatus = static_cast<int64_t>(WholeNumber(Member(json, "exitStatus", ""), "exitStatus",
                                                    std::numeric_limits<int64_t>::max()));
  const Json& phases = Member(json, "phases", "");
  if (!phases.is_array()) Fail("phases", "is not an array");
  for (size_t i = 0; i < phases.size(); ++i) {
    ReadPhase(phases[i], "phases[" + std::to_string(i) + "]", &run);
  }
  return run;
}

}  // namespace

const FigureInfo& Describe(Figure figure) { return kFigures[static_cast<int>(figure)]; }

bool RunInput::Succeeded() const {
  if (exitStatus != 0) return false;
  for (const PhaseOutcome& phase : phases) {
    if (phase.status != "ok") return false;
  }
  return true;
}

std::string RunInput::Status() const {
  if (Succeeded()) return "ok";
  std::string status = "failed: exit " + std::to_string(exitStatus);
  for (const PhaseOutcome& phase : phases) {
    if (phase.status != "ok") status += ", " + phase.name + " " + phase.status;
    if (phase.crcErrors > 0) {
      status += ", " + phase.name + " " + std::to_string(phase.crcErrors) + " CRC errors";
    }
  }
  return status;
}

// The library's text without its tag, which is for programmers; a parse
// error's names the line and column.
std::string LibraryText(const Json::exception& e) {
  std::string what = e.what();
  size_t tagEnd = what.find("] ");
  return tagEnd == std::string::npos ? what : what.substr(tagEnd + 2);
}

std::optional<RunInput> ParseRun(std::string_view text, std::string* error) {
  if (NestedTooDeep(text)) {
    *error = "nested deeper than " + std::to_string(kMostLevels) + " levels: not a dtk report";
    return std::nullopt;
  }
  // The library's exceptions and a lack of memory end at this boundary:
  // any report, however made, is a message and never a crash.
  try {
    Json json;
    try {
      json = Json::parse(text);
    } catch (const Json::exception& e) {
      *error = "not JSON: " + LibraryText(e);
      return std::nullopt;
    }
    return ReadRun(json);
  } catch (const BadReport& bad) {
    *error = bad.reason;
  } catch (const Json::exception& e) {
    *error = "not a dtk report: " + LibraryText(e);
  } catch (const std::bad_alloc&) {
    *error = "out of memory";
  }
  return std::nullopt;
}

std::optional<RunInput> LoadRun(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return std::nullopt;
  }
  // A byte past the bound is enough to know: /dev/zero and a FIFO that
  // never ends are read no further.
  std::string text;
  bool failed = false;
  bool outOfMemory = false;
  int code = 0;
  try {
    char buffer[1 << 16];
    size_t count;
    while (text.size() <= kMostBytes &&
           (count = std::fread(buffer, 1, std::min(sizeof(buffer), kMostBytes + 1 - text.size()),
                               file)) > 0) {
      text.append(buffer, count);
    }
    failed = std::ferror(file);
    code = errno;
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  }
  std::fclose(file);
  if (outOfMemory || failed) {
    *error = outOfMemory ? "out of memory" : std::strerror(code);
    return std::nullopt;
  }
  if (text.size() > kMostBytes) {
    *error = std::string("larger than ") + kMostBytesText + ": not a dtk report";
    return std::nullopt;
  }
  std::optional<RunInput> run = ParseRun(text, error);
  if (run) run->file = path;
  return run;
}

}  // namespace dtk::report
