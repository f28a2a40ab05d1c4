#include "dtk-report/run_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace dtk::report {
namespace {

using Json = nlohmann::ordered_json;

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
  return found->get<double>();
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
  outcome.crcErrors =
      static_cast<uint64_t>(OptionalNumber(json, "crcErrors", where + ".").value_or(0));
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
  run.attributes.push_back({"file system", fileSystem == json.end() || fileSystem->is_null()
                                               ? "unknown"
                                               : fileSystem->get<std::string>()});
  run.attributes.push_back({"platform", String(json, "platform", "")});
  run.attributes.push_back({"version", version});
  // dtk-mpi lists its processes; a run of dtk is one.
  size_t processes = 1;
  auto ranks = json.find("ranks");
  if (ranks != json.end() && ranks->is_array() && !ranks->empty()) processes = ranks->size();
  run.attributes.push_back({"processes", std::to_string(processes)});
  const Json& settings = Member(json, "settings", "");
  if (!settings.is_object()) Fail("settings", "is not an object");
  for (const auto& [key, value] : settings.items()) {
    run.attributes.push_back({key, ValueText(value), true});
  }

  const Json& exitStatus = Member(json, "exitStatus", "");
  if (!exitStatus.is_number_integer()) Fail("exitStatus", "is not an integer");
  run.exitStatus = exitStatus.get<int64_t>();
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

std::optional<RunInput> ParseRun(std::string_view text, std::string* error) {
  Json json;
  try {
    json = Json::parse(text);
  } catch (const Json::parse_error& e) {
    // The library's text names the line and column; its tag is for
    // programmers.
    std::string what = e.what();
    size_t tagEnd = what.find("] ");
    *error = "not JSON: " + (tagEnd == std::string::npos ? what : what.substr(tagEnd + 2));
    return std::nullopt;
  }
  try {
    return ReadRun(json);
  } catch (const BadReport& bad) {
    *error = bad.reason;
    return std::nullopt;
  }
}

std::optional<RunInput> LoadRun(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  char buffer[1 << 16];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, count);
  bool failed = std::ferror(file);
  int code = errno;
  std::fclose(file);
  if (failed) {
    *error = std::strerror(code);
    return std::nullopt;
  }
  std::optional<RunInput> run = ParseRun(text, error);
  if (run) run->file = path;
  return run;
}

}  // namespace dtk::report
