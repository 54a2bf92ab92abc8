// SPDX-License-Identifier: Apache-2.0
#include "model/model_cache.hpp"
#include "model/model_loading.hpp"
#include "support/tool_runner.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace rovelin {
namespace {

using test_support::TempDir;
namespace fs = std::filesystem;

std::vector<PreparedClass> sampleClasses() {
  PreparedClass a{Eigen::MatrixXd::Random(3, 3).cwiseAbs(), 0.75, 4};
  PreparedClass b{Eigen::MatrixXd::Random(2, 2).cwiseAbs(), 1.5, 25};
  return {a, b};
}

TEST(ModelCache, RoundTripsAndRefusesEveryDamage) {
  const CacheKey key = cacheKeyOf("training bytes");
  const auto classes = sampleClasses();
  const std::string bytes = encodeModelCache(key, classes);
  std::string why;
  const auto decoded = decodeModelCache(bytes, key, why);
  ASSERT_TRUE(decoded.has_value()) << why;
  ASSERT_EQ(decoded->size(), 2u);
  EXPECT_EQ((*decoded)[0].distances, classes[0].distances);  // bit for bit
  EXPECT_EQ((*decoded)[1].bandwidth, 1.5);
  EXPECT_EQ((*decoded)[1].bandwidthIterations, 25);

  EXPECT_FALSE(decodeModelCache(bytes, cacheKeyOf("training bytez"), why));
  EXPECT_EQ(why, "it was made from another training file");
  for (std::size_t at : {std::size_t{0}, std::size_t{30}, bytes.size() / 2, bytes.size() - 1}) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    EXPECT_FALSE(decodeModelCache(damaged, key, why)) << at;
  }
  for (std::size_t length : {std::size_t{0}, std::size_t{10}, bytes.size() - 1}) {
    EXPECT_FALSE(decodeModelCache(bytes.substr(0, length), key, why)) << length;
  }
}

TEST(ModelCache, ACachedModelEqualsAFreshOneAndStaleCachesAreIgnored) {
  TempDir dir;
  test_support::writeModelFile(dir / "model.txt", {"sky", "road", "car"}, 4);
  ModelSource options;
  options.trainingFile = (dir / "model.txt").string();
  std::ostringstream notes;
  const RegionClassifier fresh = loadModel(options, notes);
  EXPECT_EQ(notes.str(), "");
  ASSERT_TRUE(fs::exists(dir / "model.txt.cache"));
  const RegionClassifier cached = loadModel(options, notes);
  EXPECT_EQ(notes.str(), "");
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(cached.trainingClass(k).distances, fresh.trainingClass(k).distances);
    EXPECT_EQ(cached.trainingClass(k).bandwidth, fresh.trainingClass(k).bandwidth);
  }

  // Another training file under the same name: the cache is ignored, with a note, and rewritten.
  test_support::writeModelFile(dir / "model.txt", {"sky", "road", "car"}, 4, 10, 99);
  const RegionClassifier changed = loadModel(options, notes);
  EXPECT_NE(notes.str().find("ignoring the model cache"), std::string::npos);
  EXPECT_NE(changed.trainingClass(0).distances, fresh.trainingClass(0).distances);
  notes.str("");
  loadModel(options, notes);
  EXPECT_EQ(notes.str(), "");

  // A damaged cache is ignored too; --no-cache neither reads nor writes one.
  std::ofstream(dir / "model.txt.cache", std::ios::trunc) << "garbage";
  loadModel(options, notes);
  EXPECT_NE(notes.str().find("not a model cache"), std::string::npos);
  options.useCache = false;
  options.cachePath = (dir / "elsewhere.cache").string();
  notes.str("");
  loadModel(options, notes);
  EXPECT_EQ(notes.str(), "");
  EXPECT_FALSE(fs::exists(dir / "elsewhere.cache"));
}

}  // namespace
}  // namespace rovelin
