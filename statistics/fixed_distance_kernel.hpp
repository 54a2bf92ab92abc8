// SPDX-License-Identifier: Apache-2.0
// Private to the statistics library: the squared distance for descriptors of
// order 10 (the ten feature planes) and 11 (their Gaussian embeddings), tuned
// for the distance matrices.
#pragma once

namespace rovelin::detail {

inline constexpr int kKernelOrder = 10;
inline constexpr int kEmbeddingKernelOrder = 11;
// Pairs computed side by side in one call.
inline constexpr int kKernelLanes = 8;

// For q < count (1 ≤ count ≤ kKernelLanes): out[q] = sum of ln² of the
// eigenvalues of W · S[q] · W, where W and every S[q] are 10×10 matrices
// stored column by column. Every pair goes through exactly the same
// floating-point operations whatever the other pairs of the call are and
// however many there are, so a value never depends on how pairs were
// batched. converged[q] is false when the eigenvalue iteration gave up
// (non-finite input): the caller then takes the general path for that pair.
void squaredDistancesOrder10(const double* W, const double* const* S, int count, double* out,
                             bool* converged);
// The same for 11×11 matrices.
void squaredDistancesOrder11(const double* W, const double* const* S, int count, double* out,
                             bool* converged);

}  // namespace rovelin::detail
