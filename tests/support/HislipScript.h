// Scripted HiSLIP instruments for tests: message framing and the opening handshake of both
// channels, after which the test's own scripts take over.
#pragma once

#include "visacom/HislipWire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ScriptedServer.h"

namespace korvane::visacom::testing {

namespace h = korvane::wire::hislip;

struct Msg {
  h::Header head;
  std::string payload;
  bool ok = false;
};

inline Msg Recv(Peer& p) {
  Msg m;
  std::string head = p.Recv(h::kHeaderSize);
  if (head.size() != h::kHeaderSize || !h::Decode(reinterpret_cast<const std::uint8_t*>(head.data()), m.head))
    return m;
  m.payload = p.Recv(static_cast<std::size_t>(m.head.length));
  m.ok = true;
  return m;
}

inline std::string Bytes(std::uint8_t type, std::uint8_t control, std::uint32_t param,
                         const std::string& payload = {}) {
  std::string s(h::kHeaderSize, '\0');
  h::Encode({type, control, param, payload.size()}, reinterpret_cast<std::uint8_t*>(s.data()));
  return s + payload;
}

inline constexpr std::uint16_t kSession = 42;

// The two channels of a session whose server accepts 24-byte messages (8 bytes of payload).
// `prefer` is InitializeResponse's control code: 1 asks for overlapped mode.
inline std::vector<ScriptedServer::Script> HislipSession(std::function<void(Peer&)> sync,
                                                         std::function<void(Peer&)> async = {},
                                                         std::uint8_t prefer = 0) {
  return {[sync, prefer](Peer& p) {
            Msg m = Recv(p);
            EXPECT_EQ(m.head.type, h::kInitialize);
            EXPECT_EQ(m.head.param >> 16, h::kVersion10);
            EXPECT_EQ(m.payload, "hislip0");
            p.Send(Bytes(h::kInitializeResponse, prefer, (std::uint32_t{h::kVersion10} << 16) | kSession));
            if (sync) sync(p);
          },
          [async](Peer& p) {
            Msg m = Recv(p);
            EXPECT_EQ(m.head.type, h::kAsyncInitialize);
            EXPECT_EQ(m.head.param, kSession);
            p.Send(Bytes(h::kAsyncInitializeResponse, 0, 0x4B56));
            m = Recv(p);
            EXPECT_EQ(m.head.type, h::kAsyncMaximumMessageSize);
            EXPECT_EQ(m.payload.size(), 8u);
            p.Send(Bytes(h::kAsyncMaximumMessageSizeResponse, 0, 0, std::string("\0\0\0\0\0\0\0\x18", 8)));
            if (async) async(p);
          }};
}

}  // namespace korvane::visacom::testing
