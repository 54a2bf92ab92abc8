// SPDX-License-Identifier: Apache-2.0
// The labelling rules that follow classification (RegionClassifier::
// labelSegments): context, size and shape. Regions are disjoint, so only the
// shape rule ever changes a label: an elongated region of a vehicle class
// takes its best-ranked other class.
#pragma once

#include <string>

namespace rovelin {

// True for the class names the shape rule treats as vehicles ("car", "cars",
// "vehicle", "vehicles").
bool isVehicleClass(const std::string& name);

}  // namespace rovelin
