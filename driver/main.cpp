// rovelin: label the regions of one video frame. The work lives in the
// libraries; this file maps the command line to a run and errors to exit
// statuses.
#include "driver/annotation.hpp"
#include "driver/decoder_log.hpp"
#include "driver/model_loading.hpp"
#include "driver/options.hpp"


#include <exception>
#include <iostream>
#include <new>

#ifndef ROVELIN_VERSION
#define ROVELIN_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  using namespace rovelin;
  quietImageLibrary();
  const Command command = parseCommandLine(argc, argv);
  switch (command.kind) {
    case CommandKind::Usage:
      std::cerr << std::endl << kUsageLine << std::endl;
      return -1;
    case CommandKind::Help:
      std::cout << helpText();
      return kExitSuccess;
    case CommandKind::Version:
      std::cout << "rovelin " << ROVELIN_VERSION << std::endl;
      return kExitSuccess;
    case CommandKind::Error:
      std::cerr << "Error : " << command.error << "!" << std::endl;
      return kExitBadOption;
    case CommandKind::Run:
      break;
  }
  for (const std::string& warning : command.warnings) {
    std::cerr << warning << std::endl;
  }
  quietVideoDecoder(command.options.verbose);
  try {
    if (command.options.prepareCacheOnly) {
      return prepareModelCache(command.options, std::cerr);
    }
    return runAnnotation(command.options, std::cout, std::cerr);
  } catch (const std::bad_alloc&) {
    std::cerr << "Error : out of memory!" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "Error : " << e.what() << "!" << std::endl;
  } catch (...) {
    std::cerr << "Error : unexpected failure!" << std::endl;
  }
  return kExitFailure;
}
