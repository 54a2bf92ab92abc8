// SPDX-License-Identifier: Apache-2.0
#include "driver/run_context.hpp"

namespace rovelin {

ClassTable makeClassTable(const RegionClassifier& model, const std::string& classListPath,
                          const std::vector<ClassEntry>& stored) {
  const std::vector<ClassEntry> listed =
      classListPath.empty() ? stored : readClassList(classListPath);
  ClassTable table;
  for (int k = 0; k < model.classCount; ++k) {
    ClassEntry entry{model.trainingClass(k).name, std::nullopt};
    for (const ClassEntry& given : listed) {
      if (given.name == entry.name && given.colour) entry.colour = given.colour;
    }
    const std::optional<cv::Vec3b>& rgb = entry.colour;
    table.palette.push_back(rgb ? std::optional(cv::Vec3b((*rgb)[2], (*rgb)[1], (*rgb)[0]))
                                : std::nullopt);
    table.names.push_back(entry.name);
    table.entries.push_back(std::move(entry));
  }
  return table;
}

void ColourTurns::take(std::size_t position, const std::function<void()>& draws) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return next_ == position; });
  // The turn is held while drawing: no other frame draws in between. It
  // passes on however the draws end.
  struct PassOn {
    ColourTurns& turns;
    ~PassOn() {
      ++turns.next_;
      turns.changed_.notify_all();
    }
  } passOn{*this};
  if (draws) draws();
}

void ColourTurns::pass(std::size_t position) { take(position, {}); }

}  // namespace rovelin
