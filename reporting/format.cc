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

namespace {

bool ToLocal(std::time_t time, std::tm* out) {
#ifdef _WIN32
  return localtime_s(out, &time) == 0;
#else
  return localtime_r(&time, out) != nullptr;
#endif
}

bool ToUtc(std::time_t time, std::tm* out) {
#ifdef _WIN32
  return gmtime_s(out, &time) == 0;
#else
  return gmtime_r(&time, out) != nullptr;
#endif
}

// Seconds from 1970-01-01 00:00:00 to the broken-down time, as if it were
// UTC (days from the civil date, proleptic Gregorian).
int64_t SecondsOfBrokenDown(const std::tm& t) {
  int64_t year = t.tm_year + 1900;
  int64_t month = t.tm_mon + 1;
  year -= month <= 2 ? 1 : 0;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + t.tm_mday - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  int64_t days = era * 146097 + dayOfEra - 719468;
  return days * 86400 + t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

}  // namespace

std::string FormatIsoLocalTime(int64_t unixMilliseconds) {
  int64_t seconds = unixMilliseconds / 1000;
  int64_t millis = unixMilliseconds % 1000;
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm local{};
  std::tm utc{};
  if (!ToLocal(time, &local) || !ToUtc(time, &utc)) return std::string();
  int64_t offsetMinutes = (SecondsOfBrokenDown(local) - SecondsOfBrokenDown(utc)) / 60;
  char sign = offsetMinutes < 0 ? '-' : '+';
  if (offsetMinutes < 0) offsetMinutes = -offsetMinutes;
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis), sign, static_cast<int>(offsetMinutes / 60),
                static_cast<int>(offsetMinutes % 60));
  return text;
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
