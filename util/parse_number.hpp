// SPDX-License-Identifier: Apache-2.0
// Whole-token number parsing.
//
// A token is a number only if all of it is consumed and, for floating
// point, the value is finite. The parse does not depend on the process
// locale (a decimal comma setting cannot turn "0.5" into 0), accepts no
// leading blanks or '+', and reports overflow as a failure.
#pragma once

#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace rovelin {

// The value of `text` as a T, or nothing if `text` is not exactly one
// number of that type. With `finiteOnly` false, "nan", "inf" and "infinity"
// (any case, optionally signed) are numbers too, for a caller that reports
// them in words of its own.
template <typename T>
std::optional<T> parseNumber(std::string_view text, bool finiteOnly = true) {
  static_assert(std::is_arithmetic_v<T>);
  T value{};
  const char* first = text.data();
  const char* last = text.data() + text.size();
  std::from_chars_result result;
  if constexpr (std::is_floating_point_v<T>) {
    result = std::from_chars(first, last, value, std::chars_format::general);
  } else {
    result = std::from_chars(first, last, value);
  }
  if (text.empty() || result.ec != std::errc{} || result.ptr != last) return std::nullopt;
  if constexpr (std::is_floating_point_v<T>) {
    if (finiteOnly && !std::isfinite(value)) return std::nullopt;
  }
  return value;
}

}  // namespace rovelin
