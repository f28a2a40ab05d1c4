// Feeds arbitrary command lines to the parser under both option rules. The
// input is split into words at NUL bytes. Besides the sanitizers' checks it
// holds the parser to what the run relies on: a good command line names a
// target among its words and settings the planner can take, and numbers
// read as the C library's strtol would, held within 32 bits.
#include <cerrno>
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
  errno = 0;
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
    Require(error == "Parameter error!\n" || error == "Min/Max Filesize error!\n" ||
            (error.rfind("Parameter error! (", 0) == 0 && error.size() >= 20 &&
             error.compare(error.size() - 2, 2, ")\n") == 0));
    return;
  }
  // The target is one of the words themselves, not a copy.
  bool found = false;
  for (size_t i = 1; i < argv.size(); ++i) found |= line.targetDir == argv[i];
  Require(found);
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
  std::string word;
  for (size_t i = 0; i < size && words.size() < 64; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  if (!word.empty() && words.size() < 64) words.push_back(word);
  for (const auto& w : words) Require(dtk::ConvertNumber(w.c_str()) == ReferenceNumber(w.c_str()));
  Check(words, dtk::kPosixOptionRules);
  Check(words, dtk::kWindowsOptionRules);
  return 0;
}
