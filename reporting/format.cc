#include "reporting/format.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace dtk {

char* FormatTimeStamp(char* buffer, std::time_t time) {
  std::tm local{};
#ifdef _WIN32
  bool ok = localtime_s(&local, &time) == 0;
#else
  bool ok = localtime_r(&time, &local) != nullptr;
#endif
  if (!ok) {
    std::memcpy(buffer, "????.??.?? ??:??:??", 20);
    return buffer;
  }
  std::snprintf(buffer, kTimeStampSize, "%04u.%02u.%02u %02u:%02u:%02u",
                static_cast<unsigned>(local.tm_year + 1900),
                static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                static_cast<unsigned>(local.tm_sec));
  return buffer;
}

char* FormatInt64(char* buffer, int64_t value) {
  auto result = std::to_chars(buffer, buffer + kInt64Size - 1, value);
  *result.ptr = '\0';
  return buffer;
}

uint32_t ElapsedSeconds(int64_t startTime, int64_t endTime) {
  uint32_t secs =
      static_cast<uint32_t>(static_cast<uint64_t>(endTime) - static_cast<uint64_t>(startTime));
  return secs == 0 ? 1 : secs;
}

SpeedFigures ComputeSpeed(int64_t bytes, uint32_t secs) {
  const int64_t d = static_cast<int64_t>(static_cast<uint64_t>(secs));
  SpeedFigures figures;
  figures.bytesPerSecond = static_cast<uint32_t>(bytes / d);
  figures.tenths = static_cast<uint32_t>((bytes / 100) / d) % 10;
  figures.kilobytesPerSecond = static_cast<uint32_t>((bytes / 1000) / d);
  return figures;
}

}  // namespace dtk
