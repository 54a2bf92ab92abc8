// Builds the classifier model for a run.
#pragma once

#include "classifier/region_classifier.hpp"
#include "driver/options.hpp"

#include <iosfwd>
#include <string>

namespace rovelin {

// Where the prepared-model cache of a run lives: --cache, or the training
// file's name with ".cache" appended.
std::string modelCachePath(const Options& options);

// Loads and prepares the model named by options.trainingFile. With the cache
// on, a cache made from the same training-file bytes supplies the prepared
// classes; otherwise they are computed and the cache is (re)written. Notes
// about the cache go to `err`. Throws TrainingDataError (or
// TrainingFileUnreadable).
RegionClassifier loadModel(const Options& options, std::ostream& err);

}  // namespace rovelin
