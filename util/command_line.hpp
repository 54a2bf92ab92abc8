// SPDX-License-Identifier: Apache-2.0
// The command line the secondary programs share: options anywhere among the
// arguments, "--" ending them, -h/--help, --version, -q/--quiet and
// -v/--verbose (not both), and every mistake refused with "Error : ...!" and
// status 2. A word of '-' and a digit is an argument (a frame, a number).
#pragma once

#include "util/parse_number.hpp"
#include "util/report.hpp"

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rovelin {

// A command line that cannot be run; its message is shown as "Error : ...!".
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ProgramText {
  std::string name;     // "rovelin-train": names the help in error messages
  std::string help;     // printed by -h/--help
  std::string version;  // printed by --version
  std::string usage;    // printed after an error, with its end of line (may be empty)
};

// Gives the value of the option being read, the next word; throws
// UsageError("OPTION takes WHAT") when there is none, or when it is empty
// and `what` is not.
class OptionValue {
public:
  OptionValue(const std::string& option, int& index, int argc, char** argv)
      : option_(option), index_(index), argc_(argc), argv_(argv) {}
  std::string operator()(const std::string& what = "a value") const;
  // The value as a number of type T for which `fits` holds; throws
  // UsageError("OPTION takes WHAT") for any other word.
  template <typename T, typename Fits>
  T number(const std::string& what, Fits fits) const {
    const std::optional<T> value = parseNumber<T>((*this)(what));
    if (!value || !fits(*value)) throw UsageError(option_ + " takes " + what);
    return *value;
  }

private:
  const std::string& option_;
  int& index_;
  int argc_;
  char** argv_;
};

// Sets a program's own option. Returns false for one it does not know;
// throws UsageError for a bad value.
using OptionHandler = std::function<bool(const std::string& option, const OptionValue& value)>;

struct ParsedArguments {
  std::vector<std::string> positional;
  Verbosity verbosity = Verbosity::Normal;
};

// Reads argv into `parsed`, handing every option but the shared ones to
// `handle`; `finish`, when given, checks what was read and throws
// UsageError. Returns the exit status when the program ends here (help,
// version, or a command line that cannot be run).
std::optional<int> readCommandLine(int argc, char** argv, const ProgramText& program,
                                   const OptionHandler& handle, ParsedArguments& parsed,
                                   const std::function<void()>& finish = {});

// Prints `message` as a usage error, then the program's usage; returns 2.
int usageFailure(const ProgramText& program, const std::string& message);

}  // namespace rovelin
