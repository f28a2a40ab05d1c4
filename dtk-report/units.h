// How figures are written: in units with SI prefixes for people, and as
// exact numbers for programs.
#ifndef DTK_REPORT_UNITS_H_
#define DTK_REPORT_UNITS_H_

#include <string>

namespace dtk::report {

struct DisplayUnit {
  double divisor;    // a value in the base unit divided by this is in `name`
  std::string name;  // "ms", "MB/s", "k/s", ...
};

// The unit, `baseUnit` with an SI prefix, in which `largest` (in the base
// unit), as SignificantNumber shows it, is at least 1 and below 1000 where
// a prefix allows (999.9996 us is 1.000 ms): seconds ("s") go down to
// nanoseconds but not above seconds; rates ("/s", "B/s") go up to tera but
// not below the base unit.
DisplayUnit ChooseUnit(double largest, const std::string& baseUnit);

// `value` with four significant digits, written without an exponent:
// "1234", "123.4", "0.01234".
std::string SignificantNumber(double value);

// `value` in the fewest digits that read back as the same double.
std::string ExactNumber(double value);

}  // namespace dtk::report

#endif  // DTK_REPORT_UNITS_H_
