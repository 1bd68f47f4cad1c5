// The simulator's screen as an image file: a small RGB raster and its encodings as PNG and BMP,
// written here without an image library (stored deflate blocks keep the PNG encoder short).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::sim {

struct Raster {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;  // rows top to bottom, three bytes per pixel

  Raster(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b);
  void set(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b);
};

// PNG, 8 bits per sample: RGB, or grey (the luminance of each pixel).
std::string encodePng(const Raster& image, bool gray);
// BMP, bottom-up: 24-bit RGB, or 8-bit indexed (a grey ramp, or 3-3-2 colour levels).
std::string encodeBmp(const Raster& image, bool gray, bool eightBit);

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

}  // namespace korvane::sim
