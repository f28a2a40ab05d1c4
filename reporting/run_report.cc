#include "reporting/run_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
    json["crcErrors"] = phase.directoriesOrErrors;
  } else {
    json["directories"] = phase.directoriesOrErrors;
    entries += phase.directoriesOrErrors;
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
  if (!phase.timeline.empty()) {
    Json timeline = Json::array();
    for (const TimelineSample& sample : phase.timeline) {
      timeline.push_back({{"t", sample.t},
                          {"seconds", sample.seconds},
                          {"files", sample.files},
                          {"directories", sample.directories},
                          {"bytes", sample.bytes},
                          {"maxMicros", sample.maxMicros}});
    }
    json["timeline"] = std::move(timeline);
  }
  return json;
}

// A rank of dtk-mpi, or with `isThread` a thread of dtk, which has no host
// of its own.
Json RankObject(const RankReport& rank, bool isThread = false) {
  Json json;
  if (isThread) {
    json["thread"] = rank.rank;
  } else {
    json["rank"] = rank.rank;
    json["host"] = ValidUtf8Text(rank.host);
  }
  json["exitStatus"] = rank.exitStatus;
  Json phases = Json::array();
  for (const PhaseReport& phase : rank.phases) phases.push_back(PhaseJson(phase));
  json["phases"] = std::move(phases);
  return json;
}

PhaseReport PhaseFromJson(const Json& json) {
  PhaseReport phase;
  phase.name = json.at("name").get<std::string>();
  phase.status = json.at("status").get<std::string>();
  phase.start = json.at("start").get<std::string>();
  phase.seconds = json.at("seconds").get<double>();
  phase.files = json.at("files").get<uint64_t>();
  phase.directoriesOrErrors =
      json.at(phase.IsVerify() ? "crcErrors" : "directories").get<uint64_t>();
  phase.bytes = json.at("bytes").get<int64_t>();
  for (const auto& [name, op] : json.at("operations").items()) {
    LatencySummary summary;
    summary.name = name;
    summary.count = op.at("count").get<uint64_t>();
    summary.seconds = op.at("seconds").get<double>();
    summary.meanMicros = op.at("meanMicros").get<double>();
    summary.minMicros = op.at("minMicros").get<double>();
    summary.maxMicros = op.at("maxMicros").get<double>();
    summary.p50Micros = op.at("p50Micros").get<double>();
    summary.p90Micros = op.at("p90Micros").get<double>();
    summary.p99Micros = op.at("p99Micros").get<double>();
    summary.p999Micros = op.at("p999Micros").get<double>();
    phase.operations.push_back(std::move(summary));
  }
  for (const Json& failure : json.at("failures")) {
    phase.failures.push_back(
        {failure.at("operation").get<std::string>(), failure.at("path").get<std::string>(),
         failure.at("code").get<ErrorCode>(), failure.at("message").get<std::string>()});
  }
  phase.failuresNotListed = json.at("failuresNotListed").get<uint64_t>();
  if (phase.IsVerify()) {
    for (const Json& mismatch : json.at("crcMismatches")) {
      auto hex = [&](const char* key) {
        return static_cast<uint32_t>(
            std::strtoul(mismatch.at(key).get<std::string>().c_str(), nullptr, 16));
      };
      phase.crcMismatches.push_back(
          {mismatch.at("path").get<std::string>(), hex("expected"), hex("actual")});
    }
    phase.crcMismatchesNotListed = json.at("crcMismatchesNotListed").get<uint64_t>();
  }
  if (auto timeline = json.find("timeline"); timeline != json.end()) {
    for (const Json& sample : *timeline) {
      phase.timeline.push_back(
          {sample.at("t").get<double>(), sample.at("seconds").get<double>(),
           sample.at("files").get<uint64_t>(), sample.at("directories").get<uint64_t>(),
           sample.at("bytes").get<int64_t>(), sample.at("maxMicros").get<double>()});
    }
  }
  return phase;
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
                      {"sync", settings.sync},
                      {"engine", settings.engine},
                      {"depth", settings.depth},
                      {"threads", settings.threads},
                      {"direct", settings.direct}};
  json["directBlockSize"] = report.directBlockSize ? Json(*report.directBlockSize) : Json(nullptr);
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
  if (!report.ranks.empty()) {
    Json ranks = Json::array();
    for (const RankReport& rank : report.ranks) ranks.push_back(RankObject(rank));
    json["ranks"] = std::move(ranks);
  }
  if (!report.threads.empty()) {
    Json threads = Json::array();
    for (const RankReport& thread : report.threads) threads.push_back(RankObject(thread, true));
    json["threads"] = std::move(threads);
  }
  json["exitStatus"] = report.exitStatus;
  return json.dump(2) + "\n";
}

std::string RankJson(const RankReport& rank) { return RankObject(rank).dump(); }

std::optional<RankReport> ParseRankJson(std::string_view text) {
  Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  // The text is what RankJson wrote; a missing or mistyped field makes the
  // library throw, which here only means the text was not such a report.
  try {
    RankReport rank;
    rank.rank = json.at("rank").get<int>();
    rank.host = json.at("host").get<std::string>();
    rank.exitStatus = json.at("exitStatus").get<int>();
    for (const Json& phase : json.at("phases")) rank.phases.push_back(PhaseFromJson(phase));
    return rank;
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

PhaseReport CombinePhases(const std::vector<RankReport>& ranks, size_t index) {
  constexpr size_t kMaxListed = 1000;
  PhaseReport whole;
  bool first = true;
  for (const RankReport& rank : ranks) {
    const PhaseReport& phase = rank.phases[index];
    if (first) {
      whole.name = phase.name;
      whole.start = phase.start;
      whole.seconds = phase.seconds;
      whole.status = "ok";
      first = false;
    }
    if (phase.status == "failed" || (phase.status == "interrupted" && whole.status == "ok")) {
      whole.status = phase.status;
    }
    whole.files += phase.files;
    whole.directoriesOrErrors += phase.directoriesOrErrors;
    whole.bytes += phase.bytes;
    for (const FailureEntry& failure : phase.failures) {
      if (whole.failures.size() < kMaxListed) {
        whole.failures.push_back(failure);
      } else {
        ++whole.failuresNotListed;
      }
    }
    whole.failuresNotListed += phase.failuresNotListed;
    for (const CrcMismatchEntry& mismatch : phase.crcMismatches) {
      if (whole.crcMismatches.size() < kMaxListed) {
        whole.crcMismatches.push_back(mismatch);
      } else {
        ++whole.crcMismatchesNotListed;
      }
    }
    whole.crcMismatchesNotListed += phase.crcMismatchesNotListed;
    if (whole.timeline.size() < phase.timeline.size()) {
      whole.timeline.resize(phase.timeline.size());
    }
    for (size_t k = 0; k < phase.timeline.size(); ++k) {
      TimelineSample& sum = whole.timeline[k];
      const TimelineSample& sample = phase.timeline[k];
      // The longest rank's end of a sample, where some ranks ended sooner.
      sum.t = std::max(sum.t, sample.t);
      sum.seconds = std::max(sum.seconds, sample.seconds);
      sum.files += sample.files;
      sum.directories += sample.directories;
      sum.bytes += sample.bytes;
      sum.maxMicros = std::max(sum.maxMicros, sample.maxMicros);
    }
  }
  return whole;
}

bool AddSample(std::vector<TimelineSample>& timeline, const TimelineSample& sample) {
  timeline.push_back(sample);
  if (timeline.size() < kMaxTimelineSamples) return false;
  // Neighbours merge two by two: the later one's end, their length, their
  // sums and their slowest call; an odd last one stays as it is.
  size_t kept = 0;
  for (size_t k = 0; k < timeline.size(); k += 2) {
    TimelineSample merged = timeline[k];
    if (k + 1 < timeline.size()) {
      const TimelineSample& next = timeline[k + 1];
      merged.t = next.t;
      merged.seconds += next.seconds;
      merged.files += next.files;
      merged.directories += next.directories;
      merged.bytes += next.bytes;
      merged.maxMicros = std::max(merged.maxMicros, next.maxMicros);
    }
    timeline[kept++] = merged;
  }
  timeline.resize(kept);
  return true;
}

}  // namespace dtk
