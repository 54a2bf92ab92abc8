// SPDX-License-Identifier: Apache-2.0
// Builds the classifier model for a run.
#pragma once

#include "classifier/region_classifier.hpp"

#include <filesystem>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace rovelin {

// Where a run's model comes from.
struct ModelSource {
  std::string trainingFile;
  std::string cachePath;  // empty: the training file's name with ".cache" appended
  bool useCache = true;
};

// Where the prepared-model cache of `source` lives.
std::string modelCachePath(const ModelSource& source);

// Why `cache` may not be (re)written, or "" when it may: only a missing file
// or a regular file that begins like a cache of this tool may be replaced,
// and never one of the run's `inputs` (what each is, such as "the video",
// and its name).
std::string cacheRefusal(const std::filesystem::path& cache,
                         const std::vector<std::pair<std::string, std::string>>& inputs);

// What became of the prepared-model cache in loadModel.
enum class CacheOutcome {
  NotUsed,     // --no-cache
  Read,        // a valid cache supplied the prepared classes
  Written,     // the classes were prepared and the cache (re)written
  NotWritten,  // the classes were prepared in memory; the cache could not be written
};

// Loads and prepares the model of source.trainingFile, reading the
// file as a stream (a bad header fails at once, memory stays bounded by
// what the header declares). With the cache on, a cache made from the same
// training-file bytes supplies the prepared classes; a cache that is
// missing, stale or damaged in any way is ignored (with a note), and the
// classes are prepared and the cache rewritten under a temporary name then
// renamed, so that concurrent runs only ever read a whole cache. Notes go to
// `err`. `fingerprint`, when given, receives the modelFingerprint of the
// bytes read, the model's identity for its settings and its outputs.
// Throws TrainingDataError (or TrainingFileUnreadable).
RegionClassifier loadModel(const ModelSource& source, std::ostream& err,
                           CacheOutcome* outcome = nullptr, std::string* fingerprint = nullptr);

// `rovelin --prepare-cache`: prepares the model of source.trainingFile and
// makes sure its cache is in place, nothing else. Returns the exit status;
// messages go to `err`.
int prepareModelCache(const ModelSource& source, std::ostream& err);

}  // namespace rovelin
