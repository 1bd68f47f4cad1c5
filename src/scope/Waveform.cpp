// Waveform transfer: an analog channel's record as volts, the transfer settings of
// IKorvaneWaveform, and the IVI class members that forward to them.
//
// The points travel as one definite-length block of 16-bit words, most significant byte first.
// The block goes straight into storage kept from read to read; the instrument
// buffer's byte swapping is off while it is read, so the bytes stay in the instrument's order
// and the scaling loop turns them into volts in the same pass that reads them, writing each
// point once into its final place: the caller's buffer on the flat API, the new SAFEARRAY on COM.
#include "com/Objects.h"
#include "core/Models.h"
#include "core/WaveformDestination.h"
#include "scope/CompletionWait.h"
#include "scope/Preamble.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneMembers.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {
namespace {

constexpr char kWordFormat[] = ":WAV:FORM WORD;UNS 0;BYT MSBF";
// A simulated record is as long as the simulated acquisition says its records are.
constexpr LONG kSimulatedPoints = static_cast<LONG>(members::IKorvaneAcquisition_get_RecordLength.simInteger);
static_assert(kSimulatedPoints > 0, "the catalogue's simulated record length");

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// ---- session settings switched for the block read, put back however it ends ----

// The instrument buffer's byte swapping. `BigEndian()` tells how the raw record comes out: in
// the instrument's order when swapping is off (or could be switched off), else already swapped.
class SwapBytesOff {
 public:
  explicit SwapBytesOff(IIoSession& io) noexcept : io_(io) {
    bool swap = true;
    if (FAILED(io_.GetSwapBytes(&swap))) return;  // a session without the setting swaps
    if (!swap) {
      bigEndian_ = true;
    } else if (SUCCEEDED(io_.SetSwapBytes(false))) {
      bigEndian_ = true;
      restore_ = true;
    }
  }
  SwapBytesOff(const SwapBytesOff&) = delete;
  SwapBytesOff& operator=(const SwapBytesOff&) = delete;
  ~SwapBytesOff() {
    if (restore_) io_.SetSwapBytes(true);
  }
  bool BigEndian() const noexcept { return bigEndian_; }

 private:
  IIoSession& io_;
  bool bigEndian_ = false;
  bool restore_ = false;
};

// ---- the transfer ----

// A new array of doubles replaces the caller's [in, out] array.
void ReplaceArray(SAFEARRAY** slot, SafeArrayPtr& fresh) noexcept {
  if (*slot) SafeArrayDestroy(*slot);
  *slot = fresh.Detach();
}

// volts = (raw - y reference) * y increment + y origin, for elements first, first+stride, ...
void Scale(const BYTE* raw, bool bigEndian, std::size_t first, std::size_t stride, const Scaling& s, double* out,
           std::size_t count) noexcept {
  const double yref = s.yReference, yinc = s.yIncrement, yorg = s.yOrigin;
  if (bigEndian) {
    const BYTE* p = raw + 2 * first;
    for (std::size_t k = 0; k < count; ++k, p += 2 * stride) {
      const auto r = static_cast<std::int16_t>(static_cast<std::uint16_t>((p[0] << 8) | p[1]));
      out[k] = (r - yref) * yinc + yorg;
    }
  } else {
    const auto* v = reinterpret_cast<const std::int16_t*>(raw) + first;
    for (std::size_t k = 0; k < count; ++k, v += stride) out[k] = (*v - yref) * yinc + yorg;
  }
}

// A record's raw words, in the kept storage or in an array of their own.
struct RawRecord {
  SafeArrayPtr array;
  const BYTE* data = nullptr;
  std::size_t words = 0;
  bool bigEndian = true;
};

// Beyond this many words a preamble's count is not trusted to size the kept storage: such a
// record takes an array of the block's own size.
constexpr long long kMaxKeptWords = 64ll << 20;

class CWaveformTransfer {
 public:
  CWaveformTransfer(CDriver& session, IErrorReporter& reporter) : s_(session), reporter_(reporter) {}

  // The record's source: the measurement item's physical name as the instrument names it.
  HRESULT SelectSource(const std::string& physicalName) {
    if (physicalName.find("Digital") != std::string::npos)
      return reporter_.MethodNotSupported("", "Korvane: A digital channel has no analog waveform to transfer.");
    std::string name = physicalName;
    if (!s_.IsModelFamily("Dovin") && !s_.IsModelFamily("Efrai")) ReplaceAll(name, "Math2", "FUNC");
    ReplaceAll(name, "Channel", "CHAN");
    return Write(":WAV:SOUR %$Cs", &name);
  }

  HRESULT CheckPeakDetect() {
    std::string type;
    HRESULT hr = Io().FormattedQuery(":WAV:TYPE?", "%$Ct", &type);
    if (FAILED(hr)) return hr;
    return type == "PEAK" ? S_OK : reporter_.InvalidAcquisitionType();
  }

  HRESULT SelectWordFormat() { return Write(kWordFormat); }

  // The preamble's x increment, x origin, y increment, y origin and y reference.
  HRESULT ReadPreamble(Scaling& scaling) {
    std::string reply;
    HRESULT hr = Io().FormattedQuery(":WAV:PRE?", "%255$Ct", &reply);
    if (FAILED(hr)) return hr;
    std::string why;
    if (!ParsePreamble(reply, scaling, why)) return reporter_.UnexpectedResponse(why.c_str());
    return S_OK;
  }

  // The points as one block of 16-bit words into `raw`. The status check and the instrument
  // buffer's byte swapping are off for the transfer and come back whatever it returns; the
  // status check would only add a round trip to a transfer that reports its own failures.
  // With the preamble's point count the block lands in the session's kept storage, sized one
  // word beyond that count so that a longer block shows; without it, in a new array.
  HRESULT ReadRecord(const Scaling& scaling, bool minMax, RawRecord& raw) {
    StatusCheckSuspended noStatus(s_);
    SwapBytesOff noSwap(Io());
    raw.bigEndian = noSwap.BigEndian();
    HRESULT hr;
    const bool kept = scaling.points >= 0 && scaling.points < kMaxKeptWords;
    const long long expected = kept ? scaling.points * (minMax ? 2 : 1) : 0;
    if (kept) {
      const auto room = static_cast<std::size_t>(expected) + 1;
      std::vector<BYTE>& block = s_.WaveformBlock();
      if (block.size() < 2 * room) block.resize(2 * room);
      LONG words = static_cast<LONG>(room);
      hr = Io().FormattedQuery("WAV:DATA?", "%#hb", &words, block.data());
      if (SUCCEEDED(hr) && static_cast<std::size_t>(words) == room) {
        const std::string why = "Korvane: The waveform block holds more than the " + std::to_string(expected) +
                                " points its preamble announces.";
        return reporter_.UnexpectedResponse(why.c_str());
      }
      raw.data = block.data();
      raw.words = SUCCEEDED(hr) ? static_cast<std::size_t>(words) : 0;
    } else {
      hr = Io().FormattedQuery("WAV:DATA?", "%$Shb", raw.array.Receive());
      if (SUCCEEDED(hr) && raw.array) {
        raw.data = static_cast<const BYTE*>(raw.array.get()->pvData);
        raw.words = raw.array.get()->rgsabound[0].cElements;
      }
    }
    // What is left of a block that could not be read would answer the next query.
    if (FAILED(hr)) Io().DeviceClear();
    return hr;
  }

  // The whole fetch after the source and format are chosen: preamble, points, volts.
  HRESULT Transfer(Scaling& scaling, bool minMax, RawRecord& raw, ScopedTimeout<IIoSession>* timeout = nullptr) {
    HRESULT hr = ReadPreamble(scaling);
    if (SUCCEEDED(hr)) hr = ReadRecord(scaling, minMax, raw);
    if (timeout) timeout->Restore();
    return hr;
  }

 private:
  IIoSession& Io() { return *s_.IoSession(); }

  template <typename... A>
  HRESULT Write(const char* format, A... args) {
    std::string command;
    HRESULT hr = s_.FormatCommand(&command, format, args...);
    return FAILED(hr) ? hr : s_.GenericWrite(command);
  }

  CDriver& s_;
  IErrorReporter& reporter_;
};

// ---- simulation ----

// Fresh pseudo-random points, as an instrument without a signal would show noise. Each call
// continues the thread's own sequence, so two records (two channels) never repeat each other.
void SimulatedPoints(double* out, std::size_t count) noexcept {
  thread_local std::minstd_rand noise{std::random_device{}()};
  std::uniform_int_distribution<int> level(0, 32767);
  for (std::size_t k = 0; k < count; ++k) out[k] = level(noise) / 100.0;
}

// ---- where the volts go ----

// The one or two arrays of points a member returns: new SAFEARRAYs that replace the caller's
// (COM), or the caller's own buffers armed by the flat API, cut to their capacity. Either way
// the scaling writes each point once, into its final place.
class CPointsOut {
 public:
  CPointsOut(SAFEARRAY** first, SAFEARRAY** second, WaveformDestination* direct) noexcept
      : slots_{first, second}, arrays_(second ? 2 : 1), direct_(direct) {}

  // Room for `points` points in each array; false when memory ran out.
  bool Allocate(std::size_t points) noexcept {
    if (direct_ && direct_->whole && points > direct_->capacity) direct_ = nullptr;
    if (direct_) {
      count_ = points < direct_->capacity ? points : direct_->capacity;
      for (int k = 0; k < arrays_; ++k) data_[k] = direct_->buffers[k];
      return true;
    }
    count_ = points;
    for (int k = 0; k < arrays_; ++k) {
      // One array given for both halves of a pair can take only one of them.
      if (Reusable(*slots_[k], points) && !(k == 1 && *slots_[1] == *slots_[0])) {
        data_[k] = static_cast<double*>((*slots_[k])->pvData);
        continue;
      }
      fresh_[k] = SafeArrayPtr(SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(points)));
      if (!fresh_[k]) return false;
      // A vector's elements stay where they are: no lock is needed to fill them here.
      data_[k] = static_cast<double*>(fresh_[k].get()->pvData);
    }
    return true;
  }
  std::size_t Count() const noexcept { return count_; }
  double* Data(int k) const noexcept { return data_[k]; }

  // Hands the points over, on success only.
  void Commit() noexcept {
    if (direct_) {
      direct_->used = true;
      direct_->written = count_;
      return;
    }
    SAFEARRAY* const old[2] = {*slots_[0], arrays_ > 1 ? *slots_[1] : nullptr};
    for (int k = 0; k < arrays_; ++k)
      if (fresh_[k]) *slots_[k] = fresh_[k].Detach();
    DestroyUnheld(old);
  }

  // The caller's own array, when it already has the shape of the result (doubles, one
  // dimension from 0, as many points, not locked), is filled where it is: a record of a million
  // points is 8 MB, and memory that fresh costs more to touch than the whole transfer (every
  // page faults in; Windows heaps take blocks that large from the system and give them back
  // when freed). A client that passes its last record back reads into warm memory.
  static bool Reusable(const SAFEARRAY* array, std::size_t points) noexcept {
    VARTYPE vt = VT_EMPTY;
    return array && array->cDims == 1 && array->cLocks == 0 && array->pvData && array->rgsabound[0].lLbound == 0 &&
           array->rgsabound[0].cElements == points &&
           SUCCEEDED(SafeArrayGetVartype(const_cast<SAFEARRAY*>(array), &vt)) && vt == VT_R8;
  }

  // Neither half of a min/max pair is any use alone.
  void DropPair() noexcept {
    if (direct_ || arrays_ < 2) return;
    SAFEARRAY* const old[2] = {*slots_[0], *slots_[1]};
    *slots_[0] = *slots_[1] = nullptr;
    DestroyUnheld(old);
  }

 private:
  // The caller's former arrays that no slot holds any more, each destroyed once (a caller may
  // pass one array, or one variable, for both halves of a pair).
  void DestroyUnheld(SAFEARRAY* const (&old)[2]) noexcept {
    for (int k = 0; k < arrays_; ++k) {
      SAFEARRAY* a = old[k];
      const bool held = *slots_[0] == a || (arrays_ > 1 && *slots_[1] == a);
      if (a && !held && !(k == 1 && a == old[0])) SafeArrayDestroy(a);
    }
  }

  SAFEARRAY** slots_[2];
  int arrays_;
  WaveformDestination* direct_;
  SafeArrayPtr fresh_[2];
  double* data_[2] = {nullptr, nullptr};
  std::size_t count_ = 0;
};

// ---- the members ----

struct WaveformCall {
  CKorvaneMeasurement& item;
  bool minMax;
  bool read;
  LONG maxTime;
};

HRESULT Fetch(const WaveformCall& c, SAFEARRAY** first, SAFEARRAY** second, DOUBLE* initialX, DOUBLE* xIncrement) {
  CDriver* session = c.item.Session();
  if (!session) return c.item.Reporter().NotInitialized();
  IErrorReporter& reporter = c.item.Reporter();
  // An open trace file records the arrays themselves: it gets them as COM would.
  WaveformDestination* direct = session->MethodTrace().Active() ? nullptr : TakeWaveformDestination(c.minMax ? 2 : 1);
  CPointsOut out(first, c.minMax ? second : nullptr, direct);
  if (session->Simulate()) {
    if (!out.Allocate(kSimulatedPoints)) return reporter.OutOfMemory();
    SimulatedPoints(out.Data(0), out.Count());
    if (c.minMax) SimulatedPoints(out.Data(1), out.Count());
    out.Commit();
    *initialX = 0;
    *xIncrement = 0;
    return S_OK;
  }
  if (!session->IoSession()) return reporter.NotInitialized();

  CWaveformTransfer t(*session, reporter);
  HRESULT hr = t.SelectSource(c.item.PhysicalName());
  if (SUCCEEDED(hr) && c.minMax) hr = t.CheckPeakDetect();
  if (SUCCEEDED(hr) && c.read)
    hr = DigitizeForRead(*session, c.maxTime, c.minMax ? "ReadWaveformMinMax" : "ReadWaveform");
  if (SUCCEEDED(hr)) hr = t.SelectWordFormat();
  if (FAILED(hr)) return hr;

  Scaling scaling;
  RawRecord raw;
  if (c.read) {
    ScopedTimeout<IIoSession> timeout(*session->IoSession());
    if (HRESULT set = timeout.Set(c.maxTime); FAILED(set)) return set;
    hr = t.Transfer(scaling, c.minMax, raw, &timeout);
  } else {
    hr = t.Transfer(scaling, c.minMax, raw);
  }
  if (FAILED(hr)) return hr;

  const std::size_t elements = raw.words;
  if (!out.Allocate(c.minMax ? elements / 2 : elements)) {
    out.DropPair();
    return reporter.OutOfMemory();
  }
  Scale(raw.data, raw.bigEndian, 0, c.minMax ? 2 : 1, scaling, out.Data(0), out.Count());
  if (c.minMax) Scale(raw.data, raw.bigEndian, 1, 2, scaling, out.Data(1), out.Count());
  out.Commit();
  *initialX = scaling.xOrigin;
  *xIncrement = scaling.xIncrement;
  return S_OK;
}

// ---- digital records ----
//
// A digital record is one byte per point. The source is a channel (DigitalChannel<n>, the
// instrument's DIG<n>: each byte is 0 or 1) or a pod (DigitalPod<p>, POD<p>: each byte holds the
// pod's eight channels, bit k being channel 8(p-1)+k, so the lowest-numbered channel is the least
// significant bit). This is the layout the flat interface's byte arrays carry as well. The bytes
// are the instrument's own: no scaling, and nothing for byte order to change.

constexpr char kByteFormat[] = ":WAV:FORM BYTE;UNS 1";

// The instrument's name of a digital item, empty for a name that is neither a channel nor a pod.
std::string DigitalSourceName(const std::string& physicalName) {
  auto numbered = [&](std::string_view stem) -> std::string {
    if (physicalName.size() <= stem.size() || physicalName.compare(0, stem.size(), stem) != 0) return {};
    std::string digits = physicalName.substr(stem.size());
    if (digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos) return {};
    return digits;
  };
  if (std::string n = numbered("DigitalChannel"); !n.empty()) return "DIG" + n;
  if (std::string n = numbered("DigitalPod"); !n.empty()) return "POD" + n;
  return {};
}

// The pattern a simulated session returns: a binary counter over the points, the bit of the
// channel's number for a channel, the counter's low byte for a pod.
HRESULT SimulatedDigital(const std::string& source, SafeArrayPtr& out) {
  out = SafeArrayPtr(SafeArrayCreateVector(VT_UI1, 0, kSimulatedPoints));
  if (!out) return E_OUTOFMEMORY;
  SafeArrayAccess<BYTE> data(out.get());
  if (!data.ok()) return data.hr();
  const bool pod = source.starts_with("POD");
  const int bit = pod ? 0 : std::atoi(source.c_str() + 3) % 8;
  for (LONG k = 0; k < kSimulatedPoints; ++k) data.data()[k] = static_cast<BYTE>(pod ? (k & 0xFF) : ((k >> bit) & 1));
  return S_OK;
}

HRESULT FetchDigital(CKorvaneDigitalChannel& item, bool read, LONG maxTime, SAFEARRAY** array, DOUBLE* initialX,
                     DOUBLE* xIncrement) {
  CDriver* session = item.Session();
  if (!session) return item.Reporter().NotInitialized();
  IErrorReporter& reporter = item.Reporter();
  std::string source = DigitalSourceName(item.PhysicalName());
  if (source.empty())
    return reporter.MethodNotSupported("", "Korvane: This item has no digital waveform to transfer.");
  SafeArrayPtr bytes;
  Scaling scaling;
  if (session->Simulate()) {
    if (FAILED(SimulatedDigital(source, bytes))) return reporter.OutOfMemory();
  } else {
    IIoSession* io = session->IoSession();
    if (!io) return reporter.NotInitialized();
    CWaveformTransfer t(*session, reporter);
    auto write = [&](const char* format, auto... args) {
      std::string command;
      HRESULT hr = session->FormatCommand(&command, format, args...);
      return FAILED(hr) ? hr : session->GenericWrite(command);
    };
    HRESULT hr = write(":WAV:SOUR %$Cs", &source);
    if (SUCCEEDED(hr) && read) hr = DigitizeForRead(*session, maxTime, "ReadDigitalWaveform");
    if (SUCCEEDED(hr)) hr = write(kByteFormat);
    if (FAILED(hr)) return hr;
    std::optional<ScopedTimeout<IIoSession>> timeout;
    if (read) {
      timeout.emplace(*io);
      if (HRESULT set = timeout->Set(maxTime); FAILED(set)) return set;
    }
    hr = t.ReadPreamble(scaling);
    if (SUCCEEDED(hr)) {
      StatusCheckSuspended noStatus(*session);
      hr = io->FormattedQuery("WAV:DATA?", "%$Sb", bytes.Receive());
      if (FAILED(hr)) io->DeviceClear();
    }
    if (timeout) timeout->Restore();
    if (FAILED(hr)) return hr;
  }
  if (*array) SafeArrayDestroy(*array);
  *array = bytes.Detach();
  *initialX = scaling.xOrigin;
  *xIncrement = scaling.xIncrement;
  return S_OK;
}

// Whether the text is the connected model's name for one of its waveform sources.
bool IsWaveformSource(CKorvane& self, const std::string& name) {
  auto numbered = [&](std::string_view stem, int count) {
    if (name.size() <= stem.size() || name.compare(0, stem.size(), stem) != 0) return false;
    std::string_view digits = std::string_view(name).substr(stem.size());
    if (digits.find_first_not_of("0123456789") != std::string_view::npos || digits.size() > 2) return false;
    int n = std::atoi(std::string(digits).c_str());
    return n >= 1 && n <= count;
  };
  const Capabilities& caps = self.ModelCapabilities();
  if (numbered("Channel", caps.analogChannels) || numbered("CHAN", caps.analogChannels)) return true;
  if (name == "Math" || name == "FUNC" || name == "FFT") return true;
  for (const std::string& ref : ReferenceWaveformNames(CModelTable::Instance().FamilyOf(self.InstrumentModelName())))
    if (name == ref) return true;
  if (caps.digitalChannels > 0) {
    const int pods = self.IsModelFamily("Bormo") ? 1 : 2;
    if (numbered("BUS", 2) || numbered("POD", pods)) return true;
  }
  const auto* buses = self.Children("KorvaneSerialBus");
  const int serialBuses = buses ? static_cast<int>(buses->size()) : 0;
  return numbered("SerialBus", serialBuses) || numbered("SBUS", serialBuses);
}

// The IVI class item's counterpart: the measurement item of the same name.
HRESULT MeasurementOf(CKorvaneChannel& channel, ComPtr<IKorvaneMeasurement>& out) {
  CKorvaneSession* root = channel.Parent();
  if (!root) return channel.Reporter().NotInitialized();
  const CKorvaneSession::ChildList* items = root->Children("KorvaneMeasurement");
  if (items)
    for (const CChildItem& item : *items)
      if (item.node && item.node->PhysicalName() == channel.PhysicalName())
        return item.object->QueryInterface(IID_IKorvaneMeasurement, out.ReceiveVoid());
  return channel.Reporter().UnknownChannelName(
      ("Korvane: No measurement item is named '" + channel.PhysicalName() + "'.").c_str());
}

}  // namespace

// ---- IKorvaneMeasurement ----

HRESULT Impl_IKorvaneMeasurement_FetchWaveform(CKorvaneMeasurement& self, SAFEARRAY** WaveformArray, DOUBLE* InitialX,
                                               DOUBLE* XIncrement) {
  return Fetch({self, false, false, 0}, WaveformArray, nullptr, InitialX, XIncrement);
}

HRESULT Impl_IKorvaneMeasurement_ReadWaveform(CKorvaneMeasurement& self, LONG MaxTimeMilliseconds,
                                              SAFEARRAY** WaveformArray, DOUBLE* InitialX, DOUBLE* XIncrement) {
  return Fetch({self, false, true, MaxTimeMilliseconds}, WaveformArray, nullptr, InitialX, XIncrement);
}

HRESULT Impl_IKorvaneMeasurement_FetchWaveformMinMax(CKorvaneMeasurement& self, SAFEARRAY** MinWaveform,
                                                     SAFEARRAY** MaxWaveform, DOUBLE* InitialX, DOUBLE* XIncrement) {
  return Fetch({self, true, false, 0}, MinWaveform, MaxWaveform, InitialX, XIncrement);
}

HRESULT Impl_IKorvaneMeasurement_ReadWaveformMinMax(CKorvaneMeasurement& self, LONG MaxTimeMilliseconds,
                                                    SAFEARRAY** MinWaveform, SAFEARRAY** MaxWaveform, DOUBLE* InitialX,
                                                    DOUBLE* XIncrement) {
  return Fetch({self, true, true, MaxTimeMilliseconds}, MinWaveform, MaxWaveform, InitialX, XIncrement);
}

// ---- IKorvaneMeasurements / IIviScopeMeasurements ----

HRESULT Impl_IKorvaneMeasurements_IsWaveformElementInvalid(CKorvane& self, DOUBLE Element, VARIANT_BOOL* Val) {
  // Only a NaN is invalid: the instrument's out-of-range codes scale to ordinary numbers.
  *Val = !self.Simulate() && std::isnan(Element) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT Impl_IIviScopeMeasurements_IsWaveformElementInvalid(CKorvane& self, DOUBLE Element, VARIANT_BOOL* IsInvalid) {
  ComPtr<IKorvaneMeasurements> measurements;
  HRESULT hr = self.QueryInterface(IID_IKorvaneMeasurements, measurements.ReceiveVoid());
  return FAILED(hr) ? hr : measurements->IsWaveformElementInvalid(Element, IsInvalid);
}

// ---- IIviScopeMeasurement (the channel items) ----

HRESULT Impl_IIviScopeMeasurement_FetchWaveform(CKorvaneChannel& self, SAFEARRAY** WaveformArray, DOUBLE* InitialX,
                                                DOUBLE* XIncrement) {
  ComPtr<IKorvaneMeasurement> m;
  HRESULT hr = MeasurementOf(self, m);
  return FAILED(hr) ? hr : m->FetchWaveform(WaveformArray, InitialX, XIncrement);
}

HRESULT Impl_IIviScopeMeasurement_ReadWaveform(CKorvaneChannel& self, LONG MaxTimeMilliseconds,
                                               SAFEARRAY** WaveformArray, DOUBLE* InitialX, DOUBLE* XIncrement) {
  ComPtr<IKorvaneMeasurement> m;
  HRESULT hr = MeasurementOf(self, m);
  return FAILED(hr) ? hr : m->ReadWaveform(MaxTimeMilliseconds, WaveformArray, InitialX, XIncrement);
}

HRESULT Impl_IIviScopeMeasurement_FetchWaveformMinMax(CKorvaneChannel& self, SAFEARRAY** MinWaveform,
                                                      SAFEARRAY** MaxWaveform, DOUBLE* InitialX, DOUBLE* XIncrement) {
  ComPtr<IKorvaneMeasurement> m;
  HRESULT hr = MeasurementOf(self, m);
  return FAILED(hr) ? hr : m->FetchWaveformMinMax(MinWaveform, MaxWaveform, InitialX, XIncrement);
}

HRESULT Impl_IIviScopeMeasurement_ReadWaveformMinMax(CKorvaneChannel& self, LONG MaxTimeMilliseconds,
                                                     SAFEARRAY** MinWaveform, SAFEARRAY** MaxWaveform,
                                                     DOUBLE* InitialX, DOUBLE* XIncrement) {
  ComPtr<IKorvaneMeasurement> m;
  HRESULT hr = MeasurementOf(self, m);
  return FAILED(hr) ? hr : m->ReadWaveformMinMax(MaxTimeMilliseconds, MinWaveform, MaxWaveform, InitialX, XIncrement);
}

// ---- IKorvaneWaveform ----

HRESULT Impl_IKorvaneWaveform_put_DataFormat(CKorvane& self, KorvaneWaveformDataFormatEnum val) {
  std::string source;
  HRESULT hr = self.GenericQuery("WAV:SOUR?", "%1024$C[^\n]", &source);
  if (FAILED(hr)) return hr;
  const bool serial = source == "SBUS1" || source == "SBUS2";
  const bool digital = source == "BUS1" || source == "BUS2";
  const char* token = nullptr;
  switch (val) {
    case KorvaneWaveformDataFormatWord: token = serial ? nullptr : "WORD"; break;
    case KorvaneWaveformDataFormatByte: token = serial || digital ? nullptr : "BYTE"; break;
    case KorvaneWaveformDataFormatAscii: token = "ASC"; break;
  }
  if (!token) return self.Reporter().InvalidValue("put_DataFormat", "val", static_cast<LONG>(val), "%d", nullptr);
  std::string command;
  hr = self.FormatCommand(&command, "WAV:FORM %s", token);
  return FAILED(hr) ? hr : self.GenericWrite(command);
}

HRESULT Impl_IKorvaneWaveform_get_Source(CKorvane& self, BSTR* val) {
  std::string source;
  HRESULT hr = self.GenericQuery(self.PendingCommand(), "%$C[^\n]", &source);
  if (FAILED(hr)) return hr;
  ReplaceAll(source, "CHAN", "Channel");
  BSTR text = Bstr(source).Detach();
  if (!text) text = SysAllocString(OLESTR(""));
  if (!text) return self.Reporter().OutOfMemory();
  SysFreeString(*val);
  *val = text;
  return S_OK;
}

HRESULT Impl_IKorvaneWaveform_put_Source(CKorvane& self, BSTR val) {
  std::string name = ToNarrow(val);
  if (!IsWaveformSource(self, name)) return self.Reporter().InvalidValue("put_Source", "val", val, nullptr);
  ReplaceAll(name, "Channel", "CHAN");
  ReplaceAll(name, "SerialBus", "SBUS");
  ReplaceAll(name, "Math", "FUNC");
  std::string command;
  HRESULT hr = self.FormatCommand(&command, ":WAV:SOUR %$Cs", &name);
  return FAILED(hr) ? hr : self.GenericWrite(command);
}

HRESULT Impl_IKorvaneWaveform_put_View(CKorvane& self, BSTR) { return self.GenericWrite(self.PendingCommand()); }

HRESULT Impl_IKorvaneWaveform_Preamble(CKorvane& self, SAFEARRAY** Val) {
  SafeArrayPtr fields;
  if (self.Simulate()) {
    fields = SafeArrayPtr(SafeArrayCreateVector(VT_R8, 0, 10));
    if (!fields) return self.Reporter().OutOfMemory();
    SafeArrayAccess<double> data(fields.get());
    if (!data.ok()) return data.hr();
    for (int k = 0; k < 10; ++k) data.data()[k] = 0.0;
  } else {
    HRESULT hr = self.GenericQuery(self.PendingCommand(), self.PendingResponse(), fields.Receive());
    if (FAILED(hr)) return hr;
  }
  ReplaceArray(Val, fields);
  return S_OK;
}

// ---- IKorvaneDigitalChannel ----

HRESULT Impl_IKorvaneDigitalChannel_FetchDigitalWaveform(CKorvaneDigitalChannel& self, SAFEARRAY** WaveformArray,
                                                         DOUBLE* InitialX, DOUBLE* XIncrement) {
  return FetchDigital(self, false, 0, WaveformArray, InitialX, XIncrement);
}

HRESULT Impl_IKorvaneDigitalChannel_ReadDigitalWaveform(CKorvaneDigitalChannel& self, LONG MaxTimeMilliseconds,
                                                        SAFEARRAY** WaveformArray, DOUBLE* InitialX,
                                                        DOUBLE* XIncrement) {
  return FetchDigital(self, true, MaxTimeMilliseconds, WaveformArray, InitialX, XIncrement);
}

}  // namespace korvane
