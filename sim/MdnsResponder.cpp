#include "MdnsResponder.h"

#include <arpa/inet.h>

#include "visacom/DnsWire.h"

namespace korvane::sim {

namespace dns = korvane::wire::dns;

namespace {
constexpr uint32_t kTtl = 120;
constexpr char kAllServices[] = "_services._dns-sd._udp.local";
}  // namespace

CMdnsResponder::CMdnsResponder(const std::string& bind, uint16_t port, std::string name,
                               std::vector<AnnouncedService> services)
    : name_(std::move(name)), services_(std::move(services)) {
  // A label of its own: no dots; the host name also without spaces.
  for (char& c : name_)
    if (c == '.') c = '-';
  host_ = name_;
  for (char& c : host_)
    if (c == ' ') c = '-';
  host_ += ".local";
  in_addr a{};
  inet_pton(AF_INET, bind.c_str(), &a);
  address_ = ntohl(a.s_addr);
  udp_ = std::make_unique<CUdpResponder>(bind, port, false, [this](const uint8_t* p, size_t n, const sockaddr_in&) {
    return answer(p, n);
  });
}

std::vector<uint8_t> CMdnsResponder::answer(const uint8_t* p, size_t n) const {
  dns::Message q;
  std::string why;
  if (!dns::ParseMessage(p, n, q, why) || (q.flags & dns::kFlagResponse)) return {};
  dns::CWriter r(q.id, dns::kFlagResponse | dns::kFlagAuthoritative);
  bool any = false, host = false;
  for (const dns::Question& question : q.questions) {
    if ((question.cls & 0x7FFF) != dns::kClassIn || question.type != dns::kTypePtr) continue;
    for (const AnnouncedService& s : services_) {
      const std::string type = s.type + ".local";
      if (dns::SameName(question.name, kAllServices)) {
        r.Ptr(kAllServices, type, kTtl);
        any = true;
        continue;
      }
      if (!dns::SameName(question.name, type)) continue;
      const std::string instance = name_ + "." + type;
      r.Ptr(type, instance, kTtl).Srv(instance, host_, s.port, kTtl).Txt(instance, s.txt, kTtl);
      any = host = true;
    }
  }
  if (host && address_) r.A(host_, address_, kTtl);
  return any ? r.Bytes() : std::vector<uint8_t>{};
}

}  // namespace korvane::sim
