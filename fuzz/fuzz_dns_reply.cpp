// DNS-SD replies come from anyone on the network: the parser must refuse or read any datagram
// without crashing or looping, and what it reads must make sense (names within 255 bytes,
// TXT records within their limit). Inputs spell a zero byte as '~' so that the seeds can be
// C strings; every other byte stands for itself.
#include "visacom/Discovery.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  for (uint8_t& b : bytes)
    if (b == '~') b = 0;
  namespace dns = korvane::wire::dns;
  dns::Message m;
  std::string why;
  if (!dns::ParseMessage(bytes.data(), bytes.size(), m, why)) {
    if (why.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  std::size_t txt = 0;
  for (const dns::Record& r : m.records) {
    // A dotted name of at most 255 wire bytes is at most 254 characters.
    if (r.name.size() > 254 || r.target.size() > 254) std::abort();
    for (const std::string& s : r.txt) txt += s.size() + 1;
  }
  if (txt > dns::kMaxTxt * m.records.size()) std::abort();
  for (const char* type : {"_hislip._tcp.local", "_vxi-11._tcp.local", "_scpi-raw._tcp.local", "_lxi._tcp.local"})
    for (const auto& s : korvane::visacom::ServicesOf(m, type, 0x7F000001))
      if (!s.port) std::abort();  // an instance without an SRV port is not listed
  return 0;
}

// A reply with a PTR, SRV, TXT and A record for one HiSLIP instance, using name compression;
// a query; and a name that points to itself.
extern const char* const kFuzzSeeds[] = {
    "~\x01\x84~~~~\x04~~~~"
    "\x07_hislip\x04_tcp\x05local~~\x0c~\x01~~~\x78~\x04\x01"
    "a\xc0\x0c"
    "\xc0\x2a~\x21~\x01~~~\x78~\x0a~~~~\x13\x88\x01h\xc0\x19"
    "\xc0\x2a~\x10~\x01~~~\x78~\x06\x05"
    "a=b=c"
    "\x01h\xc0\x19~\x01~\x01~~~\x78~\x04\x7f~~\x02",
    "\x12\x34~~~\x01~~~~~~\x07_hislip\x04_tcp\x05local~~\x0c\x80\x01",
    "~\x01\x84~~~~\x01~~~~\xc0\x0c~\x01~\x01~~~\x01~\x04\x01\x02\x03\x04", nullptr};
