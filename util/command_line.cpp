// SPDX-License-Identifier: Apache-2.0
#include "util/command_line.hpp"

#include "util/error.hpp"

#include <iostream>

namespace rovelin {

std::string OptionValue::operator()(const std::string& what) const {
  if (index_ + 1 >= argc_) throw UsageError(option_ + " takes " + what);
  std::string value = argv_[++index_];
  if (value.empty() && what != "a value") throw UsageError(option_ + " takes " + what);
  return value;
}

int usageFailure(const ProgramText& program, const std::string& message) {
  errorLine(std::cerr) << message;
  std::cerr << program.usage << std::flush;
  return kExitBadOption;
}

std::optional<int> readCommandLine(int argc, char** argv, const ProgramText& program,
                                   const OptionHandler& handle, ParsedArguments& parsed,
                                   const std::function<void()>& finish) {
  bool quiet = false;
  bool verbose = false;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--") {
        for (++i; i < argc; ++i) parsed.positional.emplace_back(argv[i]);
        break;
      }
      if (arg == "-h" || arg == "--help") {
        std::cout << program.help;
        return checkedStandardOutput(kExitSuccess);
      }
      if (arg == "--version") {
        std::cout << program.version;
        return checkedStandardOutput(kExitSuccess);
      }
      if (arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
        parsed.positional.push_back(arg);
      } else if (arg == "-q" || arg == "--quiet") {
        quiet = true;
      } else if (arg == "-v" || arg == "--verbose") {
        verbose = true;
      } else if (!handle(arg, OptionValue(arg, i, argc, argv))) {
        throw UsageError("unknown option '" + arg + "' (see " + program.name + " --help)");
      }
    }
    if (quiet && verbose) throw UsageError("-q and -v cannot be given together");
    parsed.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    if (finish) finish();
  } catch (const UsageError& e) {
    return usageFailure(program, e.what());
  }
  return std::nullopt;
}

}  // namespace rovelin
