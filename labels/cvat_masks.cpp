// SPDX-License-Identifier: Apache-2.0
// The archive is built and read in memory through libzip's buffer sources,
// so it is written like every other output (complete or not at all) and a
// hostile archive never touches the disk: member names are checked, and
// every member's size is checked against a cap before it is inflated.
#include "labels/cvat_masks.hpp"

#include "util/error.hpp"

#include <zip.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <unordered_map>

namespace rovelin {
namespace {

constexpr std::size_t kMaxMemberBytes = 256u << 20;
constexpr std::size_t kMaxArchiveBytes = 1024u << 20;

std::string encodePng(const cv::Mat& bgr) {
  std::vector<unsigned char> bytes;
  if (!cv::imencode(".png", bgr, bytes)) throw Error("cannot encode a mask PNG");
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Member name inside the archive: relative, without "..", not a device path.
bool safeMemberName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos)
    return false;
  std::string part;
  std::istringstream in(name);
  while (std::getline(in, part, '/')) {
    if (part == ".." || part.find('\\') != std::string::npos) return false;
  }
  return true;
}

// The members that matter, by name.
using Members = std::map<std::string, std::string>;

Members zipMembers(const std::string& data, const std::string& source) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* src = zip_source_buffer_create(data.data(), data.size(), 0, &error);
  zip_t* archive = src ? zip_open_from_source(src, ZIP_RDONLY, &error) : nullptr;
  zip_error_fini(&error);
  if (!archive) {
    if (src) zip_source_free(src);
    throw LabelMapError(source, "not a readable zip archive");
  }
  const std::unique_ptr<zip_t, void (*)(zip_t*)> closer(archive, zip_discard);
  Members members;
  std::size_t total = 0;
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) != 0 || !st.name)
      throw LabelMapError(source, "a zip member cannot be read");
    const std::string name = st.name;
    if (!safeMemberName(name))
      throw LabelMapError(source, "zip member \"" + name + "\" points outside the archive");
    const bool wanted = name == "labelmap.txt" || name.rfind("SegmentationClass/", 0) == 0;
    if (!wanted || name.back() == '/') continue;
    if (!(st.valid & ZIP_STAT_SIZE) || st.size > kMaxMemberBytes ||
        total + st.size > kMaxArchiveBytes)
      throw LabelMapError(source, "zip member \"" + name + "\" is too large");
    total += st.size;
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    if (!file) throw LabelMapError(source, "zip member \"" + name + "\" cannot be opened");
    std::string bytes(st.size, '\0');
    const zip_int64_t read = zip_fread(file, bytes.data(), st.size);
    zip_fclose(file);
    if (read != static_cast<zip_int64_t>(st.size))
      throw LabelMapError(source, "zip member \"" + name + "\" is damaged");
    members[name] = std::move(bytes);
  }
  return members;
}

Members folderMembers(const std::filesystem::path& dir) {
  Members members;
  members["labelmap.txt"] = readLabelFile(dir / "labelmap.txt", kMaxMemberBytes, "CVAT label map");
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "SegmentationClass", ec)) {
    if (!entry.is_regular_file()) continue;
    members["SegmentationClass/" + entry.path().filename().string()] =
        readLabelFile(entry.path(), kMaxMemberBytes, "class mask");
  }
  if (ec) throw LabelMapError(quotedSource(dir), "no SegmentationClass folder");
  return members;
}

// labelmap.txt: colour -> class number (0 for background and skipped labels).
std::unordered_map<std::uint32_t, int> colourClasses(const std::string& text,
                                                     const std::vector<ClassEntry>& classes,
                                                     bool ignoreUnknown,
                                                     const std::string& source) {
  std::unordered_map<std::string, int> classOfName;
  for (std::size_t k = 0; k < classes.size(); ++k)
    classOfName.emplace(classes[k].name, static_cast<int>(k + 1));
  std::unordered_map<std::uint32_t, int> result;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto colon = line.find(':');
    int r = 0, g = 0, b = 0;
    char tail = 0;
    if (colon == std::string::npos ||
        std::sscanf(line.c_str() + colon + 1, "%d,%d,%d%c", &r, &g, &b, &tail) < 3 ||
        (tail != 0 && tail != ':') || r < 0 || r > 255 || g < 0 || g > 255 || b < 0 || b > 255)
      throw LabelMapError(source, "labelmap.txt line " + std::to_string(number) +
                                      " is not \"name:r,g,b:parts:actions\"");
    const std::string name = line.substr(0, colon);
    const auto cls = classOfName.find(name);
    int value = 0;
    if (cls != classOfName.end()) {
      value = cls->second;
    } else if (name != "background" && !ignoreUnknown) {
      throw LabelMapError(source, "label \"" + name + "\" is not in the class list");
    }
    result[packRgb(r, g, b)] = value;
  }
  return result;
}

cv::Size pngSize(const std::string& data) {
  if (data.size() < 24 || data.compare(12, 4, "IHDR") != 0) return {};
  auto be32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(data[at + i]);
    return v;
  };
  const std::uint32_t w = be32(16), h = be32(20);
  if (w > 65535 || h > 65535) return {};
  return {static_cast<int>(w), static_cast<int>(h)};
}

}  // namespace

std::string writeCvatMasksZip(const std::vector<RegionLabels>& frames,
                              const std::vector<std::string>& names,
                              const std::vector<cv::Vec3b>& rgb) {
  Members members;
  std::string labelmap = "# label:color_rgb:parts:actions\nbackground:0,0,0::\n";
  for (std::size_t k = 0; k < names.size(); ++k) {
    labelmap += names[k] + ":" + std::to_string(rgb[k][0]) + "," + std::to_string(rgb[k][1]) + "," +
                std::to_string(rgb[k][2]) + "::\n";
  }
  members["labelmap.txt"] = labelmap;
  std::string list;
  for (const RegionLabels& f : frames) {
    std::string stem = frameImageName(f.frame);
    stem.erase(stem.size() - 4);
    list += stem + "\n";
    cv::Mat byClass(f.regionIndex.size(), CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat byRegion(f.regionIndex.size(), CV_8UC3, cv::Scalar(0, 0, 0));
    const int count = static_cast<int>(f.regionClass.size());
    for (int y = 0; y < f.regionIndex.rows; ++y) {
      const int* index = f.regionIndex.ptr<int>(y);
      for (int x = 0; x < f.regionIndex.cols; ++x) {
        const int r = index[x];
        if (r < 0 || r >= count) continue;
        const int k = f.regionClass[static_cast<std::size_t>(r)];
        if (k < 0 || k >= static_cast<int>(rgb.size())) continue;
        const cv::Vec3b& c = rgb[static_cast<std::size_t>(k)];
        byClass.at<cv::Vec3b>(y, x) = {c[2], c[1], c[0]};
        const int id = r + 1;  // 0 stays black: no region
        byRegion.at<cv::Vec3b>(y, x) = {static_cast<unsigned char>((id >> 16) & 255),
                                        static_cast<unsigned char>((id >> 8) & 255),
                                        static_cast<unsigned char>(id & 255)};
      }
    }
    members["SegmentationClass/" + stem + ".png"] = encodePng(byClass);
    members["SegmentationObject/" + stem + ".png"] = encodePng(byRegion);
  }
  members["ImageSets/Segmentation/default.txt"] = list;

  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_error_fini(&error);
  if (!buffer) throw Error("cannot start a zip archive");
  zip_source_keep(buffer);
  zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, nullptr);
  bool ok = archive != nullptr;
  for (const auto& [name, bytes] : members) {
    if (!ok) break;
    zip_source_t* member = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
    if (!member || zip_file_add(archive, name.c_str(), member, ZIP_FL_ENC_UTF_8) < 0) {
      if (member) zip_source_free(member);
      ok = false;
    }
  }
  if (archive && (!ok || zip_close(archive) != 0)) {
    zip_discard(archive);
    ok = false;
  }
  std::string out;
  if (ok && zip_source_open(buffer) == 0) {
    zip_source_seek(buffer, 0, SEEK_END);
    const zip_int64_t size = zip_source_tell(buffer);
    zip_source_seek(buffer, 0, SEEK_SET);
    out.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    ok = size >= 0 && zip_source_read(buffer, out.data(), out.size()) == size;
    zip_source_close(buffer);
  } else {
    ok = false;
  }
  zip_source_free(buffer);
  if (!ok) throw Error("cannot build the zip archive");
  return out;
}

std::vector<ImportedFrame> readCvatMasks(const std::filesystem::path& path,
                                         const std::vector<ClassEntry>& classes,
                                         const std::vector<cv::Size>& allowedSizes,
                                         bool ignoreUnknown) {
  const std::string source = quotedSource(path);
  std::error_code ec;
  const Members members =
      std::filesystem::is_directory(path, ec)
          ? folderMembers(path)
          : zipMembers(readLabelFile(path, kMaxArchiveBytes, "archive"), source);
  const auto labelmap = members.find("labelmap.txt");
  if (labelmap == members.end()) throw LabelMapError(source, "no labelmap.txt");
  const auto colours = colourClasses(labelmap->second, classes, ignoreUnknown, source);
  static const std::regex name(R"(SegmentationClass/frame_([0-9]{1,9})\.png)");
  std::vector<ImportedFrame> frames;
  for (const auto& [member, bytes] : members) {
    std::smatch match;
    if (!std::regex_match(member, match, name)) continue;
    const std::string where = source + ", " + member;
    const cv::Size size = pngSize(bytes);
    if (std::find(allowedSizes.begin(), allowedSizes.end(), size) == allowedSizes.end())
      throw LabelMapError(where, "not a PNG of the size of the video's frames at the factor");
    const cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8UC1,
                      const_cast<char*>(bytes.data()));  // imdecode only reads it
    const cv::Mat bgr = cv::imdecode(raw, cv::IMREAD_COLOR);
    if (bgr.empty() || bgr.size() != size) throw LabelMapError(where, "cannot decode the PNG");
    ImportedFrame f{std::stoi(match[1]), cv::Mat(size, CV_32SC1, cv::Scalar(0))};
    for (int y = 0; y < size.height; ++y) {
      for (int x = 0; x < size.width; ++x) {
        const cv::Vec3b c = bgr.at<cv::Vec3b>(y, x);
        const auto it = colours.find(packRgb(c[2], c[1], c[0]));
        if (it == colours.end()) {
          throw LabelMapError(where, "colour (" + std::to_string(c[2]) + ", " +
                                         std::to_string(c[1]) + ", " + std::to_string(c[0]) +
                                         ") at pixel (" + std::to_string(x) + ", " +
                                         std::to_string(y) + ") is not in labelmap.txt");
        }
        f.classNumbers.at<int>(y, x) = it->second;
      }
    }
    frames.push_back(std::move(f));
  }
  if (frames.empty()) throw LabelMapError(source, "no SegmentationClass/frame_FFFFFF.png");
  return frames;
}

}  // namespace rovelin
