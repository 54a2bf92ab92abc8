// SPDX-License-Identifier: Apache-2.0
#include "labels/class_list.hpp"

#include "util/file_io.hpp"
#include "util/parse_number.hpp"

#include <cctype>
#include <cstdint>
#include <sstream>
#include <unordered_map>

namespace rovelin {

constexpr std::size_t kMaxClassListBytes = 1u << 20;

std::vector<ClassEntry> readClassList(const std::string& text, const std::string& sourceName) {
  std::vector<ClassEntry> classes;
  std::unordered_map<std::string, int> lineOfName;
  std::unordered_map<std::uint32_t, int> lineOfColour;
  std::istringstream lines(text);
  std::string line;
  int lineNumber = 0;
  while (std::getline(lines, line)) {
    ++lineNumber;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    std::istringstream fields(line);
    std::vector<std::string> tokens;
    for (std::string t; fields >> t;) tokens.push_back(t);
    if (tokens.empty() || tokens[0][0] == '#') continue;
    if (tokens.size() != 1 && tokens.size() != 4) {
      throw LabelMapError(
          sourceName,
          where + "expected a one-word class name, optionally followed by red green blue");
    }
    ClassEntry entry{tokens[0], std::nullopt};
    if (const auto [it, fresh] = lineOfName.emplace(entry.name, lineNumber); !fresh) {
      throw LabelMapError(sourceName, where + "class name \"" + entry.name +
                                          "\" already used on line " + std::to_string(it->second));
    }
    if (tokens.size() == 4) {
      cv::Vec3b rgb;
      for (int c = 0; c < 3; ++c) {
        const std::optional<int> v = parseNumber<int>(tokens[c + 1]);
        if (!v || *v < 0 || *v > 255) {
          throw LabelMapError(sourceName, where + "colour component \"" + tokens[c + 1] +
                                              "\" is not an integer 0..255");
        }
        rgb[c] = static_cast<unsigned char>(*v);
      }
      if (rgb == cv::Vec3b(0, 0, 0))
        throw LabelMapError(sourceName, where + "colour 0 0 0 is reserved for unlabelled pixels");
      if (const auto [it, fresh] =
              lineOfColour.emplace(packRgb(rgb[0], rgb[1], rgb[2]), lineNumber);
          !fresh) {
        throw LabelMapError(sourceName,
                            where + "colour already used on line " + std::to_string(it->second));
      }
      entry.colour = rgb;
    }
    classes.push_back(std::move(entry));
    if (classes.size() > kMaxClassCount)
      throw LabelMapError(sourceName, "more than " + std::to_string(kMaxClassCount) + " classes");
  }
  if (classes.empty()) throw LabelMapError(sourceName, "class list names no classes");
  return classes;
}

std::string sizeText(cv::Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string quotedSource(const std::filesystem::path& path) {
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on literal + temporary string.
  std::string text(1, '\'');
  text += path.string();
  text += '\'';
  return text;
}

std::string readLabelFile(const std::filesystem::path& path, std::size_t cap,
                          const std::string& what) {
  try {
    return readFileCapped(path, cap);
  } catch (const FileReadError& e) {
    const std::string source = quotedSource(path);
    if (e.failure == ReadFailure::kCannotOpen) throw LabelMapError(source, "cannot open " + what);
    if (e.failure == ReadFailure::kReadError) throw LabelMapError(source, "read error in " + what);
    throw LabelMapError(source, what + " is larger than " + std::to_string(cap) + " bytes");
  }
}

std::vector<ClassEntry> readClassList(const std::filesystem::path& path) {
  return readClassList(readLabelFile(path, kMaxClassListBytes, "class list"), quotedSource(path));
}

}  // namespace rovelin
