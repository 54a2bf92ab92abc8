// Builds the classifier model for a run.
#pragma once

#include "classifier/region_classifier.hpp"
#include "driver/options.hpp"

#include <iosfwd>

namespace rovelin {

// Loads and prepares the model named by options.trainingFile. Notes go to
// `err`. Throws TrainingDataError (or TrainingFileUnreadable).
RegionClassifier loadModel(const Options& options, std::ostream& err);

}  // namespace rovelin
