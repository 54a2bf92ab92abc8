// SPDX-License-Identifier: Apache-2.0
#include "driver/run_context.hpp"

namespace rovelin {

ClassTable makeClassTable(const RegionClassifier& model, const std::string& classListPath,
                          const std::vector<ClassEntry>& stored) {
  ClassTable table;
  for (int k = 0; k < model.classCount; ++k) table.names.push_back(model.trainingClass(k).name);
  table.palette.resize(table.names.size());
  table.entries.resize(table.names.size());
  const std::vector<ClassEntry> listed =
      classListPath.empty() ? stored : readClassList(classListPath);
  for (std::size_t k = 0; k < table.names.size(); ++k) {
    table.entries[k].name = table.names[k];
    for (const ClassEntry& entry : listed) {
      if (entry.name == table.names[k] && entry.colour) {
        const cv::Vec3b rgb = *entry.colour;
        table.entries[k].colour = rgb;
        table.palette[k] = cv::Vec3b(rgb[2], rgb[1], rgb[0]);
      }
    }
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
