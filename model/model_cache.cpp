// SPDX-License-Identifier: Apache-2.0
#include "model/model_cache.hpp"

#include <cmath>
#include <cstring>

namespace rovelin {

namespace {

constexpr std::string_view kMagic = "rovelin-model-cache 1\n";

constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;

std::uint64_t fnv1a(std::string_view bytes, std::uint64_t hash = kFnvOffset) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

template <typename T>
void put(std::string& out, T value) {
  char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  out.append(raw, sizeof(T));
}

class Reader {
public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <typename T>
  bool get(T& value) {
    if (bytes_.size() - at_ < sizeof(T)) return false;
    std::memcpy(&value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  std::size_t remaining() const { return bytes_.size() - at_; }

private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

}  // namespace

CacheKeyHasher::CacheKeyHasher() : key_{0, kFnvOffset} {}

void CacheKeyHasher::add(std::string_view bytes) {
  key_.size += bytes.size();
  key_.hash = fnv1a(bytes, key_.hash);
}

CacheKey cacheKeyOf(std::string_view trainingBytes) {
  CacheKeyHasher hasher;
  hasher.add(trainingBytes);
  return hasher.key();
}

std::uint64_t modelCacheSize(const std::vector<int>& classSizes) {
  std::uint64_t size = kMagic.size() + 2 * sizeof(std::uint64_t) + sizeof(std::int32_t);
  for (int n : classSizes) {
    const auto count = static_cast<std::uint64_t>(n < 0 ? 0 : n);
    size += 2 * sizeof(std::int32_t) + sizeof(double) + count * count * sizeof(double);
  }
  return size + sizeof(std::uint64_t);
}

bool startsLikeModelCache(std::string_view bytes) {
  constexpr std::string_view kFamily = "rovelin-model-cache ";
  return bytes.substr(0, kFamily.size()) == kFamily;
}

std::string encodeModelCache(const CacheKey& key, const std::vector<PreparedClass>& classes) {
  std::string out(kMagic);
  put(out, key.size);
  put(out, key.hash);
  put(out, static_cast<std::int32_t>(classes.size()));
  for (const PreparedClass& c : classes) {
    put(out, static_cast<std::int32_t>(c.distances.rows()));
    put(out, c.bandwidth);
    put(out, static_cast<std::int32_t>(c.bandwidthIterations));
    const auto* data = reinterpret_cast<const char*>(c.distances.data());
    out.append(data, static_cast<std::size_t>(c.distances.size()) * sizeof(double));
  }
  put(out, fnv1a(std::string_view(out).substr(kMagic.size())));
  return out;
}

std::optional<std::vector<PreparedClass>> decodeModelCache(std::string_view bytes,
                                                           const CacheKey& key, std::string& why) {
  const auto refuse = [&why](const char* reason) {
    why = reason;
    return std::nullopt;
  };
  if (bytes.substr(0, kMagic.size()) != kMagic) return refuse("not a model cache");
  if (bytes.size() < kMagic.size() + sizeof(std::uint64_t)) return refuse("it is cut short");
  const std::string_view body = bytes.substr(kMagic.size(), bytes.size() - kMagic.size() - 8);
  std::uint64_t checksum = 0;
  std::memcpy(&checksum, bytes.data() + bytes.size() - 8, 8);
  if (fnv1a(body) != checksum) return refuse("it is damaged (checksum)");
  Reader in(body);
  CacheKey stored;
  std::int32_t classCount = 0;
  if (!in.get(stored.size) || !in.get(stored.hash) || !in.get(classCount))
    return refuse("it is cut short");
  if (!(stored == key)) return refuse("it was made from another training file");
  if (classCount < 0 || static_cast<std::size_t>(classCount) > in.remaining())
    return refuse("it is damaged (class count)");
  std::vector<PreparedClass> classes(static_cast<std::size_t>(classCount));
  for (PreparedClass& c : classes) {
    std::int32_t n = 0;
    std::int32_t iterations = 0;
    if (!in.get(n) || !in.get(c.bandwidth) || !in.get(iterations) || n < 0 ||
        static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n) * sizeof(double) >
            in.remaining()) {
      return refuse("it is damaged (class sizes)");
    }
    c.bandwidthIterations = iterations;
    c.distances.resize(n, n);
    for (Eigen::Index i = 0; i < c.distances.size(); ++i) in.get(c.distances.data()[i]);
    // Squared distances are finite and never negative, and a kernel
    // variance is a positive number; anything else was not written by us.
    if (!c.distances.allFinite() || (c.distances.array() < 0.0).any() ||
        !std::isfinite(c.bandwidth) || !(c.bandwidth > 0.0) || iterations < 0) {
      return refuse("it is damaged (values)");
    }
  }
  if (in.remaining() != 0) return refuse("it is damaged (trailing bytes)");
  return classes;
}

}  // namespace rovelin
