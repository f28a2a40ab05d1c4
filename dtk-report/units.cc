#include "dtk-report/units.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace dtk::report {

DisplayUnit ChooseUnit(double largest, const std::string& baseUnit) {
  struct Prefix {
    const char* name;
    int exponent;
  };
  static constexpr Prefix kTime[] = {{"n", -9}, {"u", -6}, {"m", -3}, {"", 0}};
  static constexpr Prefix kRate[] = {{"", 0}, {"k", 3}, {"M", 6}, {"G", 9}, {"T", 12}};
  bool time = baseUnit == "s";
  const Prefix* prefixes = time ? kTime : kRate;
  size_t count = time ? std::size(kTime) : std::size(kRate);
  // The largest prefix that still leaves the value at least 1 as it is
  // shown, to four digits (999.9996 us is 1.000 ms); the smallest one for
  // values below all of them.
  const Prefix* chosen = &prefixes[0];
  for (size_t i = 0; i < count; ++i) {
    double shown = std::strtod(
        SignificantNumber(largest / std::pow(10.0, prefixes[i].exponent)).c_str(), nullptr);
    if (shown >= 1) chosen = &prefixes[i];
  }
  return {std::pow(10.0, chosen->exponent), chosen->name + baseUnit};
}

std::string SignificantNumber(double value) {
  // Digits after the point for four in all; nine at most, so that a value
  // far below the row's unit still reads as one.
  int decimals = 3;
  if (value != 0 && std::isfinite(value)) {
    decimals = std::clamp(3 - static_cast<int>(std::floor(std::log10(std::abs(value)))), 0, 9);
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  // Rounded up to the next power of ten, it has a digit fewer after the point.
  if (decimals > 0 && std::abs(std::strtod(text, nullptr)) >= std::pow(10.0, 4 - decimals)) {
    std::snprintf(text, sizeof(text), "%.*f", decimals - 1, value);
  }
  return text;
}

std::string ExactNumber(double value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof(text), value);
  return std::string(text, result.ptr);
}

}  // namespace dtk::report
