// The token and the Host and Origin checks.
#include "guard.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "system.h"

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

/// Dotted IPv4 text: four numbers of 0 to 255.
bool ipv4(const std::string &s) {
  int parts = 0, digits = 0, value = 0;
  for (const char c : s) {
    if (c == '.') {
      if (digits == 0 || ++parts > 3) return false;
      digits = value = 0;
    } else if (c >= '0' && c <= '9' && digits < 3) {
      value = value * 10 + (c - '0');
      ++digits;
      if (value > 255) return false;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

/// Bracketed IPv6 text as a Host header carries it: "[...]" of hex digits,
/// colons and dots.
bool ipv6_bracketed(const std::string &s) {
  return s.size() > 2 && s.front() == '[' && s.back() == ']' &&
         s.find_first_not_of("0123456789abcdefABCDEF:.", 1) == s.size() - 1 &&
         s.find(':') != std::string::npos;
}

/// The host a listen address is written as in a Host header.
std::string as_header_host(const std::string &host) {
  return host.find(':') != std::string::npos ? "[" + lower(host) + "]" : lower(host);
}

}  // namespace

std::string ui_new_token() {
  std::array<unsigned char, UI_TOKEN_HEX / 2> b{};
  if (!ui_random(b.data(), b.size())) return "";
  static const char hex[] = "0123456789abcdef";
  std::string t;
  for (const unsigned char c : b) {
    t += hex[c >> 4];
    t += hex[c & 15];
  }
  return t;
}

bool ui_token_ok(const std::string &given, const std::string &token) {
  if (token.empty() || given.size() != token.size()) return false;
  // Every byte is looked at, wherever the first difference is.
  unsigned char diff = 0;
  for (std::size_t i = 0; i < token.size(); ++i)
    diff = static_cast<unsigned char>(diff | (given[i] ^ token[i]));
  return diff == 0;
}

bool ui_loopback(const std::string &host) {
  return host == "::1" || host.rfind("127.", 0) == 0 || lower(host) == "localhost";
}

bool ui_host_ok(const std::string &header, const std::string &host, unsigned port) {
  const std::size_t colon = header.rfind(':');
  const std::size_t bracket = header.rfind(']');
  std::string name = header, given_port;
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    name = header.substr(0, colon);
    given_port = header.substr(colon + 1);
  }
  // A browser leaves out only the scheme's own port.
  if (given_port != std::to_string(port) && !(given_port.empty() && port == 80)) return false;
  name = lower(name);
  if (name == "localhost") return ui_loopback(host) || host == "0.0.0.0" || host == "::";
  if (host == "0.0.0.0" || host == "::") return ipv4(name) || ipv6_bracketed(name);
  return name == as_header_host(host);
}

bool ui_origin_ok(const std::string &origin, const std::string &host_header) {
  return origin.empty() || lower(origin) == "http://" + lower(host_header);
}
