// dtk_floor: the least a run of dtk can cost. It plans the same tree, then
// makes the same system calls in the same order with the same sizes (open,
// write and read at most 128 KiB each, close, mkdir, unlink, rmdir) and the
// same bytes, but computes no CRC and prints nothing. bench/compare.sh puts
// dtk's whole-process time beside this program's. With -direct it makes
// dtk's unbuffered calls: the same probe of the target, writes of whole
// blocks from a copy of the pattern in an aligned buffer, a cut to size,
// and reads of whole blocks.
//
// Usage: dtk_floor TARGET [the options of dtk]. Exit status 0, or 1 when the
// command line is bad or a call fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "platform/file_system.h"

namespace {

constexpr uint32_t kChunk = 0x20000;         // 128 KiB per write or read
constexpr uint32_t kPatternBytes = 0x40000;  // 256 KiB pattern ring

struct Entry {
  uint32_t pathOffset;  // into the path arena, NUL-terminated
  bool isDirectory;
  int64_t size;
};

// The plan, flat in creation order, with every full path in one arena.
// The planner appends each directory before its contents and never returns
// to a list once a directory has opened below it, so its order of planning
// is already the order of a depth-first walk.
struct Plan {
  std::vector<Entry> entries;
  std::vector<char> paths;
};

void AddPath(Plan& plan, const std::string& dir, const char* prefix, int64_t number, bool isDir,
             int64_t size) {
  plan.entries.push_back({static_cast<uint32_t>(plan.paths.size()), isDir, size});
  plan.paths.insert(plan.paths.end(), dir.begin(), dir.end());
  std::string name = prefix + std::to_string(number);
  plan.paths.insert(plan.paths.end(), name.begin(), name.end());
  plan.paths.push_back('\0');
}

Plan MakePlan(const std::string& target, const dtk::TestConfig& config) {
  Plan plan;
  std::mt19937 random;  // MT19937 seeded with 5489, as the planner's generator
  std::string root = target;
  if (root.empty() || root.back() != '/') root.push_back('/');
  std::string dir = root;
  uint32_t level = 0;
  uint64_t filesHere = 0;
  int64_t fileNumber = 0;
  int64_t dirNumber = 0;
  int64_t planned = 0;
  const uint64_t range = static_cast<uint64_t>(config.maxFileSize - config.minFileSize + 1);
  if (config.totalSize <= 0) return plan;
  do {
    int64_t size = config.minFileSize + static_cast<int64_t>(uint64_t{random()} % range);
    if (planned + size >= config.totalSize) size = config.totalSize - planned;
    if (filesHere >= config.maxDirFiles) {
      if (level >= config.maxDirLevel) {
        dir = root;
        level = 0;
      }
      AddPath(plan, dir, config.dirPrefix, dirNumber++, true, 0);
      dir.assign(&plan.paths[plan.entries.back().pathOffset]);
      dir.push_back('/');
      ++level;
      filesHere = 0;
    }
    AddPath(plan, dir, config.filePrefix, fileNumber++, false, size);
    ++filesHere;
    planned += size;
  } while (planned < config.totalSize);
  return plan;
}

struct PageBuffer {
  explicit PageBuffer(size_t count)
      : bytes(static_cast<uint8_t*>(::operator new[](count, std::align_val_t(4096)))) {}
  ~PageBuffer() { ::operator delete[](bytes, std::align_val_t(4096)); }
  uint8_t* const bytes;
};

}  // namespace

int main(int argc, char** argv) {
  dtk::CommandLine commandLine;
  if (!dtk::ParseCommandLine(argc, argv, dtk::kPosixOptionRules, &commandLine).empty()) return 1;
  const Plan plan = MakePlan(commandLine.targetDir, commandLine.config);
  auto path = [&plan](const Entry& entry) { return &plan.paths[entry.pathOffset]; };

  // The pattern twice over, so every chunk is one run of it and is written
  // straight from here. Both buffers start on a page boundary, as dtk's do.
  PageBuffer patternBuffer(2 * kPatternBytes);
  uint8_t* pattern = patternBuffer.bytes;
  std::mt19937 patternRandom;
  for (uint32_t i = 0; i < kPatternBytes; i += 4) {
    uint32_t word = patternRandom();
    std::memcpy(&pattern[i], &word, 4);  // little-endian, as dtk lays it down
  }
  std::memcpy(&pattern[kPatternBytes], &pattern[0], kPatternBytes);
  PageBuffer buffer(kChunk);

  // The block size of unbuffered transfers, as dtk's probe finds it; the
  // chunk stays 128 KiB, a multiple of any block size a system reports.
  uint32_t block = 0;
  int directFlag = 0;
  if (commandLine.direct) {
#if defined(O_DIRECT)
    const std::string name = "dtk-direct-probe.tmp";
    const std::string probe = std::string(commandLine.targetDir) + "/" + name;
    int dir = ::open(commandLine.targetDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    dtk::EntryPlace at{dir, 0, probe.c_str() + probe.size() - name.size(), probe.c_str(),
                       probe.size()};
    if (dir < 0 || dtk::SystemFileSystem().ProbeDirectIo(at, &block) != 0) return 1;
    ::close(dir);
    // The buffers are aligned to a page.
    if (block > 4096 || kChunk % block != 0) return 1;
    directFlag = O_DIRECT;
#else
    return 1;
#endif
  }
  auto wholeBlocks = [block](uint32_t count) {
    return block == 0 ? count : (count + block - 1) / block * block;
  };

  uint32_t patternPos = 0;
  for (const Entry& entry : plan.entries) {
    if (entry.isDirectory) {
      ::mkdir(path(entry), 0777);
      continue;
    }
    int fd = ::open(path(entry), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | directFlag,
                    0666);
    if (fd < 0) return 1;
    for (int64_t remaining = entry.size; remaining > 0;) {
      uint32_t chunk = remaining < kChunk ? static_cast<uint32_t>(remaining) : kChunk;
      const uint8_t* from = &pattern[patternPos];
      if (block != 0) {
        std::memcpy(buffer.bytes, from, chunk);
        from = buffer.bytes;
      }
      ssize_t whole = wholeBlocks(chunk);
      if (::write(fd, from, whole) != whole) return 1;
      patternPos = (patternPos + chunk) % kPatternBytes;
      remaining -= chunk;
    }
    if (block != 0 && entry.size % block != 0 && ::ftruncate(fd, entry.size) != 0) return 1;
    if (::close(fd) != 0) return 1;
  }

  if (commandLine.verifyRequested) {
    for (const Entry& entry : plan.entries) {
      if (entry.isDirectory) continue;
      int fd = ::open(path(entry), O_RDONLY | O_CLOEXEC | directFlag);
      if (fd < 0) return 1;
      for (int64_t remaining = entry.size; remaining > 0;) {
        uint32_t chunk = remaining < kChunk ? static_cast<uint32_t>(remaining) : kChunk;
        ssize_t got = ::read(fd, buffer.bytes, wholeBlocks(chunk));
        if (got <= 0) return 1;
        remaining -= got;
      }
      ::close(fd);
    }
  }

  for (auto it = plan.entries.rbegin(); it != plan.entries.rend(); ++it) {
    if ((it->isDirectory ? ::rmdir(path(*it)) : ::unlink(path(*it))) != 0) return 1;
  }
  return 0;
}
