#include "driver/model_loading.hpp"

namespace rovelin {

RegionClassifier loadModel(const Options& options, std::ostream& /*err*/) {
  return RegionClassifier(options.trainingFile);
}

}  // namespace rovelin
