// Portmapper replies to the VXI-11 finder's broadcast come from anyone on the network. The
// first four bytes are taken as the call's transaction id, so that most inputs get past the
// id check to the fields behind it. Inputs spell a zero byte as '~' (the seeds are C strings).
#include "visacom/Discovery.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  for (uint8_t& b : bytes)
    if (b == '~') b = 0;
  const uint32_t xid = bytes.size() >= 4
                           ? (uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3])
                           : 0;
  uint16_t port = 1;
  std::string why;
  const bool ok = korvane::visacom::ParsePortmapReply(bytes.data(), bytes.size(), xid, port, why);
  if (ok && bytes.size() < 28) std::abort();  // no reply shorter than its fixed fields is read
  if (!ok && (why.empty() || port != 0)) std::abort();
  return 0;
}

// A reply giving port 1024; one with an 8-byte verifier; one refused (PROG_UNAVAIL).
extern const char* const kFuzzSeeds[] = {
    "\x01\x02\x03\x04~~~\x01~~~~~~~~~~~~~~~~~~\x04~",
    "\x01\x02\x03\x04~~~\x01~~~~~~~~~~~\x08\x01\x01\x01\x01\x01\x01\x01\x01~~~~~~\x04~",
    "\x01\x02\x03\x04~~~\x01~~~~~~~~~~~~~~~\x01~~\x04~", nullptr};
