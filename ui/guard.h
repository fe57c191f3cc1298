// What keeps the page's server to its user: the run's token, and the checks
// that refuse a request from another site or through another name. Pure
// functions of text, for the server and for tests.
#pragma once

#include <string>

/// The hex digits of a token: 128 bits from the system's random source.
constexpr std::size_t UI_TOKEN_HEX = 32;

/// A new token of UI_TOKEN_HEX lower-case hex digits; "" when the system
/// gives no random bytes.
std::string ui_new_token();
/// Whether given is token, compared in a time that does not depend on where
/// they differ; an empty token matches nothing.
bool ui_token_ok(const std::string &given, const std::string &token);
/// Whether a request's Host header names the server: host is the address it
/// listens on as given ("127.0.0.1", "::1", "0.0.0.0", "192.168.1.5"), port
/// its port. An address listened on takes itself, and a loopback address
/// also "localhost"; a wildcard address takes any address literal and
/// "localhost", but no other name: a name rebound to our address is another
/// site's.
bool ui_host_ok(const std::string &header, const std::string &host, unsigned port);
/// Whether an Origin header (empty: none came) is the server's own origin,
/// "http://" and the request's Host.
bool ui_origin_ok(const std::string &origin, const std::string &host_header);
/// Whether host is a loopback address: a request can come from this machine only.
bool ui_loopback(const std::string &host);
