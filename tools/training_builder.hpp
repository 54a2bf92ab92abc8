// SPDX-License-Identifier: Apache-2.0
// Builds a training-data file from labelled frames of a video: every frame
// goes through exactly the annotator's path (grab, scale, segmentation,
// feature planes, regions, descriptors), and every region whose labelled
// pixels carry one class for at least `purity` of them becomes a training
// sample of that class.
#pragma once

#include "labels/label_map.hpp"
#include "model/model_settings.hpp"
#include "segmentation/segmentation_params.hpp"
#include "statistics/covariance_descriptor.hpp"
#include "util/error.hpp"

#include <Eigen/Core>

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace rovelin {

// A training run that cannot produce a model the loader would accept, or
// whose inputs are unusable. The message names the problem.
class TrainingBuildError : public Error {
public:
  using Error::Error;
};

// A class with fewer than 2 samples: the frames are labelled too thinly, or
// the regions are too large for the frame's scale.
class TooFewSamplesError : public TrainingBuildError {
public:
  using TrainingBuildError::TrainingBuildError;
};

// A training run: what it reads, the run settings it trains the model for,
// and how it picks and writes the samples.
struct TrainingOptions : RunSettings, TrainingSource {
  std::filesystem::path output;      // -o: the training-data file
  std::filesystem::path classList;   // --classes; empty: names from the JSON labels
  double purity = 0.9;               // share of a region's labelled pixels its class must hold
  int maxPerClass = 0;               // --max-per-class; 0: keep every sample
  std::string context = "identity";  // identity | uniform | estimated | a file of K×K reals
  std::filesystem::path workDir;     // where inpimage.ppm / outimage.ppm go (default: here)
  bool ignoreUnknown = false;        // --ignore-unknown: skip shapes of labels not in the list
  std::ostream* warnings = nullptr;  // skipped shapes, one line per file and cause (if set)
};

struct ClassTally {
  std::string name;
  int found = 0;  // pure regions of this class
  int kept = 0;   // written to the file
  int dropped() const { return found - kept; }
};

struct TrainingSet {
  std::vector<ClassTally> classes;                         // in class order
  std::vector<std::vector<CovarianceDescriptor>> samples;  // kept samples per class
  Eigen::MatrixXd context;                                 // K×K
  int impureRegions = 0;                                   // regions below the purity
  int unlabelledRegions = 0;                               // regions without labelled pixels
};

// Which class a region belongs to: the class of most of its labelled pixels
// (the lower class number on a tie) when that share is at least `purity`;
// 0 when the region has no labelled pixels or is not pure enough.
// `histogram[k]` counts the region's pixels of class number k (0: unlabelled).
int pureClass(const std::vector<long long>& histogram, double purity);

// Keeps `limit` of `count` items, evenly spread and always the same ones:
// the indices floor(i · count / limit) for i = 0 .. limit-1.
std::vector<int> evenSubsample(int count, int limit);

// Context matrix estimated from how often classes touch in the label maps.
// adjacency(r, c) counts the 4-neighbour pixel pairs of classes r and c
// (both labelled, counted both ways; r = c counts pairs inside a class).
// context(r, c) = K · (adjacency(r, c) + 1) / (Σ_r' adjacency(r', c) + K):
// K times the smoothed share of class r among the neighbours of class c, so
// that every entry is positive and a uniform scene gives 1 everywhere.
Eigen::MatrixXd estimateContext(const Eigen::MatrixXd& adjacency);

// Counts 4-neighbour class adjacencies of one label map (CV_32SC1) into the
// (K+1)×(K+1) matrix `adjacency`, index 0 being unlabelled (not counted).
void countAdjacency(const cv::Mat& labels, Eigen::MatrixXd& adjacency);

// The classes of a training run: the class list, or the names the polygon
// labels use in order of first appearance.
std::vector<ClassEntry> trainingClasses(const TrainingOptions& options);

// Runs the frames through the annotator's path and collects the samples.
// Progress and the segmentation lines go to `log` (may be null).
TrainingSet collectTrainingSet(const TrainingOptions& options, std::ostream* log);

// Throws TrainingBuildError naming the first class whose name the
// training-file loader would refuse (empty, a blank inside, too long).
void checkClassNames(const std::vector<ClassEntry>& classes);

// The training-data file text for `set`; throws TrainingBuildError when the
// loader would reject it (fewer than 2 classes, a class with fewer than 2
// samples: TooFewSamplesError, a class name that is not one word), naming
// the classes.
std::string formatTrainingFile(const TrainingSet& set);

}  // namespace rovelin
