// SPDX-License-Identifier: Apache-2.0
// Seeding as the C library does it: 31 words from the minimal standard
// generator (16807 x mod 2^31 - 1, Schrage's form), then 310 draws thrown
// away to mix the table.
#include "segmentation/rand_sequence.hpp"

namespace rovelin {

void RandSequence::reseed(unsigned seed) {
  if (seed == 0) seed = 1;
  // The library keeps the word in 32 signed bits, seeds above 2^31 included.
  std::int32_t word = static_cast<std::int32_t>(seed);
  table_[0] = static_cast<std::uint32_t>(word);
  for (int i = 1; i < kDegree; ++i) {
    const std::int64_t hi = word / 127773;
    const std::int64_t lo = word % 127773;
    word = static_cast<std::int32_t>(16807 * lo - 2836 * hi);
    if (word < 0) word += 2147483647;
    table_[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(word);
  }
  front_ = kSeparation;
  rear_ = 0;
  for (int i = 0; i < 10 * kDegree; ++i) next();
}

RandSequence& colourSequence() {
  static RandSequence sequence;
  return sequence;
}

std::mutex& colourSequenceMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace rovelin
