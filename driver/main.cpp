// SPDX-License-Identifier: Apache-2.0
// rovelin: label the regions of one video frame. The work lives in the
// libraries; this file maps the command line to a run and errors to exit
// statuses.
#include "driver/annotation.hpp"
#include "driver/decoder_log.hpp"
#include "driver/model_loading.hpp"
#include "driver/options.hpp"
#include "rovelin/version.hpp"

#include <malloc.h>
#include <exception>
#include <iostream>
#include <new>

namespace {

// What was printed must have reached standard output: a full disk or a
// closed descriptor makes the run a failure rather than a silent success.
int checkedStandardOutput(int status) {
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "Error : cannot write to standard output!" << std::endl;
    return rovelin::kExitFailure;
  }
  return status;
}

}  // namespace

namespace {

// Every frame allocates and frees the same few hundred bytes per pixel. With
// the allocator's defaults the larger buffers are mapped and unmapped (and
// the heap trimmed) on every frame, and the kernel zeroes their pages again
// each time, which costs about as much as the segmentation itself. Keeping
// them in the heap lets the next frame reuse them. One arena for all
// threads keeps the freed blocks where every frame in flight finds them, so
// the memory held stays that of the frames in flight, whatever the length
// of the batch; the allocations are few and large, so the lock costs nothing.
void keepFrameBuffers() {
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  mallopt(M_TOP_PAD, 16 << 20);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace rovelin;
  keepFrameBuffers();
  quietImageLibrary();
  const Command command = parseCommandLine(argc, argv);
  switch (command.kind) {
    case CommandKind::Usage:
      std::cerr << std::endl << kUsageLine << std::endl;
      return -1;
    case CommandKind::Help:
      std::cout << helpText();
      return checkedStandardOutput(kExitSuccess);
    case CommandKind::Version:
      std::cout << versionText("rovelin");
      return checkedStandardOutput(kExitSuccess);
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
    return checkedStandardOutput(runAnnotation(command.options, std::cout, std::cerr));
  } catch (const std::bad_alloc&) {
    std::cerr << "Error : out of memory!" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "Error : " << e.what() << "!" << std::endl;
  } catch (...) {
    std::cerr << "Error : unexpected failure!" << std::endl;
  }
  return kExitFailure;
}
