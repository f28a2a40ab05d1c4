// dtk_floor: the least a run of dtk can cost. It plans the same tree, then
// makes the same system calls in the same order with the same sizes: the
// target opened and locked once; each directory made and opened relative to
// its parent, each file made (O_EXCL), written at most 128 KiB a call from
// the pattern and closed relative to its directory; read back with the last
// read of each file asking for a byte more; removed the same way, last made
// first. It computes no CRC and prints nothing. bench/compare.sh puts dtk's
// whole-process time beside this program's. With -direct it makes dtk's
// unbuffered calls: the same probe of the target, writes of whole blocks
// from a copy of the pattern in an aligned buffer, a cut to size, and reads
// of whole blocks.
//
// Usage: dtk_floor TARGET [the options of dtk]. Exit status 0, or 1 when the
// command line is bad or a call fails.
#include <fcntl.h>
#include <sys/file.h>
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
  std::string name;
  uint32_t depth;  // 0: in the target
  bool isDirectory;
  int64_t size;
};

// The plan, flat in creation order. The planner appends each directory
// before its contents and never returns to a list once a directory has
// opened below it, so its order of planning is already the order of a
// depth-first walk.
std::vector<Entry> MakePlan(const dtk::TestConfig& config) {
  std::vector<Entry> plan;
  std::mt19937 random;  // MT19937 seeded with 5489, as the planner's generator
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
      if (level >= config.maxDirLevel) level = 0;
      plan.push_back({"DIR-" + std::to_string(dirNumber++), level, true, 0});
      ++level;
      filesHere = 0;
    }
    plan.push_back({"file-" + std::to_string(fileNumber++), level, false, size});
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

// The open directories of a walk, one per level; the target at level 0.
struct OpenDirs {
  std::vector<int> fds;
  // Closes the directories below `depth` and returns the one at `depth`.
  int At(uint32_t depth) {
    while (fds.size() > depth + 1) {
      ::close(fds.back());
      fds.pop_back();
    }
    return fds.back();
  }
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

int main(int argc, char** argv) {
  dtk::CommandLine commandLine;
  if (!dtk::ParseCommandLine(argc, argv, dtk::kPosixOptionRules, &commandLine).empty()) return 1;
  const std::vector<Entry> plan = MakePlan(commandLine.config);
  int target = ::open(commandLine.targetDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (target < 0 || ::flock(target, LOCK_EX | LOCK_NB) != 0) return 1;

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
  PageBuffer buffer(kChunk + 4096);

  // The block size of unbuffered transfers, as dtk's probe finds it; the
  // chunk stays 128 KiB, a multiple of any block size a system reports.
  uint32_t block = 0;
  int directFlag = 0;
  if (commandLine.direct) {
#if defined(O_DIRECT)
    const std::string name = "dtk-direct-probe.tmp";
    const std::string probe = std::string(commandLine.targetDir) + "/" + name;
    dtk::EntryPlace at{target, 0, probe.c_str() + probe.size() - name.size(), probe.c_str(),
                       probe.size()};
    if (dtk::SystemFileSystem().ProbeDirectIo(at, &block) != 0) return 1;
    if (block > 4096 || kChunk % block != 0) return 1;  // the buffers are aligned to a page
    directFlag = O_DIRECT;
#else
    return 1;
#endif
  }
  auto wholeBlocks = [block](uint64_t count) {
    return block == 0 ? count : (count + block - 1) / block * block;
  };

  OpenDirs dirs{{target}};
  uint32_t patternPos = 0;
  for (const Entry& entry : plan) {
    int dir = dirs.At(entry.depth);
    if (entry.isDirectory) {
      ::mkdirat(dir, entry.name.c_str(), 0777);
      int opened = ::openat(dir, entry.name.c_str(), kDirFlags);
      if (opened < 0) return 1;
      dirs.fds.push_back(opened);
      continue;
    }
    int fd = ::openat(dir, entry.name.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | directFlag, 0666);
    if (fd < 0) return 1;
    for (int64_t remaining = entry.size; remaining > 0;) {
      uint32_t chunk = remaining < kChunk ? static_cast<uint32_t>(remaining) : kChunk;
      const uint8_t* from = &pattern[patternPos];
      if (block != 0) {
        std::memcpy(buffer.bytes, from, chunk);
        from = buffer.bytes;
      }
      ssize_t whole = static_cast<ssize_t>(wholeBlocks(chunk));
      if (::write(fd, from, whole) != whole) return 1;
      patternPos = (patternPos + chunk) % kPatternBytes;
      remaining -= chunk;
    }
    if (block != 0 && entry.size % block != 0 && ::ftruncate(fd, entry.size) != 0) return 1;
    if (::close(fd) != 0) return 1;
  }
  dirs.At(0);

  if (commandLine.verifyRequested) {
    for (const Entry& entry : plan) {
      int dir = dirs.At(entry.depth);
      if (entry.isDirectory) {
        int opened = ::openat(dir, entry.name.c_str(), kDirFlags);
        if (opened < 0) return 1;
        dirs.fds.push_back(opened);
        continue;
      }
      int fd = ::openat(dir, entry.name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | directFlag);
      if (fd < 0) return 1;
      for (int64_t remaining = entry.size;;) {
        uint32_t ask = static_cast<uint32_t>(remaining >= kChunk ? kChunk : wholeBlocks(remaining + 1));
        ssize_t got = ::read(fd, buffer.bytes, ask);
        if (got < 0 || got > remaining) return 1;
        if (got == 0) break;
        remaining -= got;
        if (remaining == 0 && got < ask) break;
      }
      ::close(fd);
    }
    dirs.At(0);
  }

  // Last made first: a directory's contents, then the directory, each
  // relative to the directory that holds it. A directory is opened before
  // its contents, which come before it in this order.
  std::vector<size_t> parent(plan.size(), SIZE_MAX);  // the entry of each one's directory
  std::vector<size_t> chain;                          // the directories open on the way
  for (size_t k = 0; k < plan.size(); ++k) {
    chain.resize(plan[k].depth);
    if (!chain.empty()) parent[k] = chain.back();
    if (plan[k].isDirectory) chain.push_back(k);
  }
  std::vector<size_t> open;  // the entries of the open directories below the target
  for (size_t k = plan.size(); k-- > 0;) {
    const Entry& entry = plan[k];
    if (entry.isDirectory) {
      if (open.empty() || open.back() != k) return 1;
      ::close(dirs.fds.back());
      dirs.fds.pop_back();
      open.pop_back();
      if (::unlinkat(dirs.fds.back(), entry.name.c_str(), AT_REMOVEDIR) != 0) return 1;
      continue;
    }
    // Open the directories between the last one open and this file's.
    std::vector<size_t> missing;
    for (size_t p = parent[k]; p != SIZE_MAX && (open.empty() || p != open.back()); p = parent[p]) {
      missing.push_back(p);
    }
    for (size_t i = missing.size(); i-- > 0;) {
      int opened = ::openat(dirs.fds.back(), plan[missing[i]].name.c_str(), kDirFlags);
      if (opened < 0) return 1;
      dirs.fds.push_back(opened);
      open.push_back(missing[i]);
    }
    if (::unlinkat(dirs.fds.back(), entry.name.c_str(), 0) != 0) return 1;
  }
  ::close(target);
  return 0;
}
