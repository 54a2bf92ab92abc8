// SPDX-License-Identifier: Apache-2.0
// The outputs of a run that cover all of its frames, for the annotation
// tools: --coco FILE.json, --cvat FILE.xml and --cvat-masks FILE.zip, and
// --frames-dir DIR with the frame_FFFFFF.png pictures they refer to. Frames
// are added in frame order as the writer emits them; the files are written
// once, at the end.
#pragma once

#include "driver/frame_work.hpp"
#include "driver/options.hpp"
#include "labels/coco.hpp"

#include <vector>

namespace rovelin {

class RunFiles {
public:
  RunFiles(const Options& options, const ClassTable& classes)
      : options_(options), classes_(classes) {}
  // Keeps the frame's regions and labels, and writes its picture to
  // --frames-dir. Throws FileWriteError.
  void add(const FrameResult& frame);
  // Writes --coco, --cvat and --cvat-masks. Throws FileWriteError.
  void finish() const;

private:
  const Options& options_;
  const ClassTable& classes_;
  std::vector<RegionLabels> frames_;
};

}  // namespace rovelin
