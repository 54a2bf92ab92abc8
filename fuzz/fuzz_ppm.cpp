// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the P6 reader through its stream entry point.
#include "fuzz/fuzz_check.hpp"
#include "segmentation/grid_image.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

// A header may promise up to 2^27 pixels from a handful of bytes; the reader
// honours that (short pixel blocks read as black), so without a bound here
// the fuzzer would spend its time zero-filling large grids. The header is
// read with the reader's own tokeniser so the bound sees what readPpm sees.
constexpr long long kFuzzPixelBound = 1LL << 20;

bool headerTooLarge(const std::string& text) {
  std::istringstream in(text);
  char token[rovelin::kPnmTokenSize];
  try {
    rovelin::readPnmToken(in, token);
    rovelin::readPnmToken(in, token);
    const long long w = std::strtoll(token, nullptr, 10);
    rovelin::readPnmToken(in, token);
    const long long h = std::strtoll(token, nullptr, 10);
    return w > kFuzzPixelBound || h > kFuzzPixelBound ||
           (w > 0 && h > 0 && w * h > kFuzzPixelBound);
  } catch (const rovelin::pnm_error&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (headerTooLarge(text)) {
    return 0;
  }
  std::istringstream in(text);
  try {
    const rovelin::GridImage<rovelin::RgbPixel> image = rovelin::readPpm(in, "fuzz.ppm");
    // A picture without pixels must have been refused.
    rovelin::abortIf(image.width() <= 0 || image.height() <= 0 ||
                     image.pixelCount() > static_cast<std::size_t>(rovelin::kMaxPpmPixels));
    // Touch the first and last pixel so a short allocation shows up.
    volatile unsigned char sink = image.data()[0].r;
    sink = image.data()[image.pixelCount() - 1].b;
    (void)sink;
    // What was read must write and read back unchanged.
    std::ostringstream out;
    rovelin::writePpm(image, out, "fuzz.ppm");
    std::istringstream back(out.str());
    const rovelin::GridImage<rovelin::RgbPixel> again = rovelin::readPpm(back, "round trip");
    rovelin::abortIf(again.width() != image.width() || again.height() != image.height());
    rovelin::abortIf(std::memcmp(image.data(), again.data(),
                                 image.pixelCount() * sizeof(rovelin::RgbPixel)) != 0);
  } catch (const rovelin::pnm_error&) {
  }
  return 0;
}
