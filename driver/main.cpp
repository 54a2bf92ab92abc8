// SPDX-License-Identifier: Apache-2.0
// rovelin: label the regions of one video frame. The work lives in the
// libraries; this file maps the command line to a run and errors to exit
// statuses.
#include "driver/annotation.hpp"
#include "driver/options.hpp"
#include "model/model_loading.hpp"
#include "pipeline/process_setup.hpp"
#include "rovelin/version.hpp"
#include "util/error.hpp"
#include "util/report.hpp"

#include <iostream>

int main(int argc, char** argv) {
  using namespace rovelin;
  const Command command = parseCommandLine(argc, argv);
  switch (command.kind) {
    case CommandKind::Usage:
      plainLine(std::cerr, Verbosity::Quiet) << '\n' << kUsageLine;
      return kExitUsage;
    case CommandKind::Help:
      std::cout << helpText();
      return checkedStandardOutput(kExitSuccess);
    case CommandKind::Version:
      std::cout << versionText("rovelin");
      return checkedStandardOutput(kExitSuccess);
    case CommandKind::Error:
      errorLine(std::cerr) << command.error;
      return kExitBadOption;
    case CommandKind::Run:
      break;
  }
  const Options& options = command.options;
  setMessageStyle(std::cerr, "rovelin", options.verbosity);
  for (const std::string& warning : command.warnings) warningLine(std::cerr) << warning;
  setUpProcess(options.verbosity);
  try {
    if (options.prepareCacheOnly) return prepareModelCache(options.modelSource(), std::cerr);
    return checkedStandardOutput(runAnnotation(options, std::cout, std::cerr));
  } catch (...) {
    return reportException(std::cerr);
  }
}
