#include "driver/command_line.h"

#include <array>
#include <cstring>
#include <iterator>
#include <string_view>

namespace dtk {
namespace {

// What follows an option's name on the command line.
enum class Takes {
  kNothing,  // a flag
  kCount,    // a count of dtk's own: digits only, within a range
  kNumber,   // a number as atoi reads it
  kReport,   // the report's file name
  kEngine,   // an engine's name
};

// An option: its name, what it takes, where its value goes and its line in
// the help.
struct Option {
  const char* name;
  Takes takes;
  void (*set)(CommandLine& line, int32_t value);  // a flag is set with 1
  const char* value;                              // what the help calls the value word
  const char* help;
  int32_t least = 0, most = 0;  // the range of a count
};

// Every option, in the order of the help.
constexpr Option kOptions[] = {
    {"verify", Takes::kNothing, [](CommandLine& c, int32_t) { c.verifyRequested = true; }, "",
     "read every file back and check its CRC-32 (off)"},
    {"filesize", Takes::kNumber, [](CommandLine& c, int32_t n) { c.fileSizeMiB = n; }, "MiB",
     "total data to write, in MiB (100)"},
    {"minFileSize", Takes::kNumber, [](CommandLine& c, int32_t n) { c.config.minFileSize = n; },
     "BYTES", "smallest file (1)"},
    {"maxFileSize", Takes::kNumber, [](CommandLine& c, int32_t n) { c.config.maxFileSize = n; },
     "BYTES", "largest file (102400)"},
    {"maxDirFiles", Takes::kNumber, [](CommandLine& c, int32_t n) { c.config.maxDirFiles = n; },
     "COUNT", "files in a directory before another is opened (100)"},
    {"maxDirLevel", Takes::kNumber, [](CommandLine& c, int32_t n) { c.config.maxDirLevel = n; },
     "DEPTH", "nesting depth of a chain of directories (4)"},
    {"noCreate", Takes::kNothing, [](CommandLine& c, int32_t) { c.noCreate = true; }, "",
     "skip the create phase: the tree is there already (off)"},
    {"noRemove", Takes::kNothing, [](CommandLine& c, int32_t) { c.noRemove = true; }, "",
     "skip the remove phase: the tree stays on disk (off)"},
    {"sync", Takes::kNothing, [](CommandLine& c, int32_t) { c.sync = true; }, "",
     "flush every file and directory to stable storage (off)"},
    {"direct", Takes::kNothing, [](CommandLine& c, int32_t) { c.direct = true; }, "",
     "write and read around the system's file cache (off)"},
    {"report", Takes::kReport, nullptr, "FILE", "write a JSON report of the run to FILE (none)"},
    {"threads", Takes::kCount, [](CommandLine& c, int32_t n) { c.threads = n; }, "COUNT",
     "threads at once, 1 to 1024, each in TARGET/thread-K (1)", 1, kMaxThreads},
    {"engine", Takes::kEngine, nullptr, "sync|uring", "how the files' calls are made (sync)"},
    {"depth", Takes::kCount, [](CommandLine& c, int32_t n) { c.depth = n; }, "COUNT",
     "files in flight with -engine uring, 1 to 4096 (32)", 1, kMaxEngineDepth},
    {"interval", Takes::kCount, [](CommandLine& c, int32_t n) { c.intervalMs = n; }, "MS",
     "with -report, a sample of each phase every MS ms, 10 to 60000 (1000)", kMinIntervalMs,
     kMaxIntervalMs},
};

constexpr auto kNames = [] {
  std::array<const char*, std::size(kOptions)> names{};
  for (size_t k = 0; k < names.size(); ++k) names[k] = kOptions[k].name;
  return names;
}();

// The refusal of a command line, naming the option word at fault when
// there is one.
std::string ParameterError(const char* name = nullptr) {
  return name == nullptr ? "Parameter error!\n" : std::string("Parameter error! (") + name + ")\n";
}

bool IsOptionWord(const char* word, const OptionRules& rules) {
  return word[0] == '-' || (rules.slashIntroducesOption && word[0] == '/');
}

// The value of an option of dtk's own that counts something: decimal
// digits only, from `least` to `most`; -1 for anything else. Unlike the
// options of the original command line, a value that cannot be taken is
// an error, never a plain word.
int32_t StrictCount(const char* text, int32_t least, int32_t most) {
  int64_t value = 0;
  if (*text == '\0') return -1;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return -1;
    value = value * 10 + (*text - '0');
    if (value > most) return -1;
  }
  return value >= least ? static_cast<int32_t>(value) : -1;
}

// Whether a report's file name can only name a directory: empty, ending
// in a separator, or "." or "..".
bool NamesADirectory(const char* path, const OptionRules& rules) {
  std::string_view whole = path;
  size_t separator = whole.find_last_of(rules.slashIntroducesOption ? "/\\:" : "/");
  std::string_view name = separator == std::string_view::npos ? whole : whole.substr(separator + 1);
  return name.empty() || name == "." || name == "..";
}

// What an option name asks for instead of a run. "?" is how Windows
// programs are asked for help, with a word that may begin with "/" there.
CommandLine::Asks Asking(const char* name, const OptionRules& rules) {
  for (const char* help : {"-help", "help", "h"}) {
    if (rules.compareNames(name, help) == 0) return CommandLine::Asks::kHelp;
  }
  if (rules.slashIntroducesOption && std::strcmp(name, "?") == 0) return CommandLine::Asks::kHelp;
  for (const char* version : {"-version", "version"}) {
    if (rules.compareNames(name, version) == 0) return CommandLine::Asks::kVersion;
  }
  return CommandLine::Asks::kRun;
}

}  // namespace

const char* const* const kOptionNames = kNames.data();
const int kOptionCount = static_cast<int>(kNames.size());

std::string ParseCommandLine(int argc, const char* const* argv, const OptionRules& rules,
                             CommandLine* result) {
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (!IsOptionWord(word, rules)) {
      if (result->targetDir == nullptr) result->targetDir = word;
      continue;
    }
    const char* name = word + 1;
    if (CommandLine::Asks asks = Asking(name, rules); asks != CommandLine::Asks::kRun) {
      result->asks = asks;
      return std::string();
    }
    const Option* option = nullptr;
    for (const Option& known : kOptions) {
      if (rules.compareNames(name, known.name) == 0) option = &known;
    }
    if (option != nullptr && option->takes == Takes::kNothing) {
      option->set(*result, 1);
      continue;
    }
    if (option == nullptr || i + 1 >= argc || IsOptionWord(argv[i + 1], rules)) {
      return ParameterError(name);
    }
    const char* value = argv[i + 1];
    if (option->takes == Takes::kReport) {
      // A file name is taken as written; one that names no file is refused
      // before anything is touched.
      if (NamesADirectory(value, rules)) return ParameterError(name);
      result->reportPath = value;
    } else if (option->takes == Takes::kEngine) {
      if (value[0] == '\0') return ParameterError(name);
      bool sync = rules.compareNames(value, EngineName(EngineKind::kSync)) == 0;
      if (!sync && rules.compareNames(value, EngineName(EngineKind::kUring)) != 0) {
        return std::string("Engine error!: no engine is named ") + value + " (sync, uring)\n";
      }
      result->engine = sync ? EngineKind::kSync : EngineKind::kUring;
    } else if (option->takes == Takes::kCount) {
      int32_t count = StrictCount(value, option->least, option->most);
      if (count < 0) return ParameterError(name);
      option->set(*result, count);
    } else {
      // A number below 1 is not taken; its word is then read as a plain
      // word.
      int32_t number = ConvertNumber(value);
      if (number < 1) continue;
      option->set(*result, number);
    }
    ++i;
  }
  // An empty word takes the target's place like any plain word, but an
  // empty target would put the tree at the root of the file system (or of
  // the current drive): refuse it as a missing one.
  if (result->targetDir == nullptr || result->targetDir[0] == '\0') return ParameterError();
  // Neither creating nor verifying nor removing would do nothing at all.
  if (result->noCreate && result->noRemove && !result->verifyRequested) {
    return ParameterError("noRemove");
  }
  if (result->fileSizeMiB != 0) result->config.totalSize = int64_t{result->fileSizeMiB} * 1048576;
  if (result->config.minFileSize > result->config.maxFileSize) return "Min/Max Filesize error!\n";
  return std::string();
}

std::string HelpOrVersionText(int argc, const char* const* argv, const OptionRules& rules,
                              const char* program) {
  CommandLine line;
  if (!ParseCommandLine(argc, argv, rules, &line).empty()) return std::string();
  std::string name = program;
  if (line.asks == CommandLine::Asks::kVersion) return name + " " DTK_VERSION "\n";
  if (line.asks != CommandLine::Asks::kHelp) return std::string();
  std::string text =
      name == "dtk-mpi"
          ? "usage: mpirun [MPI OPTION]... dtk-mpi TARGET [OPTION]...\n"
            "Each process N of the MPI job makes a tree of files in TARGET/rank-N, all\n"
            "at once, reads it back if asked and removes it; -threads takes only 1.\n"
          : "usage: " + name + " TARGET [OPTION]...\n" +
                "Makes a tree of files in the directory TARGET, reads it back if asked and\n"
                "removes it.\n";
  text += "Option names match in any letter case; the defaults are in parentheses.\n";
  // One line for each option: its value, what it does and its default.
  for (const Option& option : kOptions) {
    std::string words = std::string("  -") + option.name + " " + option.value;
    words.resize(23, ' ');  // a flag's space is part of the padding
    text += words + option.help + "\n";
  }
  text += "  --help, -h           print this help\n  --version            print the version\n";
  if (rules.slashIntroducesOption) text += "An option may begin with / too (/verify, /?).\n";
  return text + "See man dtk.\n";
}

}  // namespace dtk
