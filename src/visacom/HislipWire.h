// HiSLIP message header and message types: the wire format the client and the simulator's
// front end share. Header-only and free of COM so that both can use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::wire::hislip {

inline constexpr std::uint16_t kDefaultPort = 4880;
inline constexpr std::size_t kHeaderSize = 16;
// Protocol version 1.0 as carried in Initialize: major in the high byte.
inline constexpr std::uint16_t kVersion10 = 0x0100;
inline constexpr std::uint32_t kFirstMessageId = 0xFFFFFF00u;
inline constexpr std::uint32_t kUnknownMessageId = 0xFFFFFFFFu;

enum Type : std::uint8_t {
  kInitialize = 0,
  kInitializeResponse = 1,
  kFatalError = 2,
  kError = 3,
  kAsyncLock = 4,
  kAsyncLockResponse = 5,
  kData = 6,
  kDataEnd = 7,
  kDeviceClearComplete = 8,
  kDeviceClearAcknowledge = 9,
  kAsyncRemoteLocalControl = 10,
  kAsyncRemoteLocalResponse = 11,
  kTrigger = 12,
  kInterrupted = 13,
  kAsyncInterrupted = 14,
  kAsyncMaximumMessageSize = 15,
  kAsyncMaximumMessageSizeResponse = 16,
  kAsyncInitialize = 17,
  kAsyncInitializeResponse = 18,
  kAsyncDeviceClear = 19,
  kAsyncServiceRequest = 20,
  kAsyncStatusQuery = 21,
  kAsyncStatusResponse = 22,
  kAsyncDeviceClearAcknowledge = 23,
  kAsyncLockInfo = 24,
  kAsyncLockInfoResponse = 25,
};
inline constexpr std::uint8_t kLastKnownType = kAsyncLockInfoResponse;

// Codes of Error and FatalError.
enum FatalCode : std::uint8_t {
  kFatalUnidentified = 0,
  kFatalBadHeader = 1,
  kFatalNoChannels = 2,
  kFatalBadInit = 3,
  kFatalTooManyClients = 4,
};
enum ErrorCode : std::uint8_t {
  kErrUnidentified = 0,
  kErrUnknownType = 1,
  kErrUnknownControl = 2,
  kErrUnknownVendor = 3,
  kErrTooLarge = 4,
};

struct Header {
  std::uint8_t type = 0;
  std::uint8_t control = 0;
  std::uint32_t param = 0;
  std::uint64_t length = 0;
};

inline void Encode(const Header& h, std::uint8_t* out) {
  out[0] = 'H';
  out[1] = 'S';
  out[2] = h.type;
  out[3] = h.control;
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<std::uint8_t>(h.param >> (24 - 8 * i));
  for (int i = 0; i < 8; ++i) out[8 + i] = static_cast<std::uint8_t>(h.length >> (56 - 8 * i));
}

// False when the prologue is not "HS".
inline bool Decode(const std::uint8_t* in, Header& h) {
  if (in[0] != 'H' || in[1] != 'S') return false;
  h.type = in[2];
  h.control = in[3];
  h.param = 0;
  for (int i = 0; i < 4; ++i) h.param = (h.param << 8) | in[4 + i];
  h.length = 0;
  for (int i = 0; i < 8; ++i) h.length = (h.length << 8) | in[8 + i];
  return true;
}

}  // namespace korvane::wire::hislip
