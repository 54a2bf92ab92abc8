// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the readers of the training builder's ground truth. The first
// byte picks the reader:
//   0: a polygon annotation (JSON) rasterised at one of two allowed sizes,
//   1: a PNG label map read through readLabelMap from a file,
//   2: a class list,
//   3: a COCO instances JSON,
//   4: a CVAT for images 1.1 XML,
//   5: COCO compressed counts decoded into a mask of the scaled size,
//   6: a CVAT segmentation-mask zip archive read from a file.
#include "fuzz/fuzz_check.hpp"
#include "labels/coco.hpp"
#include "labels/cvat_masks.hpp"
#include "labels/cvat_xml.hpp"
#include "labels/label_map.hpp"
#include "labels/polygon_annotation.hpp"
#include "labels/rle.hpp"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const cv::Size kFrame(64, 48);
const cv::Size kScaled(32, 24);

const std::vector<rovelin::ClassEntry>& fuzzClasses() {
  static const std::vector<rovelin::ClassEntry> classes = {
      {"sky", cv::Vec3b(135, 185, 235)},
      {"grass", cv::Vec3b(60, 140, 50)},
      {"road", cv::Vec3b(128, 128, 128)},
  };
  return classes;
}

// Every class number in a map must name a class of the list, or be 0.
void checkMap(const cv::Mat& map, cv::Size wanted) {
  rovelin::abortIf(map.type() != CV_32SC1 || map.size() != wanted);
  for (int y = 0; y < map.rows; ++y) {
    const int* row = map.ptr<int>(y);
    for (int x = 0; x < map.cols; ++x) {
      rovelin::abortIf(row[x] < 0 || row[x] > static_cast<int>(fuzzClasses().size()));
    }
  }
}

// `bytes` in a file of this process named with `extension`, removed again
// however the reader ends.
struct ScratchFile {
  ScratchFile(const std::string& bytes, const char* extension)
      : path(std::filesystem::temp_directory_path() /
             ("rovelin-fuzz-" + std::to_string(::getpid()) + extension)) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  const std::filesystem::path path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 65536) {
    return 0;
  }
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 7) {
      case 0: {
        std::istringstream in(body);
        const cv::Mat map =
            rovelin::rasteriseJsonAnnotation(in, "fuzz.json", fuzzClasses(), {kFrame, kScaled});
        rovelin::abortIf(map.size() != kFrame && map.size() != kScaled);
        checkMap(map, map.size());
        break;
      }
      case 1: {
        const ScratchFile file(body, ".png");
        checkMap(rovelin::readLabelMap(file.path, fuzzClasses(), kFrame, kScaled), kScaled);
        break;
      }
      case 3:
      case 4: {
        std::istringstream in(body);
        const auto frames = data[0] % 7 == 3
                                ? rovelin::readCocoJson(in, "fuzz.json", fuzzClasses(),
                                                        {kFrame, kScaled}, data[0] > 127)
                                : rovelin::readCvatXml(body, "fuzz.xml", fuzzClasses(),
                                                       {kFrame, kScaled}, data[0] > 127);
        for (const rovelin::ImportedFrame& f : frames)
          checkMap(f.classNumbers, f.classNumbers.size());
        break;
      }
      case 5: {
        const cv::Mat mask =
            rovelin::maskFromRuns(rovelin::decompressCocoRuns(body, "fuzz"), kScaled, true, "fuzz");
        rovelin::abortIf(mask.size() != kScaled);
        break;
      }
      case 6: {
        const ScratchFile file(body, ".png.zip");
        for (const rovelin::ImportedFrame& f :
             rovelin::readCvatMasks(file.path, fuzzClasses(), {kFrame, kScaled}, true))
          checkMap(f.classNumbers, f.classNumbers.size());
        break;
      }
      case 2: {
        const std::vector<rovelin::ClassEntry> classes = rovelin::readClassList(body, "fuzz.txt");
        rovelin::abortIf(classes.empty() || classes.size() > rovelin::kMaxClassCount);
        for (const rovelin::ClassEntry& entry : classes) {
          rovelin::abortIf(entry.name.empty() ||
                           (entry.colour && *entry.colour == cv::Vec3b(0, 0, 0)));
        }
        break;
      }
      default:
        break;
    }
  } catch (const rovelin::LabelMapError&) {
  }
  return 0;
}
