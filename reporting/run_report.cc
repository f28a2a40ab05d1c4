#include "reporting/run_report.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace dtk {
namespace {

using Json = nlohmann::ordered_json;

double Micros(uint64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1000.0; }

std::string Hex8(uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof(text), "%08X", value);
  return text;
}

double PerSecond(double amount, double seconds) { return seconds > 0 ? amount / seconds : 0.0; }

Json PhaseJson(const PhaseReport& phase) {
  Json json;
  json["name"] = phase.name;
  json["status"] = phase.status;
  json["start"] = phase.start;
  json["seconds"] = phase.seconds;
  json["files"] = phase.files;
  uint64_t entries = phase.files;
  if (phase.IsVerify()) {
    json["crcErrors"] = phase.second;
  } else {
    json["directories"] = phase.second;
    entries += phase.second;
  }
  json["bytes"] = phase.bytes;
  json["bytesPerSecond"] = PerSecond(static_cast<double>(phase.bytes), phase.seconds);
  json["entriesPerSecond"] = PerSecond(static_cast<double>(entries), phase.seconds);
  Json operations = Json::object();
  for (const LatencySummary& op : phase.operations) {
    operations[op.name] = {
        {"count", op.count},         {"seconds", op.seconds},     {"meanMicros", op.meanMicros},
        {"minMicros", op.minMicros}, {"maxMicros", op.maxMicros}, {"p50Micros", op.p50Micros},
        {"p90Micros", op.p90Micros}, {"p99Micros", op.p99Micros}, {"p999Micros", op.p999Micros}};
  }
  json["operations"] = std::move(operations);
  Json failures = Json::array();
  for (const FailureEntry& failure : phase.failures) {
    failures.push_back({{"operation", failure.operation},
                        {"path", ValidUtf8Text(failure.path)},
                        {"code", failure.code},
                        {"message", ValidUtf8Text(failure.message)}});
  }
  json["failures"] = std::move(failures);
  json["failuresNotListed"] = phase.failuresNotListed;
  if (phase.IsVerify()) {
    Json mismatches = Json::array();
    for (const CrcMismatchEntry& mismatch : phase.crcMismatches) {
      mismatches.push_back({{"path", ValidUtf8Text(mismatch.path)},
                            {"expected", Hex8(mismatch.expected)},
                            {"actual", Hex8(mismatch.actual)}});
    }
    json["crcMismatches"] = std::move(mismatches);
    json["crcMismatchesNotListed"] = phase.crcMismatchesNotListed;
  }
  return json;
}

// The length of the well-formed UTF-8 sequence at the start of `bytes`, or
// 0 when it does not start with one.
size_t Utf8SequenceLength(std::string_view bytes) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  if (at(1) < low || at(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

LatencySummary SummarizeLatencies(std::string name, const LatencyHistogram& histogram) {
  LatencySummary summary;
  summary.name = std::move(name);
  summary.count = histogram.count();
  if (summary.count == 0) return summary;
  summary.seconds = static_cast<double>(histogram.total()) / 1e9;
  summary.meanMicros = Micros(histogram.total()) / static_cast<double>(summary.count);
  summary.minMicros = Micros(histogram.min());
  summary.maxMicros = Micros(histogram.max());
  summary.p50Micros = Micros(histogram.Quantile(0.5));
  summary.p90Micros = Micros(histogram.Quantile(0.9));
  summary.p99Micros = Micros(histogram.Quantile(0.99));
  summary.p999Micros = Micros(histogram.Quantile(0.999));
  return summary;
}

std::string ValidUtf8Text(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    size_t length = Utf8SequenceLength(bytes);
    if (length == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned char>(bytes[0]));
      text += escaped;
      length = 1;
    } else {
      text.append(bytes.substr(0, length));
    }
    bytes.remove_prefix(length);
  }
  return text;
}

std::string ReportJson(const RunReport& report) {
  Json json;
  json["version"] = report.version;
  json["platform"] = report.platform;
  json["target"] = ValidUtf8Text(report.target);
  json["fileSystem"] = report.fileSystem ? Json(ValidUtf8Text(*report.fileSystem)) : Json(nullptr);
  const ReportSettings& settings = report.settings;
  json["settings"] = {{"totalSize", settings.totalSize},
                      {"minFileSize", settings.minFileSize},
                      {"maxFileSize", settings.maxFileSize},
                      {"maxDirFiles", settings.maxDirFiles},
                      {"maxDirLevel", settings.maxDirLevel},
                      {"verify", settings.verify},
                      {"noCreate", settings.noCreate},
                      {"noRemove", settings.noRemove},
                      {"sync", settings.sync}};
  if (report.plan) {
    json["plan"] = {{"files", report.plan->files},
                    {"directories", report.plan->directories},
                    {"bytes", report.plan->bytes}};
  } else {
    json["plan"] = nullptr;
  }
  Json phases = Json::array();
  for (const PhaseReport& phase : report.phases) phases.push_back(PhaseJson(phase));
  json["phases"] = std::move(phases);
  json["exitStatus"] = report.exitStatus;
  return json.dump(2) + "\n";
}

ErrorCode WriteReportFile(FileSystem& fileSystem, const char* path, std::string_view text) {
  std::string temporary = std::string(path) + ".tmp";
  FileHandle file;
  ErrorCode code = fileSystem.OpenForWrite(temporary.c_str(), &file);
  if (code != 0) return code;
  constexpr size_t kChunk = 1 << 20;
  for (size_t done = 0; code == 0 && done < text.size(); done += kChunk) {
    size_t count = std::min(kChunk, text.size() - done);
    code = fileSystem.Write(file, text.data() + done, static_cast<uint32_t>(count));
  }
  if (code == 0) code = fileSystem.Flush(file);
  ErrorCode closeCode = fileSystem.Close(file);
  if (code == 0) code = closeCode;
  if (code == 0) code = RenameOver(temporary.c_str(), path);
  if (code != 0) fileSystem.DeleteFile(temporary.c_str());
  return code;
}

}  // namespace dtk
