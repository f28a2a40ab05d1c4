#include "driver/command_line.h"

#include <cstring>
#include <string_view>

namespace dtk {
namespace {

enum Option {
  kVerify,
  kFileSize,
  kMaxDirLevel,
  kMaxDirFiles,
  kMinFileSize,
  kMaxFileSize,
  kNoCreate,
  kNoRemove,
  kSync,
  kReport,
  kEngine,
  kDepth,
  kThreads,
  kDirect,
  kInterval
};

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

// One line for each option: its value, what it does and its default.
constexpr const char* kOptionHelp =
    "  -verify              read every file back and check its CRC-32 (off)\n"
    "  -filesize MiB        total data to write, in MiB (100)\n"
    "  -minFileSize BYTES   smallest file (1)\n"
    "  -maxFileSize BYTES   largest file (102400)\n"
    "  -maxDirFiles COUNT   files in a directory before another is opened (100)\n"
    "  -maxDirLevel DEPTH   nesting depth of a chain of directories (4)\n"
    "  -noCreate            skip the create phase: the tree is there already (off)\n"
    "  -noRemove            skip the remove phase: the tree stays on disk (off)\n"
    "  -sync                flush every file and directory to stable storage (off)\n"
    "  -direct              write and read around the system's file cache (off)\n"
    "  -report FILE         write a JSON report of the run to FILE (none)\n"
    "  -threads COUNT       threads at once, 1 to 1024, each in TARGET/thread-K (1)\n"
    "  -engine sync|uring   how the files' calls are made (sync)\n"
    "  -depth COUNT         files in flight with -engine uring, 1 to 4096 (32)\n"
    "  -interval MS         with -report, a sample of each phase every MS ms, 10 to 60000 (1000)\n"
    "  --help, -h           print this help\n"
    "  --version            print the version\n";

}  // namespace

const char* const kOptionNames[] = {"verify",      "filesize",    "maxDirLevel", "maxDirFiles",
                                    "minFileSize", "maxFileSize", "noCreate",    "noRemove",
                                    "sync",        "report",      "engine",      "depth",
                                    "threads",     "direct",      "interval"};
const int kOptionCount = sizeof(kOptionNames) / sizeof(kOptionNames[0]);

std::string ParseCommandLine(int argc, const char* const* argv, const OptionRules& rules,
                             CommandLine* result) {
  if (argc < 2) return "Parameter error!\n";
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
    int option = -1;
    for (int k = 0; k < kOptionCount && option < 0; ++k) {
      if (rules.compareNames(name, kOptionNames[k]) == 0) option = k;
    }
    // Options without a value word.
    if (option == kVerify || option == kNoCreate || option == kNoRemove || option == kSync ||
        option == kDirect) {
      if (option == kVerify) result->verifyRequested = true;
      if (option == kNoCreate) result->noCreate = true;
      if (option == kNoRemove) result->noRemove = true;
      if (option == kSync) result->sync = true;
      if (option == kDirect) result->direct = true;
      continue;
    }
    if (option < 0 || i + 1 >= argc || IsOptionWord(argv[i + 1], rules)) {
      return std::string("Parameter error! (") + name + ")\n";
    }
    if (option == kReport) {
      // A file name is taken as written; one that names no file is refused
      // before anything is touched.
      if (NamesADirectory(argv[i + 1], rules)) return std::string("Parameter error! (") + name + ")\n";
      result->reportPath = argv[++i];
      continue;
    }
    if (option == kDepth || option == kThreads || option == kInterval) {
      int32_t value = option == kDepth     ? StrictCount(argv[i + 1], 1, static_cast<int32_t>(kMaxEngineDepth))
                      : option == kThreads ? StrictCount(argv[i + 1], 1, kMaxThreads)
                                           : StrictCount(argv[i + 1], kMinIntervalMs, kMaxIntervalMs);
      if (value < 0) return std::string("Parameter error! (") + name + ")\n";
      if (option == kDepth) result->depth = static_cast<uint32_t>(value);
      if (option == kThreads) result->threads = value;
      if (option == kInterval) result->intervalMs = static_cast<uint32_t>(value);
      ++i;
      continue;
    }
    if (option == kEngine) {
      const char* engine = argv[++i];
      if (engine[0] == '\0') return std::string("Parameter error! (") + name + ")\n";
      if (rules.compareNames(engine, EngineName(EngineKind::kSync)) == 0) {
        result->engine = EngineKind::kSync;
      } else if (rules.compareNames(engine, EngineName(EngineKind::kUring)) == 0) {
        result->engine = EngineKind::kUring;
      } else {
        return std::string("Engine error!: no engine is named ") + engine + " (sync, uring)\n";
      }
      continue;
    }
    int32_t value = ConvertNumber(argv[i + 1]);
    // A value of 0 or less is not taken; its word is then read as a plain
    // word.
    if (value < 1) continue;
    ++i;
    TestConfig& config = result->config;
    switch (option) {
      case kFileSize:
        result->fileSizeMiB = value;
        break;
      case kMaxDirLevel:
        config.maxDirLevel = static_cast<uint32_t>(value);
        break;
      case kMaxDirFiles:
        config.maxDirFiles = static_cast<uint32_t>(value);
        break;
      case kMinFileSize:
        config.minFileSize = value;
        break;
      case kMaxFileSize:
        config.maxFileSize = value;
        break;
      default:
        break;
    }
  }
  if (result->targetDir == nullptr) return "Parameter error!\n";
  // An empty word takes the target's place like any plain word, but an
  // empty target would put the tree at the root of the file system (or of
  // the current drive): refuse it as a missing one.
  if (result->targetDir[0] == '\0') return "Parameter error!\n";
  // Neither creating nor verifying nor removing would do nothing at all.
  if (result->noCreate && result->noRemove && !result->verifyRequested) {
    return "Parameter error! (noRemove)\n";
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
  text += kOptionHelp;
  if (rules.slashIntroducesOption) text += "An option may begin with / too (/verify, /?).\n";
  return text + "See man dtk.\n";
}

}  // namespace dtk
