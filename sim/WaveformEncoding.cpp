// A record as the client reads it: the preamble that scales the codes, and the data block in
// the format, signedness and byte order set by :WAVeform. Encoded blocks are kept per record
// and format, so a repeated transfer costs nothing.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Instrument.h"
#include "InstrumentDetail.h"

namespace korvane::sim {

using detail::blockHeader;

int CInstrument::waveformChannel(Call& call) {
  const std::string& src = store_.text(":WAVeform:SOURce");
  if (src.rfind("CHAN", 0) == 0) return std::atoi(src.c_str() + 4);
  if (const int digital = digitalSource(src)) return digital;
  call.fail(err::kNoData);
  return 0;
}

CInstrument::Preamble CInstrument::preamble(const Capture& cap, int channel) const {
  if (channel < 0) return digitalPreamble(cap);
  const ChannelCapture& c = cap.channels.at(static_cast<size_t>(channel - 1));
  const std::string& fmt = store_.text(":WAVeform:FORMat");
  const bool uns = store_.number(":WAVeform:UNSigned") != 0;
  Preamble p{};
  p.format = fmt == "BYTE" ? 0 : fmt == "WORD" ? 1 : 4;
  p.type = cap.type == "PEAK" ? 1 : cap.type == "AVER" ? 2 : cap.type == "HRES" ? 3 : 0;
  p.points = cap.axis.points;
  p.count = cap.count;
  p.xinc = cap.axis.dx;
  p.xorg = cap.axis.x0;
  p.xref = 0;
  p.yinc = c.scale / (fmt == "BYTE" ? 256.0 : 65536.0);
  p.yorg = c.offset;
  p.yref = fmt == "ASC" ? 0 : uns ? (fmt == "BYTE" ? 128 : 32768) : 0;
  return p;
}

std::shared_ptr<const std::string> CInstrument::encodedBlock(Capture& cap, int channel) {
  if (channel < 0) return digitalBlock(cap, channel);
  const std::string& fmt = store_.text(":WAVeform:FORMat");
  const bool uns = store_.number(":WAVeform:UNSigned") != 0;
  const bool lsbf = store_.text(":WAVeform:BYTeorder") == "LSBF";
  const std::string key = fmt + (uns ? "U" : "S") + (lsbf ? "L" : "M");
  auto& slot = blocks_[{cap.sequence, channel, key}];
  if (slot) return slot;

  const std::vector<double>& v = channelData(cap, channel);
  const Preamble p = preamble(cap, channel);
  auto out = std::make_shared<std::string>();
  // Clamped first, then rounded to nearest-even by the 1.5 * 2^52 trick: the same codes as
  // nearbyint in the default rounding mode, without a library call per sample.
  const double inv = 1.0 / p.yinc;
  const auto code = [&](double x, double lo, double hi) {
    const double y = std::clamp((x - p.yorg) * inv + p.yref, lo, hi);
    constexpr double kRound = 0x1.8p52;
    return (y + kRound) - kRound;
  };
  if (fmt == "ASC") {
    std::string body;
    body.reserve(v.size() * 15);
    char buf[32];
    for (size_t i = 0; i < v.size(); ++i) {
      const int n = std::snprintf(buf, sizeof buf, i ? ",%+.6E" : "%+.6E", v[i]);
      body.append(buf, static_cast<size_t>(n));
    }
    *out = blockHeader(body.size()) + body;
  } else {
    const size_t width = fmt == "WORD" ? 2 : 1;
    const std::string header = blockHeader(v.size() * width);
    out->resize(header.size() + v.size() * width);
    std::memcpy(out->data(), header.data(), header.size());
    auto* dst = reinterpret_cast<unsigned char*>(out->data() + header.size());
    if (width == 2) {
      const double lo = uns ? 0 : -32768, hi = uns ? 65535 : 32767;
      const int hiByte = lsbf ? 1 : 0;
      for (size_t i = 0; i < v.size(); ++i) {
        const auto c = static_cast<uint16_t>(static_cast<int32_t>(code(v[i], lo, hi)));
        dst[2 * i + hiByte] = static_cast<unsigned char>(c >> 8);
        dst[2 * i + 1 - hiByte] = static_cast<unsigned char>(c & 0xFF);
      }
    } else {
      const double lo = uns ? 0 : -128, hi = uns ? 255 : 127;
      for (size_t i = 0; i < v.size(); ++i)
        dst[i] = static_cast<unsigned char>(static_cast<int32_t>(code(v[i], lo, hi)));
    }
  }
  slot = std::move(out);
  return slot;
}

int CInstrument::digitalSource(const std::string& source) const {
  const auto number = [&](std::size_t at) {
    if (source.size() <= at || source.find_first_not_of("0123456789", at) != std::string::npos) return -1;
    return std::atoi(source.c_str() + at);
  };
  if (source.rfind("DIG", 0) == 0) {
    const int n = number(3);
    if (n >= 0 && n < info_.digital) return -1 - n;
  } else if (source.rfind("POD", 0) == 0) {
    const int p = number(3);
    if (p >= 1 && p <= info_.digital / 8) return -100 - p;
  }
  return 0;
}

CInstrument::Preamble CInstrument::digitalPreamble(const Capture& cap) const {
  Preamble p{};
  p.format = 0;  // BYTE
  p.type = 0;
  p.points = cap.axis.points;
  p.count = 1;
  p.xinc = cap.axis.dx;
  p.xorg = cap.axis.x0;
  p.xref = 0;
  p.yinc = 1;
  p.yorg = 0;
  p.yref = 0;
  return p;
}

std::shared_ptr<const std::string> CInstrument::digitalBlock(const Capture& cap, int source) const {
  std::string body(cap.axis.points, '\0');
  for (std::size_t k = 0; k < body.size(); ++k) {
    const unsigned levels = detail::digitalLevels(k);
    body[k] = static_cast<char>(source <= -100 ? (levels >> (8 * (-100 - source - 1))) & 0xFF
                                               : (levels >> (-1 - source)) & 1);
  }
  return std::make_shared<const std::string>(detail::definiteBlock(body));
}

}  // namespace korvane::sim
