#include "engine/file_calls.h"

#include <algorithm>
#include <cstring>

#include "support/crc32.h"

namespace dtk {
namespace {

IoMode ModeOf(const FileEngine::Phase& phase) {
  return phase.directBlockSize != 0 ? IoMode::kDirect : IoMode::kCached;
}

void CreateFile(FileSystem& fileSystem, const FileEngine::Phase& phase, FileJob& job) {
  FileHandle file;
  ErrorCode code = fileSystem.OpenForWrite(job.place(), &file, ModeOf(phase));
  if (code != 0) return job.Fail(FileCall::kOpenForWrite, code);
  job.opened = true;
  const uint32_t block = phase.directBlockSize;
  const int64_t size = job.entry->size;
  // Through the cache every chunk is one run of the pattern, written from
  // where it lies; unbuffered writes come from the aligned transfer buffer
  // and move whole blocks, the last one filled up with zeros, which the
  // file is then cut back from.
  const int64_t largest =
      block == 0 ? std::min(phase.transferSize, phase.patternSize) : phase.transferSize;
  uint64_t position = job.ringStart;
  for (int64_t remaining = size; remaining > 0 && code == 0;) {
    uint32_t chunk = static_cast<uint32_t>(std::min(remaining, largest));
    if (block == 0) {
      code = fileSystem.Write(file, phase.pattern + position, chunk);
    } else {
      CopyPattern(phase.buffer, phase.pattern, phase.patternSize, position, chunk, block);
      code = fileSystem.Write(file, phase.buffer, static_cast<uint32_t>(WholeBlocks(chunk, block)));
    }
    position = (position + chunk) % phase.patternSize;
    remaining -= chunk;
  }
  job.Fail(FileCall::kWrite, code);
  if (job.code == 0 && WholeBlocks(size, block) != static_cast<uint64_t>(size)) {
    job.Fail(FileCall::kSetFileSize, fileSystem.SetFileSize(file, size));
  }
  if (job.code == 0 && phase.flush) job.Fail(FileCall::kFlush, fileSystem.Flush(file));
  // Close reports what a network file system could not write back; a file
  // whose data may be lost is not a file written completely.
  job.Fail(FileCall::kClose, fileSystem.Close(file));
}

void VerifyFile(FileSystem& fileSystem, const FileEngine::Phase& phase, FileJob& job) {
  FileHandle file;
  ErrorCode code = fileSystem.OpenForRead(job.place(), &file, ModeOf(phase));
  if (code != 0) return job.Fail(FileCall::kOpenForRead, code);
  job.opened = true;
  Crc32 crc;
  ReadStep step = ReadStep::kMore;
  for (int64_t remaining = job.entry->size; step == ReadStep::kMore;) {
    uint32_t ask = NextReadSize(remaining, phase.transferSize, phase.directBlockSize);
    uint32_t got = 0;
    code = fileSystem.Read(file, phase.buffer, ask, &got);
    if (code != 0) break;
    step = AfterRead(got, remaining, ask, phase.directBlockSize);
    if (step == ReadStep::kSizeError) break;
    crc.Update(got, phase.buffer);
    remaining -= got;
  }
  // A close that fails loses nothing read.
  fileSystem.Close(file);
  job.Fail(FileCall::kRead, code);
  job.sizeError = step == ReadStep::kSizeError;
  job.crc = crc.Value();
}

}  // namespace

void CopyPattern(uint8_t* to, const uint8_t* ring, uint32_t ringSize, uint64_t position,
                 uint32_t count, uint32_t block) {
  const uint32_t whole = static_cast<uint32_t>(WholeBlocks(count, block));
  // Any run of the ring up to its size lies in one piece.
  for (uint32_t done = 0; done < count;) {
    uint32_t run = std::min(count - done, ringSize);
    std::memcpy(to + done, ring + position, run);
    position = (position + run) % ringSize;
    done += run;
  }
  std::memset(to + count, 0, whole - count);
}

ReadStep AfterRead(int64_t got, int64_t remaining, uint32_t asked, uint32_t block) {
  if (got > remaining || (got == 0 && remaining > 0)) return ReadStep::kSizeError;
  if (got == 0 || (got == remaining && got < asked)) return ReadStep::kDone;
  // A short read goes on from where it stopped, which an unbuffered read
  // can only do from a block's end.
  if (got < asked && block != 0 && got % block != 0) return ReadStep::kSizeError;
  return ReadStep::kMore;
}

void MakeFileCalls(FileSystem& fileSystem, const FileEngine::Phase& phase, FileJob& job) {
  switch (phase.work) {
    case FileEngine::Work::kCreate:
      return CreateFile(fileSystem, phase, job);
    case FileEngine::Work::kVerify:
      return VerifyFile(fileSystem, phase, job);
    case FileEngine::Work::kRemove:
      return job.Fail(FileCall::kDeleteFile, fileSystem.DeleteFile(job.place()));
  }
}

}  // namespace dtk
