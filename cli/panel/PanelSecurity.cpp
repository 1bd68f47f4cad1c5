#include "panel/PanelSecurity.h"

#include <cctype>
#include <cstring>
#include <random>

namespace korvane::panel {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1", "localhost" -> "localhost"; empty when the
// port is not a number.
std::string HostName(const std::string& host) {
  std::string name = host, port;
  if (!host.empty() && host[0] == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos) return "";
    name = host.substr(1, close - 1);
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return "";
      port = host.substr(close + 2);
    }
  } else if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
  }
  if (host.find(':') != std::string::npos && host[0] != '[' && port.empty()) return "";
  for (char c : port)
    if (!std::isdigit(static_cast<unsigned char>(c))) return "";
  if (port.size() > 5) return "";
  return Lower(name);
}

bool IsIpv4Loopback(const std::string& a) {
  if (a.compare(0, 4, "127.") != 0) return false;
  int parts = 0, digits = 0, value = 0;
  for (std::size_t k = 0; k <= a.size(); ++k) {
    if (k == a.size() || a[k] == '.') {
      if (digits == 0 || value > 255) return false;
      ++parts;
      digits = value = 0;
      continue;
    }
    if (!std::isdigit(static_cast<unsigned char>(a[k])) || ++digits > 3) return false;
    value = value * 10 + (a[k] - '0');
  }
  return parts == 4;
}

}  // namespace

bool IsLoopback(const std::string& address) {
  const std::string a = Lower(address);
  return a == "localhost" || a == "::1" || IsIpv4Loopback(a);
}

bool HostAllowed(const std::string& host, const std::vector<std::string>& listenAddresses) {
  const std::string name = HostName(host);
  if (name.empty()) return false;
  if (IsLoopback(name)) return true;
  for (const std::string& a : listenAddresses)
    if (Lower(a) == name && a != "0.0.0.0") return true;
  return false;
}

bool OriginAllowed(const std::string& origin, const std::string& host) {
  return !host.empty() && Lower(origin) == "http://" + Lower(host);
}

bool TokenMatches(const std::string& given, const std::string& token) {
  if (token.empty() || given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (std::size_t k = 0; k < token.size(); ++k) diff |= static_cast<unsigned char>(given[k] ^ token[k]);
  return diff == 0;
}

std::string NewToken() {
  std::random_device random;  // the system's entropy source (/dev/urandom)
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (int k = 0; k < 12; ++k) {
    const unsigned v = random();
    for (int n = 0; n < 4; ++n) out += digits[(v >> (4 * n)) & 0xF];
  }
  return out;
}

std::string QueryValue(const char* query, const std::string& key) {
  if (!query) return "";
  const std::string q = query;
  for (std::size_t b = 0; b <= q.size();) {
    std::size_t e = q.find('&', b);
    if (e == std::string::npos) e = q.size();
    const std::string part = q.substr(b, e - b);
    if (part.compare(0, key.size() + 1, key + "=") == 0) return part.substr(key.size() + 1);
    b = e + 1;
  }
  return "";
}

std::string CookieValue(const char* header, const std::string& name) {
  if (!header) return "";
  const std::string h = header;
  for (std::size_t b = 0; b < h.size();) {
    while (b < h.size() && h[b] == ' ') ++b;
    std::size_t e = h.find(';', b);
    if (e == std::string::npos) e = h.size();
    const std::string part = h.substr(b, e - b);
    if (part.compare(0, name.size() + 1, name + "=") == 0) return part.substr(name.size() + 1);
    b = e + 1;
  }
  return "";
}

}  // namespace korvane::panel
