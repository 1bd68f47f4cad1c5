#include "panel/Frame.h"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <limits>

namespace korvane::panel {

Columns MinMaxColumns(const double* samples, std::size_t size, double first, double count, std::size_t columns) {
  Columns out;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  out.min.assign(columns, nan);
  out.max.assign(columns, nan);
  if (!samples || size == 0 || columns == 0 || !(count > 0) || !std::isfinite(first) || !std::isfinite(count))
    return out;
  const double perColumn = count / static_cast<double>(columns);
  for (std::size_t c = 0; c < columns; ++c) {
    // The column's span in sample indices: [lo, hi); at least the one sample under it.
    const double a = first + perColumn * static_cast<double>(c);
    const double b = first + perColumn * static_cast<double>(c + 1);
    double lo = std::ceil(a), hi = std::ceil(b);
    if (hi <= lo) {
      lo = std::floor(a + 0.5);
      hi = lo + 1;
    }
    lo = std::max(lo, 0.0);
    hi = std::min(hi, static_cast<double>(size));
    if (hi <= lo) continue;  // outside the record
    const std::size_t l = static_cast<std::size_t>(lo), h = static_cast<std::size_t>(hi);
    double mn = samples[l], mx = samples[l];
    for (std::size_t k = l + 1; k < h; ++k) {
      const double v = samples[k];
      mn = v < mn ? v : mn;
      mx = v > mx ? v : mx;
    }
    out.min[c] = static_cast<float>(mn);
    out.max[c] = static_cast<float>(mx);
  }
  return out;
}

namespace {

template <class T>
void Put(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));  // the page reads little-endian; so do the hosts we build for
  out.append(bytes, sizeof(T));
}

}  // namespace

std::string EncodeFrame(const std::vector<cli::Trace>& traces, unsigned sequence, double viewStart, double viewEnd,
                        std::size_t columns) {
  double recordStart = 0, recordEnd = 0;
  std::size_t points = 0;
  if (!traces.empty()) {
    const cli::Trace& t = traces[0];
    points = t.volts.size();
    recordStart = t.initialX;
    recordEnd = t.initialX + t.xIncrement * static_cast<double>(points);
  }
  if (!(std::isfinite(viewStart) && std::isfinite(viewEnd) && viewStart < viewEnd)) {
    viewStart = recordStart;
    viewEnd = recordEnd;
  }
  std::string out;
  out.reserve(kFrameHeader + traces.size() * (16 + 8 * columns));
  Put<std::uint32_t>(out, kFrameMagic);
  Put<std::uint32_t>(out, sequence);
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(columns));
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(traces.size()));
  Put<double>(out, viewStart);
  Put<double>(out, viewEnd);
  Put<double>(out, recordStart);
  Put<double>(out, recordEnd);
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(points));
  Put<std::uint32_t>(out, 0);
  for (const cli::Trace& t : traces) {
    char name[16] = {};
    std::memcpy(name, t.name.data(), std::min<std::size_t>(t.name.size(), sizeof name - 1));
    out.append(name, sizeof name);
    Columns c;
    if (t.xIncrement > 0)
      c = MinMaxColumns(t.volts.data(), t.volts.size(), (viewStart - t.initialX) / t.xIncrement,
                        (viewEnd - viewStart) / t.xIncrement, columns);
    else c = MinMaxColumns(nullptr, 0, 0, 0, columns);
    out.append(reinterpret_cast<const char*>(c.min.data()), columns * sizeof(float));
    out.append(reinterpret_cast<const char*>(c.max.data()), columns * sizeof(float));
  }
  return out;
}

}  // namespace korvane::panel
