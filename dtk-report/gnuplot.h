// Running gnuplot for dtk-report: finding it on the PATH, a temporary
// directory of the run's own for its script, data and chart, and running it
// there, ended when a stop is requested.
#ifndef DTK_REPORT_GNUPLOT_H_
#define DTK_REPORT_GNUPLOT_H_

#include <filesystem>
#include <string>
#include <system_error>

namespace dtk::report {

// A directory of its own below the system's temporary directory, which
// only this user may enter, removed with its contents at the end of the
// scope.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(std::error_code* error);
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// gnuplot on the PATH, or an empty path.
std::filesystem::path FindGnuplot();

// RunProgram's result when a stop was requested while the program ran.
constexpr int kStopped = -2;

// Runs `program` on the script `script` in `directory` (a name in it),
// what it prints going to "gnuplot.log" there (where the system lets it be
// redirected). Returns its exit status, -1 when it could not be started,
// or kStopped when a stop was requested meanwhile: the program has then
// been ended.
int RunProgram(const std::filesystem::path& program, const std::filesystem::path& directory,
               const std::string& script);

// The whole of the file `path`, or what could be read of it.
std::string ReadText(const std::filesystem::path& path);

}  // namespace dtk::report

#endif  // DTK_REPORT_GNUPLOT_H_
