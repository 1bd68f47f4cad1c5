// The waveform frames of the panel: each record decimated to pixel columns on the server. A column
// keeps the lowest and highest sample of the points it covers, so a 1M-point record costs the
// browser two values per column and a glitch one sample wide still shows.
#pragma once

#include "Plot.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::panel {

struct Columns {
  std::vector<float> min, max;  // one pair per column; NaN where a column holds no sample
};

// The samples [first, first + count) of `samples` (clamped to the record) into `columns` columns.
// Column c covers the points whose index lies in [first + c * count / columns,
// first + (c + 1) * count / columns), so every point falls in exactly one column; a column
// narrower than a sample (zoomed in) takes the sample nearest to it instead of leaving a gap.
Columns MinMaxColumns(const double* samples, std::size_t size, double first, double count, std::size_t columns);

// One frame as the page receives it over the WebSocket, little-endian:
//   u32 magic "KVF1", u32 sequence, u32 columns, u32 channels,
//   f64 view start, f64 view end (seconds), f64 record start, f64 record end, u32 record points,
//   u32 reserved; then per channel: 16 bytes of name (zero-padded), f32[columns] min,
//   f32[columns] max.
// A view with start >= end (or not finite) is the whole record.
constexpr std::uint32_t kFrameMagic = 0x3146564B;
constexpr std::size_t kFrameHeader = 56;
std::string EncodeFrame(const std::vector<cli::Trace>& traces, unsigned sequence, double viewStart, double viewEnd,
                        std::size_t columns);

}  // namespace korvane::panel
