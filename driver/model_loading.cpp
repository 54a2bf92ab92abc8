#include "driver/model_loading.hpp"

#include "driver/model_cache.hpp"
#include "driver/outputs.hpp"

#include <fstream>
#include <ostream>
#include <sstream>

namespace rovelin {

namespace {

// Reads a whole file; false when it cannot be opened or read.
bool slurp(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    return false;
  }
  bytes = text.str();
  return true;
}

}  // namespace

std::string modelCachePath(const Options& options) {
  return options.cachePath.empty() ? options.trainingFile + ".cache" : options.cachePath;
}

RegionClassifier loadModel(const Options& options, std::ostream& err) {
  std::string bytes;
  if (!slurp(options.trainingFile, bytes)) {
    throw TrainingFileUnreadable(options.trainingFile +
                                 ": the training data file cannot be opened");
  }
  if (!options.useCache) {
    std::istringstream in(bytes);
    return RegionClassifier::load(in, options.trainingFile,
                                  RegionClassifier::kRegionDescriptorOrders);
  }

  const CacheKey key = cacheKeyOf(bytes);
  const std::string cachePath = modelCachePath(options);
  std::string cached;
  if (slurp(cachePath, cached)) {
    std::string why;
    if (auto prepared = decodeModelCache(cached, key, why)) {
      try {
        std::istringstream in(bytes);
        return RegionClassifier::load(in, options.trainingFile,
                                      RegionClassifier::kRegionDescriptorOrders, *prepared);
      } catch (const std::invalid_argument& e) {
        why = e.what();
      }
    }
    err << "rovelin: note: ignoring the model cache \"" << cachePath << "\": " << why << std::endl;
  }

  std::istringstream in(bytes);
  RegionClassifier model =
      RegionClassifier::load(in, options.trainingFile, RegionClassifier::kRegionDescriptorOrders);
  try {
    writeTextAtomically(cachePath, encodeModelCache(key, model.preparedClasses()));
  } catch (const std::exception& e) {
    err << "rovelin: note: the model cache was not written: " << e.what() << std::endl;
  }
  return model;
}

}  // namespace rovelin
