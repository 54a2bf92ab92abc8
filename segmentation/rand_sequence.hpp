// SPDX-License-Identifier: Apache-2.0
// The C library's rand() sequence of this platform (glibc's additive
// feedback generator, r[i] = r[i-3] + r[i-31] mod 2^32, each draw r >> 1),
// written out so that a block of draws costs a few instructions each instead
// of a locked library call.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace rovelin {

class RandSequence {
public:
  // The state srand(seed) gives; seed 0 acts as 1, as it does there.
  explicit RandSequence(unsigned seed = 1) { reseed(seed); }

  void reseed(unsigned seed);

  // The next value rand() would return, in [0, 2^31).
  int next() noexcept {
    const std::uint32_t value = table_[front_] += table_[rear_];
    front_ = front_ + 1 == kDegree ? 0 : front_ + 1;
    rear_ = rear_ + 1 == kDegree ? 0 : rear_ + 1;
    return static_cast<int>(value >> 1);
  }

private:
  static constexpr int kDegree = 31;
  static constexpr int kSeparation = 3;
  std::array<std::uint32_t, kDegree> table_{};
  int front_ = kSeparation;
  int rear_ = 0;
};

// The sequence the segmentation draws its colours from, shared by the
// process and never reseeded outside tests, so the colours repeat from run to
// run. Whoever draws holds colourSequenceMutex() for the whole block.
RandSequence& colourSequence();
std::mutex& colourSequenceMutex();

}  // namespace rovelin
