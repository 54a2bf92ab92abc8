// SPDX-License-Identifier: Apache-2.0
// Frame lists cut into parts, and the names a video's outputs are filed under.
#include "pipeline/frame_list.hpp"
#include "pipeline/output_names.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace rovelin {
namespace {

TEST(ShardFrames, PartsAreContiguousNearlyEqualAndCoverTheListOnce) {
  for (int length : {0, 1, 7, 10, 300}) {
    std::vector<int> frames;
    for (int i = 0; i < length; ++i) frames.push_back(3 * i + 1);
    for (int count : {1, 2, 3, 7, 11, 400}) {
      std::vector<int> joined;
      std::size_t smallest = frames.size();
      std::size_t largest = 0;
      for (int index = 0; index < count; ++index) {
        const std::vector<int> part = shardFrames(frames, Shard{index, count});
        joined.insert(joined.end(), part.begin(), part.end());
        smallest = std::min(smallest, part.size());
        largest = std::max(largest, part.size());
      }
      EXPECT_EQ(joined, frames) << length << " frames in " << count << " parts";
      EXPECT_LE(largest - std::min(smallest, largest), 1u);
    }
  }
  EXPECT_EQ(shardFrames({5, 6, 7, 8, 9}, Shard{1, 2}), (std::vector<int>{7, 8, 9}));
  EXPECT_THROW(shardFrames({1}, Shard{2, 2}), std::invalid_argument);
}

TEST(VideoOutputName, KeepsTheStemAndReplacesUnsafeCharacters) {
  EXPECT_EQ(videoOutputName("/data/cam 1/street(a).avi"), "street_a_");
  EXPECT_EQ(videoOutputName("clips/park.b.mp4"), "park.b");
  EXPECT_EQ(videoOutputName("caf\xc3\xa9;rm -rf.avi"), "caf___rm_-rf");
  EXPECT_EQ(videoOutputName(".hidden"), "_hidden");
  EXPECT_EQ(videoOutputName("..avi"), "_");
  EXPECT_EQ(videoOutputName("dir/"), "_");

  // {videopath} keeps the folders and the extension, so same-named videos
  // of different folders or containers never share their outputs.
  EXPECT_EQ(videoPathOutputName("cam1/0001.avi"), "cam1/0001_avi");
  EXPECT_EQ(videoPathOutputName("cam2/0001.avi"), "cam2/0001_avi");
  EXPECT_EQ(videoPathOutputName("0001.mp4"), "0001_mp4");
  EXPECT_EQ(videoPathOutputName("/data/./cam 1/../x/.v.avi"), "data/x/_v_avi");
  EXPECT_EQ(videoPathOutputName("../up/a.b.avi"), "__/up/a.b_avi");
  EXPECT_EQ(expandVideoPattern("out/{videopath}/{video}-{frame}.json", "cam1/0001.avi"),
            "out/cam1/0001_avi/0001-{frame}.json");
  EXPECT_EQ(fixedOutputDirectory("out/{videopath}/{frame}.json"), "out");
}

}  // namespace
}  // namespace rovelin
