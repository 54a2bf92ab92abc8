// SPDX-License-Identifier: Apache-2.0
// The settings a model was trained with, kept in a small JSON file beside
// the training-data file (model.txt → model.txt.settings.json): the region
// descriptor, the segmentation, the vehicle rule, the classes and their
// colours, and what the model was trained on. A run on the model uses them;
// a model without the file runs with the defaults.
#pragma once

#include "classifier/region_classifier.hpp"
#include "labels/class_list.hpp"
#include "segmentation/segmentation_params.hpp"
#include "statistics/covariance_descriptor.hpp"
#include "util/error.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rovelin {

// A settings file that cannot be read or is damaged; what() names the file.
class SettingsError : public Error {
public:
  using Error::Error;
};

// How a model's regions are found, described and labelled: what training
// fixes and every run on the model uses.
// The per-pixel filter of the labels through consecutive frames (--temporal).
struct TemporalSettings {
  bool on = false;
  double tau = 10.0;  // --temporal-tau: grey levels of blurred colour change that reset a pixel
  double alphaMin = 0.05;  // --temporal-alpha-min: the smallest weight of a new frame
  int warmup = 20;         // --temporal-warmup: frames read before a part that starts mid-video
};

struct RunSettings {
  DescriptorKind descriptor = DescriptorKind::Covariance;  // --descriptor
  SegmentationParams segmentation;                         // --sigma, --k, --min-size
  bool vehicleRule = true;    // elongated car-class regions move to their next class
  TemporalSettings temporal;  // a settings file records only whether it is on
  // modelFingerprint of the training-data file: in a settings file, the one
  // it was written with (a run refuses settings left by an earlier
  // training); in a run, that of the bytes the run loaded.
  std::string model;
  // Classification may skip the pairs that cannot change a class density by
  // more than this (prunedLogDensities); 0, and every file without the
  // field, computes every pair. rovelin-train --tune records it.
  double densityTolerance = 0.0;
};

struct LabelledFrame {
  int frame = 0;                 // frame number in the video
  std::filesystem::path labels;  // its label map (.png or .json)
};

// What a model is trained on.
struct TrainingSource {
  std::string video;                  // VIDEO
  double factor = 1.0;                // FACTOR, as the annotator takes it
  std::vector<LabelledFrame> frames;  // FRAME:LABELS pairs
};

struct ModelSettings : RunSettings, TrainingSource {
  std::vector<ClassEntry> classes;               // in class order (colours may be absent)
  std::optional<double> crossValidatedAccuracy;  // mean held-out pixel accuracy of --tune
  bool factorRecorded = false;  // "training" names the factor (older files may not)
};

// FNV-1a (64 bits) of a training-data file's bytes, as 16 hexadecimal digits.
std::string modelFingerprint(const std::string& bytes);
// The same from the hash of a file read in chunks (CacheKey::hash).
std::string modelFingerprint(std::uint64_t hash);

// model.txt → model.txt.settings.json: named after the whole file name, so
// that cars.v1 and cars.v2, or model.txt and model.dat, each have their own.
std::filesystem::path settingsPathFor(const std::filesystem::path& model);

// The name earlier versions used (model.txt → model.settings.json), still
// read when only it exists and it was written for the same model bytes.
std::filesystem::path legacySettingsPathFor(const std::filesystem::path& model);

// The run settings as the settings file spells them: "descriptor",
// "segmentation" {"sigma", "k", "min_size"} and "vehicle_rule", then, only
// when the temporal filter is on, "temporal" {"tau", "alpha_min", "warmup"},
// and "density_tolerance" when it is not 0.
// Each frame's JSON records them, so a resumed batch can tell whose output
// it finds.
nlohmann::ordered_json runSettingsJson(const RunSettings& settings);

// The JSON text of `settings` (ends with a newline). Throws SettingsError
// naming the field when a name in it is not UTF-8 text.
std::string formatSettings(const ModelSettings& settings);

// Parses a settings file's text; `name` is used in messages. Throws
// SettingsError for text that is not such a file or holds unusable values.
ModelSettings parseSettings(const std::string& text, const std::string& name);

// The settings beside `model`: empty when there is no such file, a
// SettingsError when it cannot be read, is damaged, or is not a regular
// file (a pipe or a device is refused, not waited on). `fingerprint`, when
// given, is that of the model bytes in use: the legacy name is only read
// when it records the same one. `found` receives the name read.
std::optional<ModelSettings> readSettingsBeside(const std::filesystem::path& model,
                                                const std::string& fingerprint = "",
                                                std::filesystem::path* found = nullptr);

// Reads a number option of the segmentation ("--sigma", "--k" or
// "--min-size") into `params`. Returns why the value is refused, or an
// empty string; false `known` when `name` is none of them.
std::string parseSegmentationOption(const std::string& name, const std::string& value,
                                    SegmentationParams& params, bool& known);

// Settings a run's command line gives explicitly; unset: the model's.
struct SettingsOverrides {
  std::optional<float> sigma;              // --sigma S
  std::optional<float> k;                  // --k K
  std::optional<int> minSize;              // --min-size N
  std::optional<bool> vehicleRule;         // --vehicle-rule, --no-vehicle-rule
  std::optional<bool> temporal;            // --temporal, --no-temporal
  std::optional<double> temporalTau;       // --temporal-tau T
  std::optional<double> temporalAlphaMin;  // --temporal-alpha-min A
  std::optional<int> temporalWarmup;       // --temporal-warmup W
  // FACTOR of the run: not a setting, but a model learns its regions at one
  // scale, so a run far from the factor it was trained at is warned about.
  std::optional<double> factor;
};

// What a run uses: the settings beside `trainingFile` with the command line's
// explicit `overrides` applied over them (one note on `err` naming what the
// command line changed). The descriptor follows the model's matrix order.
// `fingerprint` is that of the bytes `model` was loaded from (loadModel
// gives it), so settings are checked against what the run actually uses,
// not against the file as it is now; it is recorded in the result.
// Throws SettingsError when the file is damaged or does not fit the model.
// An embedding model (order 11, never a default model) without settings is
// refused. A run FACTOR more than 10% away from the recorded one gets one
// warning, even when quiet.
RunSettings resolveRunSettings(const std::string& trainingFile, const SettingsOverrides& overrides,
                               const RegionClassifier& model, const std::string& fingerprint,
                               std::ostream& err);

// The classes recorded beside `trainingFile`, with their colours: empty
// when there is no settings file or it cannot be used.
std::vector<ClassEntry> classesBeside(const std::string& trainingFile);

}  // namespace rovelin
