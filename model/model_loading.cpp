// SPDX-License-Identifier: Apache-2.0
#include "model/model_loading.hpp"

#include "model/model_cache.hpp"
#include "model/model_settings.hpp"
#include "util/atomic_file.hpp"
#include "util/file_io.hpp"
#include "util/report.hpp"

#include <array>
#include <cerrno>
#include <istream>
#include <optional>
#include <ostream>
#include <streambuf>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rovelin {

namespace fs = std::filesystem;

namespace {

// Enough of a file to tell a model cache by its first line.
constexpr std::size_t kCacheHeadBytes = 32;

std::string systemMessage(int error) { return std::generic_category().message(error); }

// The training file as a stream whose every byte also goes into the cache
// key, so the file is read once and never held whole in memory.
class TrainingFileBuffer : public std::streambuf {
public:
  explicit TrainingFileBuffer(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      throw TrainingFileUnreadable(path + ": the training data file cannot be opened (" +
                                   systemMessage(errno) + ")");
    }
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd_);
      throw TrainingFileUnreadable(path + ": is a directory, not a training data file");
    }
  }
  ~TrainingFileBuffer() override { ::close(fd_); }
  TrainingFileBuffer(const TrainingFileBuffer&) = delete;
  TrainingFileBuffer& operator=(const TrainingFileBuffer&) = delete;

  // Reads what the parser left, so that the key covers the whole file.
  void drain() {
    setg(buffer_.data(), buffer_.data(), buffer_.data());
    while (fill() > 0) {
    }
    setg(buffer_.data(), buffer_.data(), buffer_.data());
  }
  CacheKey key() const { return hasher_.key(); }

protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const std::size_t n = fill();
    if (n == 0) return traits_type::eof();
    setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
    return traits_type::to_int_type(*gptr());
  }

private:
  std::size_t fill() {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        throw TrainingDataError(path_ + ": the training data file cannot be read (" +
                                systemMessage(errno) + ")");
      }
      hasher_.add(std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
      return static_cast<std::size_t>(n);
    }
  }

  std::string path_;
  int fd_ = -1;
  std::array<char, 1 << 16> buffer_{};
  CacheKeyHasher hasher_;
};

// Reads the cache when it has exactly the size the classes call for; false
// with `why` set otherwise ("" when there is no cache at all).
bool readCache(const std::string& path, std::uint64_t expectedSize, std::string& bytes,
               std::string& why) {
  // Checked before opening: opening a pipe would wait for a writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    why = errno == ENOENT ? "" : systemMessage(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "it is not a regular file";
    return false;
  }
  try {
    // The cap makes a damaged cache cost no more memory than a good one.
    bytes = readFileCapped(path, static_cast<std::size_t>(expectedSize));
  } catch (const FileReadError& e) {
    if (e.failure != ReadFailure::kTooLarge) {
      why = e.cause;
      return false;
    }
    bytes = readFileHead(path, kCacheHeadBytes);
  }
  if (bytes.size() == expectedSize) return true;
  why = startsLikeModelCache(std::string_view(bytes).substr(0, kCacheHeadBytes))
            ? "it is damaged (its size does not fit the training file)"
            : "not a model cache";
  return false;
}

}  // namespace

std::string modelCachePath(const ModelSource& source) {
  return source.cachePath.empty() ? source.trainingFile + ".cache" : source.cachePath;
}

std::string cacheRefusal(const fs::path& cache,
                         const std::vector<std::pair<std::string, std::string>>& inputs) {
  struct stat st {};
  if (::stat(cache.c_str(), &st) != 0) {
    if (errno != ENOENT) return systemMessage(errno);
    struct stat link {};
    if (::lstat(cache.c_str(), &link) == 0) return "it is a link to a missing file";
    return "";  // a new file
  }
  if (!S_ISREG(st.st_mode)) {
    return S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
  }
  for (const auto& [what, name] : inputs) {
    std::error_code ec;
    if (!name.empty() && fs::equivalent(cache, name, ec)) return "it is " + what;
  }
  std::string head;
  try {
    head = readFileHead(cache, kCacheHeadBytes);
  } catch (const FileReadError& e) {
    return e.cause;
  }
  if (!startsLikeModelCache(head)) {
    return "it is not a model cache of rovelin, and only a cache is ever replaced";
  }
  return "";
}

RegionClassifier loadModel(const ModelSource& source, std::ostream& err, CacheOutcome* outcome,
                           std::string* fingerprint) {
  TrainingFileBuffer file(source.trainingFile);
  std::istream in(&file);
  if (outcome != nullptr) *outcome = CacheOutcome::NotUsed;
  // The identity of exactly the bytes loaded: a retrain that replaces the
  // file meanwhile cannot pair these samples with the new settings.
  const auto identify = [&file, fingerprint]() {
    if (fingerprint == nullptr) return;
    file.drain();
    *fingerprint = modelFingerprint(file.key().hash);
  };
  if (!source.useCache) {
    RegionClassifier model =
        RegionClassifier::load(in, source.trainingFile, RegionClassifier::kRegionDescriptorOrders);
    identify();
    return model;
  }

  const std::string cachePath = modelCachePath(source);
  CacheKey key;
  std::optional<std::vector<PreparedClass>> prepared;
  const auto fromCache =
      [&](const std::vector<int>& classSizes) -> const std::vector<PreparedClass>* {
    file.drain();
    key = file.key();
    std::string bytes;
    std::string why;
    if (readCache(cachePath, modelCacheSize(classSizes), bytes, why)) {
      prepared = decodeModelCache(bytes, key, why);
      for (std::size_t c = 0; prepared && c < classSizes.size(); ++c) {
        if (c >= prepared->size() || (*prepared)[c].distances.rows() != classSizes[c]) {
          why = "it is damaged (its class sizes do not fit the training file)";
          prepared.reset();
        }
      }
      if (prepared && prepared->size() != classSizes.size()) {
        why = "it is damaged (its class count does not fit the training file)";
        prepared.reset();
      }
    }
    if (!prepared && !why.empty()) {
      noteLine(err) << "note: ignoring the model cache \"" << cachePath << "\": " << why;
    }
    return prepared ? &*prepared : nullptr;
  };
  RegionClassifier model = RegionClassifier::load(
      in, source.trainingFile, RegionClassifier::kRegionDescriptorOrders, fromCache);
  identify();
  if (prepared) {
    if (outcome != nullptr) *outcome = CacheOutcome::Read;
    return model;
  }

  std::string refusal = cacheRefusal(cachePath, {{"the training file", source.trainingFile}});
  if (refusal.empty()) {
    // A link to the cache stays a link: the file it leads to is replaced.
    std::error_code ec;
    fs::path target = fs::canonical(cachePath, ec);
    if (ec) target = cachePath;
    try {
      writeFileAtomically(target, encodeModelCache(key, model.preparedClasses()));
      if (outcome != nullptr) *outcome = CacheOutcome::Written;
      return model;
    } catch (const FileWriteError& e) {
      refusal = e.what();
    }
  }
  if (outcome != nullptr) *outcome = CacheOutcome::NotWritten;
  noteLine(err) << "note: the model cache \"" << cachePath << "\" was not written (" << refusal
                << "); the model was prepared in memory for this run";
  return model;
}

int prepareModelCache(const ModelSource& source, std::ostream& err) {
  const std::string cachePath = modelCachePath(source);
  const std::string refusal = cacheRefusal(cachePath, {{"the training file", source.trainingFile}});
  if (!refusal.empty()) {
    errorLine(err) << "the model cache \"" << cachePath << "\" cannot be written: " << refusal;
    return 1;
  }
  CacheOutcome outcome = CacheOutcome::NotUsed;
  try {
    loadModel(source, err, &outcome);
  } catch (const TrainingDataError&) {
    return reportException(err);
  }
  if (outcome == CacheOutcome::Read) {
    noteLine(err) << "the model cache \"" << cachePath << "\" is up to date";
  } else if (outcome == CacheOutcome::Written) {
    noteLine(err) << "wrote the model cache \"" << cachePath << "\"";
  } else {
    errorLine(err) << "the model cache \"" << cachePath << "\" was not written";
    return 1;
  }
  return 0;
}

}  // namespace rovelin
