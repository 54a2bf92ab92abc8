// SPDX-License-Identifier: Apache-2.0
// Gaussian smoothing of one float plane, applied to each colour plane before
// the segmentation graph is built so that pixel noise does not make edges.
#pragma once

#include <vector>

#include "segmentation/grid_image.hpp"

namespace rovelin {

// One-sided Gaussian mask: element 0 is the centre weight, element i the
// weight at distance i on both sides (2 * size - 1 taps in all). Sigmas not
// above 0.01 (zero, negative, NaN) are taken as 0.01; the mask has
// ceil(4 * sigma) + 1 elements. Throws std::invalid_argument for a sigma so
// large (or infinite) that the mask would exceed kMaxMaskLength elements.
inline constexpr int kMaxMaskLength = 1 << 20;
std::vector<float> gaussianMask(float sigma);

// Scales the mask so that the full symmetric filter sums to 1.
void normalizeMask(std::vector<float>& mask);

// One pass along the rows of src with the symmetric mask, edge pixels
// repeated beyond the borders; the result is written transposed, so dst must
// be src.height() wide and src.width() high (std::invalid_argument otherwise).
void convolveSymmetric(const GridImage<float>& src, GridImage<float>& dst,
                       const std::vector<float>& mask);

// Separable Gaussian smoothing; the result has src's size and src is unchanged.
GridImage<float> smoothPlane(const GridImage<float>& src, float sigma);

}  // namespace rovelin
