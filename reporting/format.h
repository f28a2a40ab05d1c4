// Text of the console lines: time stamps, 64-bit counts and phase summaries.
#ifndef DTK_REPORTING_FORMAT_H_
#define DTK_REPORTING_FORMAT_H_

#include <cstdint>
#include <ctime>
#include <string>

namespace dtk {

constexpr int kTimeStampSize = 32;  // "YYYY.MM.DD hh:mm:ss" and its NUL, with room
constexpr int kInt64Size = 24;      // 19 digits, a sign and a NUL

// Writes `time` as local time, "YYYY.MM.DD hh:mm:ss", into `buffer` (at least
// kTimeStampSize bytes) and returns it. A time the C library cannot convert
// gives "????.??.?? ??:??:??".
char* FormatTimeStamp(char* buffer, std::time_t time);

// Local time of `unixMilliseconds` (milliseconds since 1970 UTC) in ISO 8601
// with milliseconds and the offset from UTC in force then:
// "2026-12-05T22:17:50.123+01:00". An empty text when the C library cannot
// convert it.
std::string FormatIsoLocalTime(int64_t unixMilliseconds);

// Writes `value` in signed decimal into `buffer` (at least kInt64Size bytes)
// and returns it.
char* FormatInt64(char* buffer, int64_t value);

// Whole seconds between two calendar readings, taken modulo 2^32; 0 becomes
// 1 so that the speed figures never divide by zero.
uint32_t ElapsedSeconds(int64_t startTime, int64_t endTime);

// The figures of a speed line, each the low 32 bits of its quotient.
struct SpeedFigures {
  uint32_t kilobytesPerSecond;  // (bytes / 1000) / secs; KB is 1000 bytes
  uint32_t tenths;              // first decimal of the KB/sec figure, cut
  uint32_t bytesPerSecond;      // bytes / secs
};
SpeedFigures ComputeSpeed(int64_t bytes, uint32_t secs);

}  // namespace dtk

#endif  // DTK_REPORTING_FORMAT_H_
