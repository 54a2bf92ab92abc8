// SPDX-License-Identifier: Apache-2.0
#include "model/model_settings.hpp"

#include "model/model_cache.hpp"
#include "util/file_io.hpp"
#include "util/parse_number.hpp"
#include "util/report.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <sstream>
#include <system_error>

#include <sys/stat.h>

namespace rovelin {

namespace {

using json = nlohmann::ordered_json;

// Room for the largest class list with long names and many trained frames.
constexpr std::size_t kMaxSettingsBytes = 64u << 20;

// The float as the shortest decimal that reads back to it, so 0.8f is kept
// as 0.8 rather than 0.800000011920929.
double shortestDouble(float value) {
  char text[64];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) return static_cast<double>(value);
  return parseNumber<double>(std::string_view(text, static_cast<std::size_t>(end - text)))
      .value_or(static_cast<double>(value));
}

std::string shortText(float value) {
  std::ostringstream text;
  text << shortestDouble(value);
  return text.str();
}

[[noreturn]] void damaged(const std::string& name, const std::string& problem) {
  throw SettingsError("settings file " + name + " is damaged: " + problem);
}

const json& member(const json& object, const char* key, const std::string& name) {
  const auto found = object.find(key);
  if (found == object.end()) damaged(name, std::string("\"") + key + "\" is missing");
  return *found;
}

double number(const json& value, const std::string& what, const std::string& name) {
  if (!value.is_number()) damaged(name, what + " is not a number");
  const double v = value.get<double>();
  if (!std::isfinite(v)) damaged(name, what + " is not a finite number");
  return v;
}

}  // namespace

std::string modelFingerprint(const std::string& bytes) {
  return modelFingerprint(cacheKeyOf(bytes).hash);
}

std::string modelFingerprint(std::uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::filesystem::path settingsPathFor(const std::filesystem::path& model) {
  std::filesystem::path path = model;
  path += ".settings.json";
  return path;
}

std::filesystem::path legacySettingsPathFor(const std::filesystem::path& model) {
  std::filesystem::path path = model;
  if (path.has_extension()) path.replace_extension();
  path += ".settings.json";
  return path;
}

json runSettingsJson(const RunSettings& settings) {
  json doc;
  doc["descriptor"] = descriptorName(settings.descriptor);
  doc["segmentation"] = {{"sigma", shortestDouble(settings.segmentation.sigma)},
                         {"k", shortestDouble(settings.segmentation.k)},
                         {"min_size", settings.segmentation.minSize}};
  doc["vehicle_rule"] = settings.vehicleRule;
  if (settings.temporal.on) {
    doc["temporal"] = {{"tau", settings.temporal.tau},
                       {"alpha_min", settings.temporal.alphaMin},
                       {"warmup", settings.temporal.warmup}};
  }
  if (settings.densityTolerance != 0.0) doc["density_tolerance"] = settings.densityTolerance;
  return doc;
}

std::string formatSettings(const ModelSettings& settings) {
  json doc = runSettingsJson(settings);
  // A model records only that it is meant to run with the filter; the
  // filter's parameters are the run's.
  if (settings.temporal.on) doc["temporal"] = true;
  json classes = json::array();
  for (const ClassEntry& entry : settings.classes) {
    json c = {{"name", entry.name}, {"colour", nullptr}};
    if (entry.colour) c["colour"] = {(*entry.colour)[0], (*entry.colour)[1], (*entry.colour)[2]};
    classes.push_back(c);
  }
  doc["classes"] = classes;
  json frames = json::array();
  for (const LabelledFrame& frame : settings.frames) {
    frames.push_back({{"frame", frame.frame}, {"labels", frame.labels.string()}});
  }
  doc["training"] = {{"model", settings.model},
                     {"video", settings.video},
                     {"factor", settings.factor},
                     {"frames", frames},
                     {"cross_validated_accuracy", nullptr}};
  if (settings.crossValidatedAccuracy) {
    doc["training"]["cross_validated_accuracy"] = *settings.crossValidatedAccuracy;
  }
  try {
    return doc.dump(2) + "\n";
  } catch (const json::type_error&) {
    // The names are compared byte for byte on every run, so a lossy
    // replacement would give settings that no longer fit their model.
    throw SettingsError(
        "the settings cannot be written: the video name or a class name is not "
        "UTF-8 text");
  }
}

ModelSettings parseSettings(const std::string& text, const std::string& name) {
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) damaged(name, "it is not JSON");
  if (!doc.is_object()) damaged(name, "it is not a JSON object");
  ModelSettings settings;

  const json& descriptor = member(doc, "descriptor", name);
  const auto kind =
      descriptor.is_string() ? parseDescriptorKind(descriptor.get<std::string>()) : std::nullopt;
  if (!kind) damaged(name, "\"descriptor\" must be \"covariance\" or \"embedding\"");
  settings.descriptor = *kind;

  const json& segmentation = member(doc, "segmentation", name);
  if (!segmentation.is_object()) damaged(name, "\"segmentation\" is not an object");
  const double sigma = number(member(segmentation, "sigma", name), "sigma", name);
  const double k = number(member(segmentation, "k", name), "k", name);
  const json& minSize = member(segmentation, "min_size", name);
  if (!minSize.is_number_integer()) damaged(name, "min_size is not a whole number");
  const auto size = minSize.get<long long>();
  if (size < 1 || size > 1'000'000'000)
    damaged(name, "min_size " + std::to_string(size) + " is out of range");
  if (std::abs(sigma) > 1e30 || std::abs(k) > 1e30) damaged(name, "sigma or k is out of range");
  settings.segmentation =
      SegmentationParams{static_cast<float>(sigma), static_cast<float>(k), static_cast<int>(size)};
  if (const std::string problem = segmentationParamsProblem(settings.segmentation);
      !problem.empty()) {
    damaged(name, problem);
  }

  const json& rule = member(doc, "vehicle_rule", name);
  if (!rule.is_boolean()) damaged(name, "\"vehicle_rule\" is not true or false");
  settings.vehicleRule = rule.get<bool>();
  if (const auto temporal = doc.find("temporal"); temporal != doc.end()) {
    if (!temporal->is_boolean()) damaged(name, "\"temporal\" is not true or false");
    settings.temporal.on = temporal->get<bool>();
  }
  if (const auto tolerance = doc.find("density_tolerance"); tolerance != doc.end()) {
    const double value = tolerance->is_number() ? tolerance->get<double>() : -1.0;
    if (!(value >= 0.0 && value <= kMaxDensityTolerance)) {
      damaged(name, "\"density_tolerance\" must be a number from 0 to 0.001");
    }
    settings.densityTolerance = value;
  }

  if (const auto classes = doc.find("classes"); classes != doc.end()) {
    if (!classes->is_array()) damaged(name, "\"classes\" is not a list");
    for (const json& c : *classes) {
      if (!c.is_object() || !c.contains("name") || !c["name"].is_string()) {
        damaged(name, "a class has no name");
      }
      ClassEntry entry{c["name"].get<std::string>(), std::nullopt};
      if (const auto colour = c.find("colour"); colour != c.end() && !colour->is_null()) {
        if (!colour->is_array() || colour->size() != 3)
          damaged(name, "the colour of class " + entry.name + " is not [r, g, b]");
        cv::Vec3b rgb;
        for (int i = 0; i < 3; ++i) {
          const json& v = (*colour)[static_cast<std::size_t>(i)];
          if (!v.is_number_integer() || v.get<long long>() < 0 || v.get<long long>() > 255) {
            damaged(name,
                    "the colour of class " + entry.name + " is not three values from 0 to 255");
          }
          rgb[i] = static_cast<unsigned char>(v.get<int>());
        }
        entry.colour = rgb;
      }
      settings.classes.push_back(std::move(entry));
    }
  }
  if (const auto training = doc.find("training"); training != doc.end() && training->is_object()) {
    // A member of "training", null when it is missing.
    const auto field = [&training](const char* key) {
      const auto found = training->find(key);
      return found != training->end() ? *found : json();
    };
    if (const json model = field("model"); model.is_string())
      settings.model = model.get<std::string>();
    if (const json video = field("video"); video.is_string())
      settings.video = video.get<std::string>();
    if (const json factor = field("factor"); factor.is_number()) {
      settings.factor = factor.get<double>();
      settings.factorRecorded = std::isfinite(settings.factor) && settings.factor > 0.0;
    }
    if (const json frames = field("frames"); frames.is_array()) {
      for (const json& f : frames) {
        if (f.is_object() && f.contains("frame") && f["frame"].is_number_integer()) {
          LabelledFrame frame;
          frame.frame = f["frame"].get<int>();
          if (f.contains("labels") && f["labels"].is_string())
            frame.labels = f["labels"].get<std::string>();
          settings.frames.push_back(frame);
        }
      }
    }
    if (const json accuracy = field("cross_validated_accuracy"); !accuracy.is_null()) {
      settings.crossValidatedAccuracy = number(accuracy, "cross_validated_accuracy", name);
    }
  }
  return settings;
}

namespace {

// The settings file at `path`: empty when there is none.
std::optional<ModelSettings> readSettingsFile(const std::filesystem::path& path) {
  // Checked before opening: opening a pipe would wait for a writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw SettingsError("settings file " + path.string() +
                        " cannot be read: " + std::generic_category().message(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    throw SettingsError("settings file " + path.string() + " is not a regular file");
  }
  std::string text;
  try {
    text = readFileCapped(path, kMaxSettingsBytes);
  } catch (const FileReadError& e) {
    throw SettingsError("settings file " + path.string() + " cannot be read" +
                        (e.failure == ReadFailure::kTooLarge ? ": " + e.cause : ""));
  }
  return parseSettings(text, path.string());
}

}  // namespace

std::optional<ModelSettings> readSettingsBeside(const std::filesystem::path& model,
                                                const std::string& fingerprint,
                                                std::filesystem::path* found) {
  const std::filesystem::path path = settingsPathFor(model);
  if (found != nullptr) *found = path;
  if (std::optional<ModelSettings> settings = readSettingsFile(path)) return settings;
  const std::filesystem::path legacy = legacySettingsPathFor(model);
  if (legacy == path) return std::nullopt;
  // The old name may be shared by model.txt and model.dat: it counts only
  // for the model bytes it was written with.
  struct stat st {};
  if (::stat(legacy.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::optional<ModelSettings> settings;
  try {
    settings = readSettingsFile(legacy);
  } catch (const SettingsError&) {
    return std::nullopt;
  }
  if (!settings || settings->model.empty() || settings->model != fingerprint) return std::nullopt;
  if (found != nullptr) *found = legacy;
  return settings;
}

std::string parseSegmentationOption(const std::string& name, const std::string& value,
                                    SegmentationParams& params, bool& known) {
  known = name == "--sigma" || name == "--k" || name == "--min-size";
  if (!known) return {};
  SegmentationParams candidate = params;
  if (name == "--min-size") {
    const std::optional<int> size = parseNumber<int>(value);
    if (!size || *size < 1) {
      return "--min-size takes a whole number of at least 1, not '" + value + "'";
    }
    candidate.minSize = *size;
  } else {
    // Read as a double, so that values beyond float range (made infinite
    // here, not by an undefined conversion) and the words "nan" and "inf"
    // reach the range check below and are named there.
    const std::optional<double> number = parseNumber<double>(value, false);
    if (!number) return name + " takes a number, not '" + value + "'";
    constexpr double kFloatMax = std::numeric_limits<float>::max();
    (name == "--sigma" ? candidate.sigma : candidate.k) = *number > kFloatMax ? HUGE_VALF
                                                          : *number < -kFloatMax
                                                              ? -HUGE_VALF
                                                              : static_cast<float>(*number);
  }
  if (const std::string problem = segmentationParamsProblem(candidate); !problem.empty()) {
    return name + ": " + problem;
  }
  params = candidate;
  return {};
}

RunSettings resolveRunSettings(const std::string& trainingFile, const SettingsOverrides& overrides,
                               const RegionClassifier& model, const std::string& fingerprint,
                               std::ostream& err) {
  std::filesystem::path path;
  const std::optional<ModelSettings> stored = readSettingsBeside(trainingFile, fingerprint, &path);
  RunSettings run;
  run.descriptor = model.dimension == 11 ? DescriptorKind::Embedding : DescriptorKind::Covariance;
  run.model = fingerprint;
  if (stored) {
    if (!stored->model.empty()) {
      if (fingerprint != stored->model) {
        throw SettingsError("settings file " + path.string() + " was written for another " +
                            trainingFile + " (remove it, or train again)");
      }
    }
    if (stored->descriptor != run.descriptor) {
      throw SettingsError("settings file " + path.string() + " names the " +
                          descriptorName(stored->descriptor) + " descriptor, but " + trainingFile +
                          " holds matrices of order " + std::to_string(model.dimension));
    }
    if (!stored->classes.empty()) {
      bool same = static_cast<int>(stored->classes.size()) == model.classCount;
      for (int c = 0; same && c < model.classCount; ++c) {
        same = stored->classes[static_cast<std::size_t>(c)].name == model.trainingClass(c).name;
      }
      if (!same) {
        throw SettingsError("settings file " + path.string() + " names other classes than " +
                            trainingFile + " (it belongs to another model)");
      }
    }
    run.segmentation = stored->segmentation;
    run.vehicleRule = stored->vehicleRule;
    run.temporal.on = stored->temporal.on;
    run.densityTolerance = stored->densityTolerance;
  } else if (run.descriptor == DescriptorKind::Embedding) {
    throw SettingsError(trainingFile + " is an embedding model (matrices of order 11), and its " +
                        "settings file " + path.string() +
                        " is missing: copy it from where the model was trained, or train again "
                        "with rovelin-train");
  }
  if (stored && stored->factorRecorded && overrides.factor &&
      std::abs(*overrides.factor - stored->factor) > 0.1 * stored->factor) {
    plainLine(err, Verbosity::Quiet)
        << "Warning : " << trainingFile << " was trained at FACTOR " << stored->factor
        << ", this run is at " << *overrides.factor
        << ": regions at another scale are often labelled wrongly (run at " << stored->factor
        << ", or train at this factor)";
  }
  std::ostringstream changed;
  auto note = [&](const std::string& what) {
    changed << (changed.tellp() > 0 ? ", " : "") << what;
  };
  if (overrides.sigma) {
    note("--sigma " + shortText(*overrides.sigma));
    run.segmentation.sigma = *overrides.sigma;
  }
  if (overrides.k) {
    note("--k " + shortText(*overrides.k));
    run.segmentation.k = *overrides.k;
  }
  if (overrides.minSize) {
    note("--min-size " + std::to_string(*overrides.minSize));
    run.segmentation.minSize = *overrides.minSize;
  }
  if (overrides.vehicleRule) {
    note(*overrides.vehicleRule ? "--vehicle-rule" : "--no-vehicle-rule");
    run.vehicleRule = *overrides.vehicleRule;
  }
  if (overrides.temporal) {
    note(*overrides.temporal ? "--temporal" : "--no-temporal");
    run.temporal.on = *overrides.temporal;
  }
  if (overrides.temporalTau) run.temporal.tau = *overrides.temporalTau;
  if (overrides.temporalAlphaMin) run.temporal.alphaMin = *overrides.temporalAlphaMin;
  if (overrides.temporalWarmup) run.temporal.warmup = *overrides.temporalWarmup;
  if (!run.temporal.on &&
      (overrides.temporalTau || overrides.temporalAlphaMin || overrides.temporalWarmup)) {
    warningLine(err) << "--temporal-tau, --temporal-alpha-min and --temporal-warmup have no "
                        "effect without --temporal";
  }
  if (stored && changed.tellp() > 0) {
    noteLine(err) << "note: the command line overrides " << path.string() << ": " << changed.str();
  }
  return run;
}

std::vector<ClassEntry> classesBeside(const std::string& trainingFile) {
  try {
    if (std::optional<ModelSettings> stored = readSettingsBeside(trainingFile)) {
      return std::move(stored->classes);
    }
  } catch (const SettingsError&) {
    // The run reports a damaged file where it reads the settings.
  }
  return {};
}

}  // namespace rovelin
