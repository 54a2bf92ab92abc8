// SPDX-License-Identifier: Apache-2.0
// Training-data loader and classification.
//
// The file is a stream of whitespace-separated tokens (line structure carries
// no meaning). The reader tokenises it itself rather than relying on
// formatted extraction, so that every token is parsed whole, a failed parse
// or an early end names the token and its line, and nothing is sized from a
// count before the data backing it has actually been read: a file that
// claims ten million samples but stops after three costs three samples of
// memory. Carriage returns count as whitespace and a leading UTF-8 byte-order
// mark is skipped, so files saved by Windows editors load unchanged.
#include "classifier/region_classifier.hpp"

#include "statistics/parallel.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <fstream>
#include <istream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

namespace rovelin {

namespace {

bool isSpace(int ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

struct Token {
  std::string text;
  long line = 0;   // 1-based line the token starts on
  long index = 0;  // 1-based position in the token stream
};

class TokenReader {
public:
  TokenReader(std::istream& in, const std::string& name) : buf_(in.rdbuf()), name_(name) {
    if (buf_ == nullptr) fail("the training data stream cannot be read");
    skipByteOrderMark();
  }

  [[noreturn]] void fail(const std::string& problem) const {
    throw TrainingDataError(name_ + ": " + problem);
  }

  // Location of the last token read, for messages.
  std::string where(const Token& t) const {
    return "line " + std::to_string(t.line) + ", token " + std::to_string(t.index);
  }

  Token next(const std::string& what) {
    Token t;
    int ch = get();
    while (ch != kEnd && isSpace(ch)) {
      if (ch == '\n') ++line_;
      ch = get();
    }
    if (ch == kEnd) {
      fail("unexpected end of file at line " + std::to_string(line_) + " (token " +
           std::to_string(index_ + 1) + "): expected " + what);
    }
    t.line = line_;
    t.index = ++index_;
    while (ch != kEnd && !isSpace(ch)) {
      if (static_cast<int>(t.text.size()) == RegionClassifier::kMaxTokenLength) {
        fail(where(t) + ": expected " + what + ", found a token longer than " +
             std::to_string(RegionClassifier::kMaxTokenLength) + " characters");
      }
      t.text.push_back(static_cast<char>(ch));
      ch = get();
    }
    if (ch == '\n') ++line_;
    return t;
  }

  int readInt(const std::string& what, Token* out = nullptr) {
    Token t = next(what);
    std::string_view s = t.text;
    if (s.size() > 1 && s[0] == '+' && s[1] != '-') s.remove_prefix(1);
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) {
      fail(where(t) + ": expected " + what + " (an integer), found \"" + t.text + "\"");
    }
    if (out != nullptr) *out = std::move(t);
    return value;
  }

  double readReal(const std::string& what) {
    Token t = next(what);
    std::string_view s = t.text;
    if (s.size() > 1 && s[0] == '+' && s[1] != '-') s.remove_prefix(1);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) {
      fail(where(t) + ": expected " + what + " (a real number), found \"" + t.text + "\"");
    }
    if (!std::isfinite(value)) {
      fail(where(t) + ": " + what + " is not a finite number (\"" + t.text + "\")");
    }
    return value;
  }

private:
  static constexpr int kEnd = std::char_traits<char>::eof();

  int get() {
    if (pendingPos_ < pending_.size()) {
      return static_cast<unsigned char>(pending_[pendingPos_++]);
    }
    const int ch = buf_->sbumpc();
    return ch == kEnd ? kEnd : static_cast<unsigned char>(static_cast<char>(ch));
  }

  void skipByteOrderMark() {
    static constexpr unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
    for (unsigned char b : kBom) {
      const int ch = buf_->sgetc();
      if (ch == kEnd || static_cast<unsigned char>(static_cast<char>(ch)) != b) return;
      pending_.push_back(static_cast<char>(buf_->sbumpc()));
    }
    pending_.clear();  // the full mark was there: drop it
  }

  std::streambuf* buf_;
  const std::string& name_;
  std::string pending_;  // bytes taken while looking for the byte-order mark
  std::size_t pendingPos_ = 0;
  long line_ = 1;
  long index_ = 0;
};

std::string classLabel(int k, const std::string& name) {
  return "class " + std::to_string(k + 1) + " '" + name + "'";
}

}  // namespace

std::string RegionClassifier::classNameProblem(const std::string& name) {
  if (name.empty()) return "it is empty";
  if (name.size() > static_cast<std::size_t>(kMaxTokenLength)) {
    return "it is longer than " + std::to_string(kMaxTokenLength) + " characters";
  }
  for (char c : name) {
    if (isSpace(static_cast<unsigned char>(c))) return "it holds a blank or line break";
  }
  return "";
}

RegionClassifier::RegionClassifier(const std::string& path, int expectedDimension) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw TrainingFileUnreadable(path + ": is a directory, not a training data file");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    throw TrainingFileUnreadable(path + ": the training data file cannot be opened");
  }
  *this = load(in, path, expectedDimension);
}

RegionClassifier RegionClassifier::load(std::istream& in, const std::string& name,
                                        int expectedDimension) {
  return readModel(in, name, expectedDimension, nullptr);
}

RegionClassifier RegionClassifier::load(std::istream& in, const std::string& name,
                                        int expectedDimension, const PreparedSource& source) {
  return readModel(in, name, expectedDimension, source);
}

RegionClassifier RegionClassifier::load(std::istream& in, const std::string& name,
                                        int expectedDimension,
                                        const std::vector<PreparedClass>& prepared) {
  return readModel(in, name, expectedDimension,
                   [&prepared](const std::vector<int>&) { return &prepared; });
}

std::vector<PreparedClass> RegionClassifier::preparedClasses() const {
  std::vector<PreparedClass> result;
  if (classes) {
    for (const TrainingClass& tc : *classes) {
      result.push_back(PreparedClass{tc.distances, tc.bandwidth, tc.bandwidthIterations});
    }
  }
  return result;
}

RegionClassifier RegionClassifier::readModel(std::istream& in, const std::string& name,
                                             int expectedDimension, const PreparedSource& source) {
  TokenReader tok(in, name);
  RegionClassifier model;
  model.fileName = name;

  Token at;
  const int n = tok.readInt("the number of samples N", &at);
  if (n < 1 || n > kMaxSamples) {
    tok.fail(tok.where(at) + ": the number of samples N = " + std::to_string(n) +
             " is outside 1 .. " + std::to_string(kMaxSamples));
  }
  const int d = tok.readInt("the matrix order d", &at);
  if (d < 1 || d > kMaxDimension) {
    tok.fail(tok.where(at) + ": the matrix order d = " + std::to_string(d) + " is outside 1 .. " +
             std::to_string(kMaxDimension));
  }
  if (expectedDimension == kRegionDescriptorOrders && d != 10 && d != 11) {
    tok.fail(tok.where(at) + ": the matrix order d = " + std::to_string(d) +
             " is neither 10 (covariance descriptors) nor 11 (Gaussian embeddings)");
  }
  if (expectedDimension > 0 && d != expectedDimension) {
    tok.fail(tok.where(at) + ": the matrix order d = " + std::to_string(d) +
             " does not match the " + std::to_string(expectedDimension) +
             " features regions are described by");
  }
  const int k = tok.readInt("the number of classes K", &at);
  if (k < 2 || k > kMaxClasses) {
    tok.fail(tok.where(at) + ": the number of classes K = " + std::to_string(k) +
             " is outside 2 .. " + std::to_string(kMaxClasses));
  }
  if (static_cast<long>(k) * 2 > n) {
    tok.fail(tok.where(at) + ": " + std::to_string(k) +
             " classes need at least two samples each, but N = " + std::to_string(n));
  }
  model.sampleCount = n;
  model.dimension = d;
  model.classCount = k;
  const int packedLength = (d + 1) * d / 2;

  auto classes = std::make_shared<std::vector<TrainingClass>>(static_cast<std::size_t>(k));
  std::vector<int> declared(static_cast<std::size_t>(k));
  for (int c = 0; c < k; ++c) {
    const std::string num = std::to_string(c + 1);
    declared[c] = tok.readInt("the sample count of class " + num, &at);
    if (declared[c] < 0) {
      tok.fail(tok.where(at) + ": class " + num + " declares a negative sample count (" +
               std::to_string(declared[c]) + ")");
    }
    TrainingClass& tc = (*classes)[c];
    tc.name = tok.next("the name of class " + num).text;
    tc.dimension = d;
    tc.index = c;
    tc.sampleCount = 0;
  }

  // Grown token by token rather than sized K×K up front.
  std::vector<double> contextValues;
  for (long e = 0; e < static_cast<long>(k) * k; ++e) {
    contextValues.push_back(tok.readReal("context entry (" + std::to_string(e / k + 1) + ", " +
                                         std::to_string(e % k + 1) + ")"));
  }
  model.context =
      Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
          contextValues.data(), k, k);

  auto samples = std::make_shared<std::vector<CovarianceDescriptor>>();
  auto labels = std::make_shared<std::vector<int>>();
  samples->reserve(static_cast<std::size_t>(std::min(n, 4096)));
  labels->reserve(static_cast<std::size_t>(std::min(n, 4096)));
  // Tokens are read in file order; the decompositions, the costly part, then
  // run on the worker threads. A reading error is reported after any earlier
  // sample's matrix error, so the first fault in file order is the one named.
  struct PendingSample {
    int cls;
    std::string where;
    Eigen::VectorXd values;
  };
  std::vector<PendingSample> pending;
  pending.reserve(static_cast<std::size_t>(std::min(n, 4096)));
  std::exception_ptr readError;
  try {
    std::vector<int> filled(static_cast<std::size_t>(k), 0);
    for (int j = 0; j < n; ++j) {
      const std::string sampleName = "sample " + std::to_string(j + 1);
      const int y = tok.readInt("the class number of " + sampleName, &at);
      const std::string here = sampleName + " (line " + std::to_string(at.line) + ")";
      if (y < 1 || y > k) {
        tok.fail(here + ": class number " + std::to_string(y) + " is outside 1 .. " +
                 std::to_string(k));
      }
      const int c = y - 1;
      if (filled[c] >= declared[c]) {
        tok.fail(here + ": " + classLabel(c, (*classes)[c].name) + " has more samples than the " +
                 std::to_string(declared[c]) + " its table entry declares");
      }
      ++filled[c];
      Eigen::VectorXd dv(packedLength);
      for (int v = 0; v < packedLength; ++v) {
        dv[v] = tok.readReal("value " + std::to_string(v + 1) + " of " + sampleName);
      }
      pending.push_back(PendingSample{c, here, std::move(dv)});
    }
  } catch (const TrainingDataError&) {
    readError = std::current_exception();
  }

  // Order 11 among the region descriptors is the Gaussian embedding.
  const bool embedded =
      d == 11 && (expectedDimension == kRegionDescriptorOrders || expectedDimension == 11);
  std::vector<CovarianceDescriptor> decoded(pending.size());
  std::vector<std::string> problems(pending.size());
  parallelFor(static_cast<long>(pending.size()), [&](long begin, long end) {
    for (long j = begin; j < end; ++j) {
      try {
        if (embedded) {
          decoded[j].setEmbeddingFromPacked(pending[j].values, d);
        } else {
          decoded[j].setFromPacked(pending[j].values, d);
        }
      } catch (const std::exception& e) {
        // An indefinite matrix is refused by the descriptor itself.
        problems[j] = std::string("its matrix is not a usable covariance matrix: ") + e.what();
        continue;
      }
      if (decoded[j].regularized) {
        problems[j] = "its matrix is not positive definite (it is singular)";
      } else if (!decoded[j].covariance.allFinite() || !decoded[j].inverseSqrt.allFinite()) {
        problems[j] = "its matrix cannot be decomposed (values out of range)";
      }
    }
  });
  for (std::size_t j = 0; j < pending.size(); ++j) {
    if (!problems[j].empty()) {
      tok.fail(pending[j].where + ": " + problems[j]);
    }
  }
  if (readError) {
    std::rethrow_exception(readError);
  }
  for (std::size_t j = 0; j < pending.size(); ++j) {
    TrainingClass& tc = (*classes)[pending[j].cls];
    samples->push_back(decoded[j]);
    labels->push_back(pending[j].cls);
    tc.samples.push_back(std::move(decoded[j]));
    ++tc.sampleCount;
  }

  for (int c = 0; c < k; ++c) {
    const TrainingClass& tc = (*classes)[c];
    if (tc.sampleCount < 2) {
      tok.fail(classLabel(c, tc.name) + " has " + std::to_string(tc.sampleCount) +
               (tc.sampleCount == 1 ? " sample" : " samples") + "; every class needs at least two");
    }
  }
  const std::vector<PreparedClass>* prepared = nullptr;
  if (source) {
    std::vector<int> classSizes;
    for (const TrainingClass& tc : *classes) classSizes.push_back(tc.sampleCount);
    prepared = source(classSizes);
  }
  if (prepared != nullptr && static_cast<int>(prepared->size()) != k) {
    throw std::invalid_argument("prepared classes: " + std::to_string(prepared->size()) +
                                " given for " + std::to_string(k) + " classes");
  }
  for (int c = 0; c < k; ++c) {
    TrainingClass& tc = (*classes)[c];
    if (prepared != nullptr) {
      const PreparedClass& p = (*prepared)[static_cast<std::size_t>(c)];
      if (p.distances.rows() != tc.sampleCount || p.distances.cols() != tc.sampleCount) {
        throw std::invalid_argument("prepared classes: class " + std::to_string(c + 1) + " has " +
                                    std::to_string(tc.sampleCount) +
                                    " samples, the prepared distances another size");
      }
      if (!(p.bandwidth > 0.0) || !std::isfinite(p.bandwidth)) {
        throw std::invalid_argument("prepared classes: class " + std::to_string(c + 1) +
                                    " has no usable bandwidth");
      }
      tc.distances = p.distances;
      tc.bandwidth = p.bandwidth;
      tc.bandwidthIterations = p.bandwidthIterations;
    } else {
      tc.computeDistances();
      tc.selectBandwidth();
    }
    if (!(tc.bandwidth > 0.0) || !std::isfinite(tc.bandwidth)) {
      tok.fail(classLabel(c, tc.name) +
               ": no kernel bandwidth can be chosen (its samples coincide)");
    }
  }

  model.samples = std::move(samples);
  model.sampleLabels = std::move(labels);
  model.classes = std::move(classes);
  return model;
}

std::vector<SegmentPrediction> RegionClassifier::classify(
    std::span<const CovarianceDescriptor> test) const {
  if (!classes || static_cast<int>(classes->size()) != classCount || classCount < 1) {
    throw std::logic_error("classify: the model is not loaded");
  }
  for (std::size_t i = 0; i < test.size(); ++i) {
    const CovarianceDescriptor& t = test[i];
    if (t.dimension != dimension || t.covariance.rows() != dimension ||
        t.inverseSqrt.rows() != dimension) {
      throw std::invalid_argument("classify: region " + std::to_string(i) +
                                  " has a descriptor of order " + std::to_string(t.dimension) +
                                  ", the model's samples have order " + std::to_string(dimension));
    }
  }
  const Eigen::Index m = static_cast<Eigen::Index>(test.size());
  Eigen::MatrixXd logp(m, classCount);
  for (int c = 0; c < classCount; ++c) {
    logp.col(c) = (*classes)[c].logDensities(test);
  }
  return classifyLogDensities(logp);
}

std::vector<SegmentPrediction> RegionClassifier::classifyLogDensities(const Eigen::MatrixXd& logp) {
  const Eigen::Index m = logp.rows();
  const int classCount = static_cast<int>(logp.cols());
  std::vector<SegmentPrediction> result(static_cast<std::size_t>(m));
  for (Eigen::Index i = 0; i < m; ++i) {
    const double top = logp.row(i).maxCoeff();
    Eigen::VectorXd v(classCount);
    if (top == -std::numeric_limits<double>::infinity()) {
      // Not one class gives this region a kernel value: nothing favours any of them.
      v.setConstant(1.0);
    } else {
      for (int c = 0; c < classCount; ++c) v[c] = std::exp(logp(i, c) - top);
    }
    v /= v.sum();
    result[static_cast<std::size_t>(i)].setProbabilities(v);
  }
  return result;
}

}  // namespace rovelin
