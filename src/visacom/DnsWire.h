// DNS messages as DNS-SD speaks them (RFC 1035 framing, RFC 6763 records): the queries the
// finder sends and the simulator's responder answers. Header-only and free of COM, shared by
// both. The parser reads untrusted datagrams: every length is checked against the message, a
// compressed name may only point backwards and at most kMaxHops times, and a name longer than
// 255 bytes, a record count beyond the limits or a TXT record beyond kMaxTxt rejects the reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::wire::dns {

inline constexpr std::uint16_t kTypeA = 1, kTypePtr = 12, kTypeTxt = 16, kTypeSrv = 33;
inline constexpr std::uint16_t kClassIn = 1;
inline constexpr std::uint16_t kUnicastResponse = 0x8000;  // question class bit: answer to the sender
inline constexpr std::uint16_t kFlagResponse = 0x8000, kFlagAuthoritative = 0x0400;
inline constexpr std::uint16_t kMdnsPort = 5353;
inline constexpr std::size_t kMaxName = 255, kMaxHops = 32, kMaxRecords = 256, kMaxTxt = 2048;
inline constexpr std::size_t kMaxMessage = 9000;  // the mDNS ceiling on a datagram

struct Question {
  std::string name;
  std::uint16_t type = 0, cls = 0;
};

struct Record {
  std::string name;
  std::uint16_t type = 0, cls = 0;
  std::uint32_t ttl = 0;
  std::string target;            // PTR: the instance; SRV: the host
  std::uint16_t port = 0;        // SRV
  std::vector<std::string> txt;  // TXT: its strings
  std::uint32_t ipv4 = 0;        // A, host order
};

struct Message {
  std::uint16_t id = 0, flags = 0;
  std::vector<Question> questions;
  std::vector<Record> records;  // answers, authority and additional records together
};

// Names compare without regard to ASCII case.
inline bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

class CReader {
 public:
  CReader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}

  bool Parse(Message& m, std::string& why) {
    if (n_ < 12) return Fail(why, "shorter than a DNS header");
    if (n_ > kMaxMessage) return Fail(why, "longer than a DNS-SD datagram may be");
    m.id = U16(0);
    m.flags = U16(2);
    const std::size_t qd = U16(4), an = U16(6), ns = U16(8), ar = U16(10);
    if (qd > kMaxRecords || an + ns + ar > kMaxRecords) return Fail(why, "more records than a reply may carry");
    at_ = 12;
    for (std::size_t i = 0; i < qd; ++i) {
      Question q;
      if (!Name(at_, q.name, why)) return false;
      if (n_ - at_ < 4) return Fail(why, "a question cut short");
      q.type = U16(at_);
      q.cls = U16(at_ + 2);
      at_ += 4;
      m.questions.push_back(std::move(q));
    }
    for (std::size_t i = 0; i < an + ns + ar; ++i) {
      Record r;
      if (!Name(at_, r.name, why)) return false;
      if (n_ - at_ < 10) return Fail(why, "a record header cut short");
      r.type = U16(at_);
      r.cls = U16(at_ + 2);
      r.ttl = static_cast<std::uint32_t>(U16(at_ + 4)) << 16 | U16(at_ + 6);
      const std::size_t len = U16(at_ + 8);
      at_ += 10;
      if (n_ - at_ < len) return Fail(why, "a record's data runs past the message");
      const std::size_t end = at_ + len;
      switch (r.type) {
        case kTypePtr: {
          std::size_t q = at_;
          if (!Name(q, r.target, why)) return false;
          if (q > end) return Fail(why, "a PTR name runs past its record");
          break;
        }
        case kTypeSrv: {
          if (len < 7) return Fail(why, "an SRV record too short");
          r.port = U16(at_ + 4);
          std::size_t q = at_ + 6;
          if (!Name(q, r.target, why)) return false;
          if (q > end) return Fail(why, "an SRV name runs past its record");
          break;
        }
        case kTypeTxt: {
          if (len > kMaxTxt) return Fail(why, "a TXT record of " + std::to_string(len) + " bytes");
          for (std::size_t q = at_; q < end;) {
            const std::size_t l = p_[q++];
            if (end - q < l) return Fail(why, "a TXT string runs past its record");
            r.txt.emplace_back(reinterpret_cast<const char*>(p_ + q), l);
            q += l;
          }
          break;
        }
        case kTypeA:
          if (len != 4) return Fail(why, "an A record not of 4 bytes");
          r.ipv4 = static_cast<std::uint32_t>(U16(at_)) << 16 | U16(at_ + 2);
          break;
        default: break;  // kept with its name and type only
      }
      at_ = end;
      m.records.push_back(std::move(r));
    }
    return true;
  }

 private:
  bool Fail(std::string& why, const std::string& what) {
    why = what;
    return false;
  }
  std::uint16_t U16(std::size_t at) const { return static_cast<std::uint16_t>(p_[at] << 8 | p_[at + 1]); }

  // Reads the name at `at`; `at` moves past it (past the first pointer of a compressed name).
  bool Name(std::size_t& at, std::string& out, std::string& why) {
    std::size_t q = at, hops = 0, length = 0;
    bool jumped = false;
    out.clear();
    while (true) {
      if (q >= n_) return Fail(why, "a name runs past the message");
      const std::size_t l = p_[q];
      if ((l & 0xC0) == 0xC0) {
        if (q + 1 >= n_) return Fail(why, "a name pointer cut short");
        const std::size_t target = (l & 0x3F) << 8 | p_[q + 1];
        // Only backwards, and only a few times: a pointer loop ends here.
        if (target >= q || ++hops > kMaxHops) return Fail(why, "a name compression loop");
        if (!jumped) at = q + 2;
        jumped = true;
        q = target;
        continue;
      }
      if (l & 0xC0) return Fail(why, "a name label of an unknown kind");
      if (l == 0) {
        if (!jumped) at = q + 1;
        return true;
      }
      if (n_ - q - 1 < l) return Fail(why, "a name label runs past the message");
      length += l + 1;
      if (length > kMaxName) return Fail(why, "a name longer than 255 bytes");
      if (!out.empty()) out += '.';
      out.append(reinterpret_cast<const char*>(p_ + q + 1), l);
      q += l + 1;
    }
  }

  const std::uint8_t* p_;
  std::size_t n_, at_ = 0;
};

inline bool ParseMessage(const std::uint8_t* p, std::size_t n, Message& m, std::string& why) {
  return CReader(p, n).Parse(m, why);
}

// Writes messages without compression: ours are small.
class CWriter {
 public:
  CWriter(std::uint16_t id, std::uint16_t flags) { U16(id).U16(flags).U16(0).U16(0).U16(0).U16(0); }
  CWriter& Question(std::string_view name, std::uint16_t type, std::uint16_t cls) {
    Name(name).U16(type).U16(cls);
    Count(4);
    return *this;
  }
  CWriter& Ptr(std::string_view name, std::string_view target, std::uint32_t ttl) {
    const std::size_t at = Header(name, kTypePtr, ttl);
    Name(target);
    return Length(at);
  }
  CWriter& Srv(std::string_view name, std::string_view host, std::uint16_t port, std::uint32_t ttl) {
    const std::size_t at = Header(name, kTypeSrv, ttl);
    U16(0).U16(0).U16(port).Name(host);
    return Length(at);
  }
  // Strings over 255 bytes are cut to 255: the format cannot carry more in one.
  CWriter& Txt(std::string_view name, const std::vector<std::string>& strings, std::uint32_t ttl) {
    const std::size_t at = Header(name, kTypeTxt, ttl);
    for (const std::string& s : strings) {
      const std::size_t l = s.size() > 255 ? 255 : s.size();
      bytes_.push_back(static_cast<std::uint8_t>(l));
      bytes_.insert(bytes_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(l));
    }
    if (strings.empty()) bytes_.push_back(0);
    return Length(at);
  }
  CWriter& A(std::string_view name, std::uint32_t ipv4, std::uint32_t ttl) {
    const std::size_t at = Header(name, kTypeA, ttl);
    U16(static_cast<std::uint16_t>(ipv4 >> 16)).U16(static_cast<std::uint16_t>(ipv4));
    return Length(at);
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  CWriter& U16(std::uint16_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  // Labels of over 63 bytes are cut to 63.
  CWriter& Name(std::string_view name) {
    while (!name.empty()) {
      const std::size_t dot = name.find('.');
      std::string_view label = name.substr(0, dot);
      if (label.size() > 63) label = label.substr(0, 63);
      bytes_.push_back(static_cast<std::uint8_t>(label.size()));
      bytes_.insert(bytes_.end(), label.begin(), label.end());
      name = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
    }
    bytes_.push_back(0);
    return *this;
  }
  // The record header up to its data length; returns where the length goes.
  std::size_t Header(std::string_view name, std::uint16_t type, std::uint32_t ttl) {
    Name(name).U16(type).U16(kClassIn).U16(static_cast<std::uint16_t>(ttl >> 16)).U16(static_cast<std::uint16_t>(ttl));
    const std::size_t at = bytes_.size();
    U16(0);
    Count(6);
    return at;
  }
  CWriter& Length(std::size_t at) {
    const std::size_t len = bytes_.size() - at - 2;
    bytes_[at] = static_cast<std::uint8_t>(len >> 8);
    bytes_[at + 1] = static_cast<std::uint8_t>(len);
    return *this;
  }
  void Count(std::size_t field) {
    const std::uint16_t v = static_cast<std::uint16_t>((bytes_[field] << 8 | bytes_[field + 1]) + 1);
    bytes_[field] = static_cast<std::uint8_t>(v >> 8);
    bytes_[field + 1] = static_cast<std::uint8_t>(v);
  }
  std::vector<std::uint8_t> bytes_;
};

}  // namespace korvane::wire::dns
