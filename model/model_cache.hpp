// SPDX-License-Identifier: Apache-2.0
// The prepared-model cache: the per-class squared distances and bandwidths
// that preparing a model computes (n² distances per class), kept in a file
// so later runs on the same training file skip that work.
//
// Binary, native byte order (the cache is a local file, not an exchange
// format):
//   "rovelin-model-cache 1\n"
//   u64 size and u64 hash of the training file's bytes (the key)
//   i32 K, then per class: i32 n, f64 bandwidth, i32 iterations, n·n f64
//   u64 checksum of everything after the first line
// A cache whose key does not match, or that is damaged in any way, is
// ignored (and then rewritten). The checksum finds accidents (a torn copy,
// a flipped bit), not intent: whoever may write the cache may also write
// the training file beside it, and the cache is trusted as far as that file.
#pragma once

#include "classifier/region_classifier.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rovelin {

struct CacheKey {
  std::uint64_t size = 0;
  std::uint64_t hash = 0;
  bool operator==(const CacheKey&) const = default;
};

// Builds the key of a training file from its bytes, chunk by chunk.
class CacheKeyHasher {
public:
  CacheKeyHasher();
  void add(std::string_view bytes);
  CacheKey key() const { return key_; }

private:
  CacheKey key_;
};

CacheKey cacheKeyOf(std::string_view trainingBytes);

// The size in bytes of the cache of classes of these sample counts.
std::uint64_t modelCacheSize(const std::vector<int>& classSizes);

// True when `bytes` begin with the first line of a cache of this tool (of
// any version): only such a file may be replaced by a cache.
bool startsLikeModelCache(std::string_view bytes);

// The cache file's bytes for `classes`.
std::string encodeModelCache(const CacheKey& key, const std::vector<PreparedClass>& classes);

// The prepared classes, or nothing with `why` set when the bytes are not a
// cache for `key`: wrong first line, checksum, key or sizes, a value that is
// not finite, a negative distance or a bandwidth that is not positive.
std::optional<std::vector<PreparedClass>> decodeModelCache(std::string_view bytes,
                                                           const CacheKey& key, std::string& why);

}  // namespace rovelin
