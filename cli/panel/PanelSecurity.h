// Who may talk to the panel: the checks every request and every WebSocket pass, kept apart from
// the server so their table can be tested without one.
#pragma once

#include <string>
#include <vector>

namespace korvane::panel {

// The Host header names the loopback address or localhost (with any port), or one of the
// addresses the panel was told to listen on: a page of another site reached through a DNS name
// that resolves to 127.0.0.1 sends its own name and is turned away.
bool HostAllowed(const std::string& host, const std::vector<std::string>& listenAddresses);
// The WebSocket's Origin is the panel's own page: http://<the Host header>.
bool OriginAllowed(const std::string& origin, const std::string& host);
// Compared in constant time.
bool TokenMatches(const std::string& given, const std::string& token);
// A random token of 48 hex digits.
std::string NewToken();
// The value of `key` in a query string ("a=1&token=x"), undecoded; empty when absent.
std::string QueryValue(const char* query, const std::string& key);
// The value of the cookie `name` in a Cookie header.
std::string CookieValue(const char* header, const std::string& name);
// Whether the address is in 127.0.0.0/8, ::1 or "localhost".
bool IsLoopback(const std::string& address);

}  // namespace korvane::panel
