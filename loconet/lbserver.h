// The LbServer text protocol: LocoNet messages as lines of hex over TCP. A
// client sends "SEND <hex>" for each message; the server sends "RECEIVE
// <hex>" for every message on the bus (the client's own included) and "SENT
// OK" or "SENT ERROR <reason>" for each SEND. Lines end in CR, LF or both;
// hex bytes are two digits, either case, separated by runs of spaces;
// unknown lines are ignored. Pure text functions, for the tool's transport
// and for a server alike.
#pragma once

#include <cstddef>
#include <string>

#include "loconet.h"

/// Longest line kept: "RECEIVE " and the longest message in hex, with room
/// for runs of spaces. Longer lines are dropped, never buffered whole.
constexpr std::size_t LB_LINE_MAX = 1024;

/// What a line from a server says.
enum lb_kind : int {
  LB_OTHER,       ///< VERSION, later protocol versions' lines, anything unknown or malformed
  LB_RECEIVE,     ///< a bus message, exactly one good message
  LB_SENT_OK,     ///< the last SEND went onto the bus
  LB_SENT_ERROR,  ///< the last SEND did not
};

/// Reads one server line (without its line end). For LB_RECEIVE fills *m; a
/// RECEIVE line that is not exactly one good message is LB_OTHER, dropped whole.
int lb_parse_server_line(const char *line, std::size_t n, ln_msg_t *m);
/// Reads one client line (without its line end): null and *m filled for a
/// SEND of one good message; "" for a line that is no SEND; else the reason a
/// server gives in its SENT ERROR.
const char *lb_parse_send(const char *line, std::size_t n, ln_msg_t *m);
/// "<word> XX XX ... XX" and eol: word SEND or RECEIVE, the bytes of m in
/// upper-case hex, or lower-case when lower.
std::string lb_format(const char *word, const ln_msg_t *m, bool lower = false,
                      const char *eol = "\r\n");

/// Cuts a byte stream into lines: CR, LF or both end a line, empty lines are
/// skipped, a line longer than LB_LINE_MAX is dropped without being kept.
struct lb_lines_t {
  char buf[LB_LINE_MAX];
  std::size_t len;  ///< bytes of the line so far
  bool overlong;    ///< the line outgrew buf: dropped up to its end
};
/// Feeds n bytes; calls on_line(arg, line, length) for each complete line.
void lb_lines_feed(lb_lines_t *l, const char *data, std::size_t n,
                   void (*on_line)(void *arg, const char *line, std::size_t len), void *arg);
