// SPDX-License-Identifier: Apache-2.0
// The training-data file: its reader, its writer and the limits both keep.
//
// The file is a stream of whitespace-separated tokens; line structure carries
// no meaning. N (samples), d (matrix order: 10 for covariance descriptors, 11
// for Gaussian embeddings), K (classes); K class entries "count name"; the
// K×K context matrix row by row; N samples, each a 1-based class number and
// the d(d+1)/2 values of the lower triangle row by row. Numbers are whole
// decimal tokens (a sign, a fraction and an exponent may appear; hexadecimal
// may not), reals are finite. For example, N = 4, d = 2, K = 2:
//
//   4 2 2   2 sky 2 road
//   1 0.5 0.5 1
//   1 4 0 9   1 4 1 5   2 1 0 1   2 2 0 3
#pragma once

#include "statistics/covariance_descriptor.hpp"
#include "util/error.hpp"
#include "util/parse_number.hpp"

#include <Eigen/Core>

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rovelin {

// A training file that cannot be opened or is malformed. what() names the
// file and the problem (without the "Error : " prefix).
class TrainingDataError : public Error {
public:
  using Error::Error;
};

// The training file could not be opened at all (the driver then prints the
// line "unable to open file" before its own error line).
class TrainingFileUnreadable : public TrainingDataError {
public:
  using TrainingDataError::TrainingDataError;
};

// Caps checked before anything is sized from the file's counts.
constexpr int kMaxTrainingSamples = 10'000'000;
constexpr int kMaxTrainingOrder = 64;
constexpr int kMaxTrainingClasses = 10'000;
constexpr int kMaxTokenLength = 256;
// expectedDimension that accepts what regions can be described by: order
// 10 (covariances of the ten features) or 11 (their Gaussian embeddings).
constexpr int kRegionDescriptorOrders = -1;

// What a training file holds.
struct TrainingData {
  int dimension = 0;                                       // d
  std::vector<std::string> classNames;                     // K one-token names, in class order
  Eigen::MatrixXd context;                                 // K×K
  std::vector<std::vector<CovarianceDescriptor>> samples;  // per class, in file order
};

// The number a token of the file spells: parseNumber's rules, and a leading
// '+' (not followed by '-') is accepted as well.
template <typename T>
std::optional<T> parseTrainingNumber(std::string_view token) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-') token.remove_prefix(1);
  return parseNumber<T>(token);
}

// Why `name` cannot be a class name of a training file ("" when it can):
// a name is one token, so it is not empty, holds no blank (space, tab,
// line break, form feed) and has at most kMaxTokenLength characters.
std::string classNameProblem(const std::string& name);

// Reads a training file from `in`; `name` is used in messages. The matrix
// order must be expectedDimension when that is positive, 10 or 11 for
// kRegionDescriptorOrders; order 11 is then read as Gaussian embeddings.
// Every class has at least two samples. Throws TrainingDataError naming the
// token or sample and the problem; of several faults, the first in file
// order. A UTF-8 byte-order mark is skipped and carriage returns count as
// whitespace; tokens after the last sample are not read.
TrainingData readTrainingData(std::istream& in, const std::string& name, int expectedDimension);

// The file text of `data`: N, d and K on lines of their own, then a line per
// class entry, per context row and per sample (samples grouped by class),
// reals with enough digits to read back exactly.
std::string formatTrainingData(const TrainingData& data);

}  // namespace rovelin
