// SPDX-License-Identifier: Apache-2.0
// Training-data reader and writer.
//
// The reader tokenises the stream itself rather than relying on formatted
// extraction, so that every token is parsed whole, a failed parse or an
// early end names the token and its line, and nothing is sized from a count
// before the data backing it has actually been read: a file that claims ten
// million samples but stops after three costs three samples of memory.
// Carriage returns count as whitespace and a leading UTF-8 byte-order mark
// is skipped, so files saved by Windows editors load unchanged.
#include "classifier/training_file.hpp"

#include "util/parallel.hpp"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <exception>
#include <istream>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

namespace rovelin {

namespace {

bool isSpace(int ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

// Whether a token that is no number spells an infinity or a NaN, which the
// reader reports as a non-finite value rather than as unreadable.
bool spellsNonFinite(std::string_view token) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-') token.remove_prefix(1);
  if (!token.empty() && token[0] == '-') token.remove_prefix(1);
  std::string word(token);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (word == "inf" || word == "infinity" || word == "nan") return true;
  if (word.size() < 5 || word.compare(0, 4, "nan(") != 0 || word.back() != ')') return false;
  return std::all_of(word.begin() + 4, word.end() - 1,
                     [](unsigned char c) { return std::isalnum(c) || c == '_'; });
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

  // Location of a token, for messages.
  static std::string where(const Token& t) {
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
      if (static_cast<int>(t.text.size()) == kMaxTokenLength) {
        fail(where(t) + ": expected " + what + ", found a token longer than " +
             std::to_string(kMaxTokenLength) + " characters");
      }
      t.text.push_back(static_cast<char>(ch));
      ch = get();
    }
    if (ch == '\n') ++line_;
    return t;
  }

  int readInt(const std::string& what, Token* out = nullptr) {
    Token t = next(what);
    const std::optional<int> value = parseTrainingNumber<int>(t.text);
    if (!value) fail(where(t) + ": expected " + what + " (an integer), found \"" + t.text + "\"");
    if (out != nullptr) *out = std::move(t);
    return *value;
  }

  double readReal(const std::string& what) {
    Token t = next(what);
    const std::optional<double> value = parseTrainingNumber<double>(t.text);
    if (!value && spellsNonFinite(t.text)) {
      fail(where(t) + ": " + what + " is not a finite number (\"" + t.text + "\")");
    }
    if (!value)
      fail(where(t) + ": expected " + what + " (a real number), found \"" + t.text + "\"");
    return *value;
  }

private:
  static constexpr int kEnd = std::char_traits<char>::eof();

  int get() {
    if (pendingPos_ < pending_.size()) return static_cast<unsigned char>(pending_[pendingPos_++]);
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

struct Counts {
  int samples = 0;  // N
  int order = 0;    // d
  int classes = 0;  // K
};

// N, d and K, each checked against its cap and the expected order.
Counts readCounts(TokenReader& tok, int expectedDimension) {
  Token at;
  const int n = tok.readInt("the number of samples N", &at);
  if (n < 1 || n > kMaxTrainingSamples) {
    tok.fail(tok.where(at) + ": the number of samples N = " + std::to_string(n) +
             " is outside 1 .. " + std::to_string(kMaxTrainingSamples));
  }
  const int d = tok.readInt("the matrix order d", &at);
  if (d < 1 || d > kMaxTrainingOrder) {
    tok.fail(tok.where(at) + ": the matrix order d = " + std::to_string(d) + " is outside 1 .. " +
             std::to_string(kMaxTrainingOrder));
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
  if (k < 2 || k > kMaxTrainingClasses) {
    tok.fail(tok.where(at) + ": the number of classes K = " + std::to_string(k) +
             " is outside 2 .. " + std::to_string(kMaxTrainingClasses));
  }
  if (static_cast<long>(k) * 2 > n) {
    tok.fail(tok.where(at) + ": " + std::to_string(k) +
             " classes need at least two samples each, but N = " + std::to_string(n));
  }
  return Counts{n, d, k};
}

// The K class entries: the names into `data`, the declared sample counts returned.
std::vector<int> readClassTable(TokenReader& tok, int k, TrainingData& data) {
  std::vector<int> declared(static_cast<std::size_t>(k));
  Token at;
  for (int c = 0; c < k; ++c) {
    const std::string num = std::to_string(c + 1);
    declared[c] = tok.readInt("the sample count of class " + num, &at);
    if (declared[c] < 0) {
      tok.fail(tok.where(at) + ": class " + num + " declares a negative sample count (" +
               std::to_string(declared[c]) + ")");
    }
    data.classNames.push_back(tok.next("the name of class " + num).text);
  }
  return declared;
}

Eigen::MatrixXd readContext(TokenReader& tok, int k) {
  // Grown token by token rather than sized K×K up front.
  std::vector<double> values;
  for (long e = 0; e < static_cast<long>(k) * k; ++e) {
    values.push_back(tok.readReal("context entry (" + std::to_string(e / k + 1) + ", " +
                                  std::to_string(e % k + 1) + ")"));
  }
  return Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
      values.data(), k, k);
}

// A sample as read, before its matrix is decomposed.
struct RawSample {
  int cls;            // 0-based class
  std::string where;  // "sample j (line l)", for messages
  Eigen::VectorXd values;
};

// Reads the samples in file order. A reading error ends the loop and is
// handed back in `readError`, so that a matrix error of an earlier sample,
// found only when the samples are decoded, can be reported first.
std::vector<RawSample> readSamples(TokenReader& tok, const Counts& counts,
                                   const std::vector<int>& declared, const TrainingData& data,
                                   std::exception_ptr& readError) {
  const int packedLength = (counts.order + 1) * counts.order / 2;
  std::vector<RawSample> raw;
  raw.reserve(static_cast<std::size_t>(std::min(counts.samples, 4096)));
  try {
    std::vector<int> filled(declared.size(), 0);
    Token at;
    for (int j = 0; j < counts.samples; ++j) {
      const std::string sampleName = "sample " + std::to_string(j + 1);
      const int y = tok.readInt("the class number of " + sampleName, &at);
      const std::string here = sampleName + " (line " + std::to_string(at.line) + ")";
      if (y < 1 || y > counts.classes) {
        tok.fail(here + ": class number " + std::to_string(y) + " is outside 1 .. " +
                 std::to_string(counts.classes));
      }
      const int c = y - 1;
      if (filled[c] >= declared[c]) {
        tok.fail(here + ": " + classLabel(c, data.classNames[c]) + " has more samples than the " +
                 std::to_string(declared[c]) + " its table entry declares");
      }
      ++filled[c];
      Eigen::VectorXd values(packedLength);
      for (int v = 0; v < packedLength; ++v) {
        values[v] = tok.readReal("value " + std::to_string(v + 1) + " of " + sampleName);
      }
      raw.push_back(RawSample{c, here, std::move(values)});
    }
  } catch (const TrainingDataError&) {
    readError = std::current_exception();
  }
  return raw;
}

// Decomposes the samples' matrices on the worker threads and files them by
// class; the first sample, in file order, whose matrix is unusable is reported.
void decodeSamples(TokenReader& tok, const std::vector<RawSample>& raw, int d, bool embedded,
                   TrainingData& data) {
  std::vector<CovarianceDescriptor> decoded(raw.size());
  std::vector<std::string> problems(raw.size());
  parallelFor(static_cast<long>(raw.size()), [&](long begin, long end) {
    for (long j = begin; j < end; ++j) {
      try {
        if (embedded) {
          decoded[j].setEmbeddingFromPacked(raw[j].values, d);
        } else {
          decoded[j].setFromPacked(raw[j].values, d);
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
  for (std::size_t j = 0; j < raw.size(); ++j) {
    if (!problems[j].empty()) tok.fail(raw[j].where + ": " + problems[j]);
  }
  for (std::size_t j = 0; j < raw.size(); ++j) {
    data.samples[static_cast<std::size_t>(raw[j].cls)].push_back(std::move(decoded[j]));
  }
}

}  // namespace

std::string classNameProblem(const std::string& name) {
  if (name.empty()) return "it is empty";
  if (name.size() > static_cast<std::size_t>(kMaxTokenLength)) {
    return "it is longer than " + std::to_string(kMaxTokenLength) + " characters";
  }
  for (char c : name) {
    if (isSpace(static_cast<unsigned char>(c))) return "it holds a blank or line break";
  }
  return "";
}

TrainingData readTrainingData(std::istream& in, const std::string& name, int expectedDimension) {
  TokenReader tok(in, name);
  const Counts counts = readCounts(tok, expectedDimension);
  TrainingData data;
  data.dimension = counts.order;
  const std::vector<int> declared = readClassTable(tok, counts.classes, data);
  data.context = readContext(tok, counts.classes);

  std::exception_ptr readError;
  const std::vector<RawSample> raw = readSamples(tok, counts, declared, data, readError);
  // Order 11 among the region descriptors is the Gaussian embedding.
  const bool embedded = counts.order == 11 &&
                        (expectedDimension == kRegionDescriptorOrders || expectedDimension == 11);
  data.samples.resize(static_cast<std::size_t>(counts.classes));
  decodeSamples(tok, raw, counts.order, embedded, data);
  if (readError) std::rethrow_exception(readError);

  for (int c = 0; c < counts.classes; ++c) {
    const std::size_t size = data.samples[static_cast<std::size_t>(c)].size();
    if (size < 2) {
      tok.fail(classLabel(c, data.classNames[static_cast<std::size_t>(c)]) + " has " +
               std::to_string(size) + (size == 1 ? " sample" : " samples") +
               "; every class needs at least two");
    }
  }
  return data;
}

std::string formatTrainingData(const TrainingData& data) {
  std::size_t total = 0;
  for (const auto& samples : data.samples) total += samples.size();
  std::ostringstream out;
  out.precision(std::numeric_limits<double>::max_digits10);
  out << total << "\n" << data.dimension << "\n" << data.classNames.size() << "\n";
  for (std::size_t c = 0; c < data.classNames.size(); ++c) {
    out << data.samples[c].size() << " " << data.classNames[c] << "\n";
  }
  for (Eigen::Index r = 0; r < data.context.rows(); ++r) {
    for (Eigen::Index c = 0; c < data.context.cols(); ++c) {
      out << (c ? " " : "") << data.context(r, c);
    }
    out << "\n";
  }
  for (std::size_t c = 0; c < data.samples.size(); ++c) {
    for (const CovarianceDescriptor& d : data.samples[c]) {
      out << c + 1;
      const Eigen::VectorXd packed = d.packed();
      for (Eigen::Index i = 0; i < packed.size(); ++i) out << " " << packed[i];
      out << "\n";
    }
  }
  return out.str();
}

}  // namespace rovelin
