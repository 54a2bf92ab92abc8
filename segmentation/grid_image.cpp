// SPDX-License-Identifier: Apache-2.0
// Binary PPM reader and writer for the segmentation.
//
// The header grammar is deliberately small (two-character magic, one
// separator byte after maxval, no rescaling) because the only producer is our
// own frame writer. The reader never trusts the header for memory: sizes are
// checked against kMaxPpmPixels in 64-bit arithmetic before anything is
// allocated, header numbers saturate rather than overflow, and a header that
// ends early or holds an over-long comment is an error.
#include "segmentation/grid_image.hpp"

#include <climits>
#include <fstream>
#include <string>

namespace rovelin {
namespace {

bool isHeaderSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading of a token (optional sign, leading digits, anything after
// them ignored, no digits gives 0) but saturating instead of overflowing.
int parseHeaderInt(const char* s) {
  bool negative = false;
  if (*s == '+' || *s == '-') {
    negative = *s == '-';
    ++s;
  }
  long long value = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    value = value * 10 + (*s - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) {
    return static_cast<int>(-value);  // INT_MAX + 1 negated is INT_MIN
  }
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace

void readPnmToken(std::istream& in, char (&buf)[kPnmTokenSize], std::string_view name) {
  auto cutShort = [&] { return pnm_error(std::string(name) + ": PPM header cut short"); };
  in >> std::ws;
  int c = in.get();
  while (c == '#') {
    char doc[kPnmTokenSize];
    in.getline(doc, kPnmTokenSize);
    if (in.fail()) {
      if (in.eof()) throw cutShort();
      throw pnm_error(std::string(name) + ": PPM comment line of " + std::to_string(kPnmTokenSize) +
                      " characters or more");
    }
    in >> std::ws;
    c = in.get();
  }
  if (c == std::istream::traits_type::eof()) throw cutShort();
  int length = 0;
  buf[length++] = static_cast<char>(c);
  while (length < kPnmTokenSize - 1) {
    const int next = in.peek();
    if (next == std::istream::traits_type::eof() || isHeaderSpace(next)) break;
    buf[length++] = static_cast<char>(in.get());
  }
  buf[length] = '\0';
  // The one byte that ends the token; at the end of the stream there is none.
  if (in.get() == std::istream::traits_type::eof()) in.clear(in.rdstate() & ~std::ios::failbit);
}

GridImage<RgbPixel> readPpm(std::istream& in, const std::string& name) {
  char buf[kPnmTokenSize];
  readPnmToken(in, buf, name);
  if (buf[0] != 'P' || buf[1] != '6') {
    throw pnm_error(name + ": not a binary PPM file (magic number is not P6)");
  }
  readPnmToken(in, buf, name);
  const int width = parseHeaderInt(buf);
  readPnmToken(in, buf, name);
  const int height = parseHeaderInt(buf);
  readPnmToken(in, buf, name);
  const int maxval = parseHeaderInt(buf);

  if (maxval > 255) {
    throw pnm_error(name + ": PPM maximum sample value " + std::to_string(maxval) +
                    " is above 255 (16-bit samples are not supported)");
  }
  if (width <= 0 || height <= 0) {
    throw pnm_error(name + ": invalid PPM size " + std::to_string(width) + " x " +
                    std::to_string(height));
  }
  const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
  if (pixels > kMaxPpmPixels) {
    throw pnm_error(name + ": PPM size " + std::to_string(width) + " x " + std::to_string(height) +
                    " exceeds the limit of " + std::to_string(kMaxPpmPixels) + " pixels");
  }

  GridImage<RgbPixel> image(width, height, true);
  // A short pixel block leaves the tail black; the header already decided the size.
  in.read(reinterpret_cast<char*>(image.data()),
          static_cast<std::streamsize>(pixels) * static_cast<std::streamsize>(sizeof(RgbPixel)));
  return image;
}

GridImage<RgbPixel> readPpm(const std::string& path) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) throw pnm_error(path + ": cannot open file for reading");
  return readPpm(in, path);
}

void writePpm(const GridImage<RgbPixel>& image, std::ostream& out, const std::string& name) {
  // Formatted without the stream's locale so that no digit grouping can creep in.
  const std::string header =
      "P6\n" + std::to_string(image.width()) + " " + std::to_string(image.height()) + "\n255\n";
  out.write(header.data(), static_cast<std::streamsize>(header.size()));
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.pixelCount() * sizeof(RgbPixel)));
  out.flush();
  if (!out) throw pnm_error(name + ": cannot write PPM data");
}

void writePpm(const GridImage<RgbPixel>& image, const std::string& path) {
  std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out.is_open()) throw pnm_error(path + ": cannot create file for writing");
  writePpm(image, out, path);
  out.close();
  if (!out) throw pnm_error(path + ": cannot write PPM data");
}

}  // namespace rovelin
