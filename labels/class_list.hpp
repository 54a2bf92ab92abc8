// SPDX-License-Identifier: Apache-2.0
// Class lists: the names (and, for colour label maps, the colours) of the
// classes that training and evaluation compare regions with.
//
// A class list names the classes, one a line; line k is class k (1-based).
// Blank lines and lines whose first non-blank character is '#' are skipped
// and not counted. A line is either a one-word name or a name followed by the
// class's colour in colour label maps, as three integers 0..255 (red green
// blue):
//
//     # name   r   g   b
//     sky     135 185 235
//     grass    60 140  50
//
// Names and colours must be unique. Black (0 0 0) is reserved: in a colour
// label map it marks unlabelled pixels, so no class may use it.
#pragma once

#include "util/error.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace rovelin {

// Thrown for every unreadable or inconsistent class list or label map; the
// message is "SOURCE: PROBLEM".
class LabelMapError : public Error {
public:
  LabelMapError(const std::string& source, const std::string& problem)
      : Error(source + ": " + problem) {}
};

// Largest class count: class numbers must fit a 16-bit PNG.
inline constexpr std::size_t kMaxClassCount = 65535;

struct ClassEntry {
  std::string name;                 // one word
  std::optional<cv::Vec3b> colour;  // red, green, blue as written in the list
};

// Reads the class list `text`. `sourceName` is the name used in error messages.
std::vector<ClassEntry> readClassList(const std::string& text, const std::string& sourceName);
std::vector<ClassEntry> readClassList(const std::filesystem::path& path);

// A colour as one number, red in the high byte, for looking colours up.
inline std::uint32_t packRgb(int r, int g, int b) {
  return (static_cast<std::uint32_t>(r) << 16) | (static_cast<std::uint32_t>(g) << 8) |
         static_cast<std::uint32_t>(b);
}

// A size as the messages give it: "640x480".
std::string sizeText(cv::Size size);

// `text` with its ASCII letters in lower case, as file extensions are compared.
std::string lowerCase(std::string text);

// `path` in single quotes, the source name of a file in LabelMapError messages.
std::string quotedSource(const std::filesystem::path& path);

// All of the file `path`, at most `cap` bytes. `what` ("label map", ...)
// names the kind of file in the LabelMapError thrown when it cannot be read.
std::string readLabelFile(const std::filesystem::path& path, std::size_t cap,
                          const std::string& what);

}  // namespace rovelin
