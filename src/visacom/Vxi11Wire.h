// ONC RPC record marking, XDR and the VXI-11 program numbers: the wire format the client and
// the simulator's front end share. Header-only and free of COM so that both can use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::wire::vxi11 {

inline constexpr std::uint32_t kPortmapProgram = 100000, kPortmapVersion = 2;
inline constexpr std::uint32_t kPmapNull = 0, kPmapSet = 1, kPmapUnset = 2, kPmapGetPort = 3;
inline constexpr std::uint32_t kIpProtoTcp = 6;
inline constexpr std::uint16_t kPortmapPort = 111;

inline constexpr std::uint32_t kCoreProgram = 0x0607AF, kAbortProgram = 0x0607B0, kVersion = 1;
enum Proc : std::uint32_t {
  kCreateLink = 10,
  kDeviceWrite = 11,
  kDeviceRead = 12,
  kDeviceReadStb = 13,
  kDeviceTrigger = 14,
  kDeviceClear = 15,
  kDeviceRemote = 16,
  kDeviceLocal = 17,
  kDeviceLock = 18,
  kDeviceUnlock = 19,
  kDeviceEnableSrq = 20,
  kDestroyLink = 23,
  kCreateIntrChan = 25,
  kDestroyIntrChan = 26,
  kDeviceAbort = 1,
};
// The interrupt channel: the instrument calls the client's server with device_intr_srq.
inline constexpr std::uint32_t kInterruptProgram = 0x0607B1, kDeviceIntrSrq = 30;
inline constexpr std::uint32_t kFamilyTcp = 0;
inline constexpr std::size_t kMaxSrqHandle = 40;
inline constexpr std::uint32_t kFlagWaitLock = 0x01, kFlagEnd = 0x08, kFlagTermChrSet = 0x80;
inline constexpr std::uint32_t kReasonReqCnt = 1, kReasonChr = 2, kReasonEnd = 4;
enum Error : std::uint32_t {
  kErrNone = 0,
  kErrSyntax = 1,
  kErrNotAccessible = 3,
  kErrInvalidLink = 4,
  kErrParameter = 5,
  kErrNotSupported = 8,
  kErrOutOfResources = 9,
  kErrLocked = 11,
  kErrNoLock = 12,
  kErrIoTimeout = 15,
  kErrIo = 17,
  kErrAbort = 23,
  kErrNoChannel = 29,
};

// RPC message fields.
inline constexpr std::uint32_t kCall = 0, kReply = 1, kRpcVersion = 2;
inline constexpr std::uint32_t kMsgAccepted = 0, kMsgDenied = 1;
enum AcceptStat : std::uint32_t {
  kSuccess = 0,
  kProgUnavail = 1,
  kProgMismatch = 2,
  kProcUnavail = 3,
  kGarbageArgs = 4,
  kSystemErr = 5,
};
inline constexpr std::uint32_t kLastFragment = 0x80000000u;
// The call header after the record mark: xid, CALL, version, program, version, procedure and
// two empty AUTH_NONE blocks.
inline constexpr std::size_t kCallHeaderSize = 40;
// The accepted-reply header with an empty verifier: xid, REPLY, MSG_ACCEPTED, verf (2), stat.
inline constexpr std::size_t kReplyHeaderSize = 24;

inline std::uint32_t Get32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline void Set32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline std::size_t Pad4(std::size_t n) { return (4 - (n & 3)) & 3; }

// Builds one record: the mark is filled in by Finish().
class CXdrWriter {
 public:
  CXdrWriter() { bytes_.resize(4); }
  CXdrWriter& U32(std::uint32_t v) {
    std::size_t at = bytes_.size();
    bytes_.resize(at + 4);
    Set32(bytes_.data() + at, v);
    return *this;
  }
  CXdrWriter& Opaque(const void* data, std::size_t n) {
    U32(static_cast<std::uint32_t>(n));
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
    bytes_.resize(bytes_.size() + Pad4(n), 0);
    return *this;
  }
  CXdrWriter& String(std::string_view s) { return Opaque(s.data(), s.size()); }
  CXdrWriter& CallHeader(std::uint32_t xid, std::uint32_t prog, std::uint32_t vers, std::uint32_t proc) {
    return U32(xid).U32(kCall).U32(kRpcVersion).U32(prog).U32(vers).U32(proc).U32(0).U32(0).U32(0).U32(0);
  }
  CXdrWriter& ReplyHeader(std::uint32_t xid, std::uint32_t acceptStat) {
    return U32(xid).U32(kReply).U32(kMsgAccepted).U32(0).U32(0).U32(acceptStat);
  }
  std::size_t Size() const { return bytes_.size(); }
  // Marks the record as one last fragment, `extra` bytes (sent separately) included.
  std::vector<std::uint8_t>& Finish(std::size_t extra = 0) {
    Set32(bytes_.data(), kLastFragment | static_cast<std::uint32_t>(bytes_.size() - 4 + extra));
    return bytes_;
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads XDR fields from a received record; a read past the end sets Failed().
class CXdrReader {
 public:
  CXdrReader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
  std::uint32_t U32() {
    if (n_ - at_ < 4 || at_ > n_) {
      failed_ = true;
      at_ = n_;
      return 0;
    }
    std::uint32_t v = Get32(p_ + at_);
    at_ += 4;
    return v;
  }
  std::string_view Opaque(std::size_t max = SIZE_MAX) {
    std::size_t len = U32();
    if (failed_ || len > max || len > n_ - at_ || Pad4(len) > n_ - at_ - len) {
      failed_ = true;
      at_ = n_;
      return {};
    }
    std::string_view s(reinterpret_cast<const char*>(p_ + at_), len);
    at_ += len + Pad4(len);
    return s;
  }
  bool Failed() const { return failed_; }
  std::size_t Left() const { return n_ - at_; }
  std::size_t Offset() const { return at_; }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

}  // namespace korvane::wire::vxi11
