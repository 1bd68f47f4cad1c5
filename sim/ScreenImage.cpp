#include "ScreenImage.h"

#include <algorithm>
#include <array>

namespace korvane::sim {

namespace {

std::uint8_t luminance(const std::uint8_t* p) {
  return static_cast<std::uint8_t>((299 * p[0] + 587 * p[1] + 114 * p[2]) / 1000);
}

void putBE32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void putLE(std::string& out, std::uint32_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

void chunk(std::string& png, const char* type, const std::string& data) {
  putBE32(png, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  png += body;
  putBE32(png, crc32(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
}

// A zlib stream of stored (uncompressed) deflate blocks: header, blocks of at most 65535 bytes,
// Adler-32 of the data.
std::string zlibStored(const std::string& data) {
  std::string out("\x78\x01", 2);
  std::size_t at = 0;
  do {
    const std::size_t n = std::min<std::size_t>(65535, data.size() - at);
    const bool last = at + n == data.size();
    out.push_back(last ? '\x01' : '\x00');
    putLE(out, static_cast<std::uint32_t>(n), 2);
    putLE(out, static_cast<std::uint32_t>(~n & 0xFFFF), 2);
    out.append(data, at, n);
    at += n;
  } while (at < data.size());
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  putBE32(out, (b << 16) | a);
  return out;
}

}  // namespace

Raster::Raster(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b)
    : width(w), height(h), rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3) {
  for (std::size_t k = 0; k < rgb.size(); k += 3) {
    rgb[k] = r;
    rgb[k + 1] = g;
    rgb[k + 2] = b;
  }
}

void Raster::set(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  if (x < 0 || y < 0 || x >= width || y >= height) return;
  std::uint8_t* p =
      &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3];
  p[0] = r;
  p[1] = g;
  p[2] = b;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (std::size_t k = 0; k < size; ++k) crc = table[(crc ^ data[k]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string encodePng(const Raster& image, bool gray) {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  putBE32(header, static_cast<std::uint32_t>(image.width));
  putBE32(header, static_cast<std::uint32_t>(image.height));
  header += std::string{'\x08', gray ? '\x00' : '\x02', '\x00', '\x00', '\x00'};  // depth, colour, methods
  chunk(png, "IHDR", header);
  // Every scanline starts with filter type 0 (none).
  std::string pixels;
  const std::size_t channels = gray ? 1 : 3;
  pixels.reserve(static_cast<std::size_t>(image.height) * (1 + channels * static_cast<std::size_t>(image.width)));
  for (int y = 0; y < image.height; ++y) {
    pixels.push_back('\0');
    const std::uint8_t* row = &image.rgb[static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) * 3];
    for (int x = 0; x < image.width; ++x, row += 3) {
      if (gray) pixels.push_back(static_cast<char>(luminance(row)));
      else pixels.append(reinterpret_cast<const char*>(row), 3);
    }
  }
  chunk(png, "IDAT", zlibStored(pixels));
  chunk(png, "IEND", {});
  return png;
}

std::string encodeBmp(const Raster& image, bool gray, bool eightBit) {
  const std::uint32_t bytesPerPixel = eightBit ? 1 : 3;
  const std::uint32_t stride = (static_cast<std::uint32_t>(image.width) * bytesPerPixel + 3) & ~3u;
  const std::uint32_t paletteSize = eightBit ? 256 * 4 : 0;
  const std::uint32_t offset = 14 + 40 + paletteSize;
  const std::uint32_t imageSize = stride * static_cast<std::uint32_t>(image.height);
  std::string bmp("BM", 2);
  putLE(bmp, offset + imageSize, 4);
  putLE(bmp, 0, 4);
  putLE(bmp, offset, 4);
  putLE(bmp, 40, 4);  // BITMAPINFOHEADER
  putLE(bmp, static_cast<std::uint32_t>(image.width), 4);
  putLE(bmp, static_cast<std::uint32_t>(image.height), 4);  // positive: bottom-up
  putLE(bmp, 1, 2);
  putLE(bmp, bytesPerPixel * 8, 2);
  putLE(bmp, 0, 4);  // no compression
  putLE(bmp, imageSize, 4);
  putLE(bmp, 2835, 4);  // 72 dpi
  putLE(bmp, 2835, 4);
  putLE(bmp, eightBit ? 256 : 0, 4);
  putLE(bmp, 0, 4);
  if (eightBit) {
    for (std::uint32_t i = 0; i < 256; ++i) {
      const std::uint32_t r = gray ? i : ((i >> 5) & 7) * 255 / 7, g = gray ? i : ((i >> 2) & 7) * 255 / 7,
                          b = gray ? i : (i & 3) * 255 / 3;
      bmp.push_back(static_cast<char>(b));
      bmp.push_back(static_cast<char>(g));
      bmp.push_back(static_cast<char>(r));
      bmp.push_back('\0');
    }
  }
  for (int y = image.height - 1; y >= 0; --y) {
    std::string row;
    const std::uint8_t* p = &image.rgb[static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) * 3];
    for (int x = 0; x < image.width; ++x, p += 3) {
      if (eightBit) {
        row.push_back(static_cast<char>(gray ? luminance(p) : (p[0] & 0xE0) | ((p[1] >> 3) & 0x1C) | (p[2] >> 6)));
      } else if (gray) {
        row.append(3, static_cast<char>(luminance(p)));
      } else {
        row.push_back(static_cast<char>(p[2]));
        row.push_back(static_cast<char>(p[1]));
        row.push_back(static_cast<char>(p[0]));
      }
    }
    row.resize(stride, '\0');
    bmp += row;
  }
  return bmp;
}

}  // namespace korvane::sim
