// SPDX-License-Identifier: Apache-2.0
// The benchmarks run in a process set up as the programs set up theirs: the
// allocator keeps freed frame buffers for the next frame instead of handing
// them back to the kernel, which would zero their pages again on every frame.
#include "pipeline/process_setup.hpp"

namespace {

const bool kProcessSetUp = [] {
  rovelin::setUpProcess(rovelin::Verbosity::Normal);
  return true;
}();

}  // namespace
