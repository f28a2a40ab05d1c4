// Feeds arbitrary command lines to the parser under both option rules. The
// input is split into words at NUL bytes. Besides the sanitizers' checks it
// holds the parser to what the run relies on: every refusal is one of its
// known messages; a good command line asks for the help or the version
// (and gets a text), or names a target among its words, settings the
// planner can take and counts of dtk's own within their ranges; and
// numbers read as the C library's strtol would, held within 32 bits.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/command_line.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

int32_t ReferenceNumber(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}

void Check(const std::vector<std::string>& words, const dtk::OptionRules& rules) {
  std::vector<const char*> argv{"dtk"};
  for (const auto& word : words) argv.push_back(word.c_str());
  dtk::CommandLine line;
  std::string error =
      dtk::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), rules, &line);
  if (!error.empty()) {
    auto between = [&](const char* start, const char* end) {
      size_t s = std::strlen(start), e = std::strlen(end);
      return error.size() >= s + e && error.compare(0, s, start) == 0 &&
             error.compare(error.size() - e, e, end) == 0;
    };
    Require(error == "Parameter error!\n" || error == "Min/Max Filesize error!\n" ||
            between("Parameter error! (", ")\n") ||
            between("Engine error!: no engine is named ", " (sync, uring)\n"));
    return;
  }
  // Asked for the help or the version: a text, and no target needed.
  bool asks = line.asks != dtk::CommandLine::Asks::kRun;
  int argc = static_cast<int>(argv.size());
  Require(asks == !dtk::HelpOrVersionText(argc, argv.data(), rules, "dtk").empty());
  if (asks) return;
  Require(line.threads >= 1 && line.threads <= dtk::kMaxThreads);
  Require(line.depth >= 1 && line.depth <= dtk::kMaxEngineDepth);
  Require(static_cast<int32_t>(line.intervalMs) >= dtk::kMinIntervalMs &&
          static_cast<int32_t>(line.intervalMs) <= dtk::kMaxIntervalMs);
  Require(line.reportPath == nullptr || line.reportPath[0] != '\0');
  // The target is one of the words themselves, not a copy.
  Require(std::any_of(argv.begin() + 1, argv.end(),
                      [&](const char* word) { return word == line.targetDir; }));
  const dtk::TestConfig& config = line.config;
  Require(config.minFileSize >= 1 && config.minFileSize <= config.maxFileSize);
  Require(config.maxFileSize <= INT32_MAX);
  Require(config.maxDirFiles >= 1 && config.maxDirFiles <= INT32_MAX);
  Require(config.maxDirLevel >= 1 && config.maxDirLevel <= INT32_MAX);
  Require(config.totalSize >= 1 && config.totalSize <= int64_t{INT32_MAX} * 1048576);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words;
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (size_t at = 0; at < input.size() && words.size() < 64;) {
    size_t end = std::min(input.find('\0', at), input.size());
    words.push_back(input.substr(at, end - at));
    at = end + 1;
  }
  for (const auto& w : words) Require(dtk::ConvertNumber(w.c_str()) == ReferenceNumber(w.c_str()));
  Check(words, dtk::kPosixOptionRules);
  Check(words, dtk::kWindowsOptionRules);
  return 0;
}
