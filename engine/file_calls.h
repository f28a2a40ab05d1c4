// The rules for one file, which every engine follows: what a file's data
// is, how a transfer is rounded for unbuffered I/O, what a read tells of
// the file's size; and the calls that make, read back or delete one file,
// one at a time, through the file system (the sync engine's calls, and the
// uring engine's for a file it cannot send).
#ifndef DTK_ENGINE_FILE_CALLS_H_
#define DTK_ENGINE_FILE_CALLS_H_

#include <cstdint>

#include "engine/file_engine.h"
#include "platform/file_system.h"

namespace dtk {

// `bytes` rounded up to whole blocks of `block` bytes (0: no rounding).
inline uint64_t WholeBlocks(uint64_t bytes, uint32_t block) {
  return block == 0 ? bytes : (bytes + block - 1) / block * block;
}

// Copies `count` bytes of the pattern ring `ring` of `ringSize` bytes (kept
// twice over) from `position` on to `to`, and zeros after them up to whole
// blocks of `block` (0: none), for a transfer from memory of one's own.
void CopyPattern(uint8_t* to, const uint8_t* ring, uint32_t ringSize, uint64_t position,
                 uint32_t count, uint32_t block);

// What a read of `asked` bytes that brought `got`, with `remaining` bytes
// of the file's planned size left before it, tells. A file that gives more
// than is left, or ends before, has the wrong size; so has one whose
// unbuffered read (whole blocks of `block`) stops short of a block's end
// before its planned end. The last read asks for a byte more than is left,
// so that a file longer than planned shows without another call.
enum class ReadStep { kMore, kDone, kSizeError };
ReadStep AfterRead(int64_t got, int64_t remaining, uint32_t asked, uint32_t block);

// How much the next read of a file with `remaining` bytes left asks for.
inline uint32_t NextReadSize(int64_t remaining, uint32_t transferSize, uint32_t block) {
  return remaining >= transferSize
             ? transferSize
             : static_cast<uint32_t>(
                   WholeBlocks(static_cast<uint64_t>(remaining) + 1, block == 0 ? 1 : block));
}

// Makes the calls of `job` for `phase` one at a time through `fileSystem`
// and tells in `job` what became of them.
void MakeFileCalls(FileSystem& fileSystem, const FileEngine::Phase& phase, FileJob& job);

}  // namespace dtk

#endif  // DTK_ENGINE_FILE_CALLS_H_
