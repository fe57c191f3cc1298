// lnsim's TCP servers seen from plain sockets: the LbServer's lines and
// their order, its field switches on the wire, raw clients framed one by one,
// all on one bus with the pty; the Z21 side's datagrams; and the real sens
// over both TCP kinds.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <linux/tcp.h>  // tcpi_data_segs_in, newer than glibc's struct tcp_info
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "ln_rig.h"
#include "lnsim.h"
#include "proc.h"
#include "prog.h"
#include "sim_rig.h"
#include "tmp.h"
#include "z21.h"

namespace {

using clk = std::chrono::steady_clock;

const bytes SENSOR = sealed({0xB2, 0x1A, 0x5C});  // hex letters for the case switches

bytes select_req(u16 addr) {
  ln_msg_t m{};
  const ln_prog_t v{1235, 0, addr, 0x80, 0x21};
  prog_encode(&m, &v, 0xED);
  return sealed(bytes(m.msg, m.msg + 14));
}
/// Module addr's answer to its select.
bytes select_reply(u16 addr) { return reply_bytes(1235, 0, addr); }
bytes operator+(bytes a, const bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string raw(const bytes &b) { return {b.begin(), b.end()}; }
std::string line(const std::string &word, const bytes &b, const char *eol = "\r\n") {
  return word + " " + hex(b) + eol;
}

/// A TCP client of lnsim on 127.0.0.1: all it received so far is in got.
struct peer {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string got;
  bool closed = false;  // the server ended the stream

  explicit peer(unsigned port, int rcvbuf = 0) {
    if (rcvbuf != 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u16>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
  }
  ~peer() { close(fd); }
  void put(const std::string &s) {
    EXPECT_EQ(send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
  }
  /// Reads until got holds want, the stream ends or ms pass; whether it holds it.
  bool wait(const std::string &want, int ms = 5000) {
    const auto end = clk::now() + std::chrono::milliseconds(ms);
    while (got.find(want) == std::string::npos && !closed && clk::now() < end) {
      struct pollfd p = {fd, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clk::now());
      if (poll(&p, 1, static_cast<int>(left.count()) + 1) != 1) continue;
      char buf[65536];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) closed = true;
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got.find(want) != std::string::npos;
  }
  /// Waits for the greeting and forgets it.
  void skip_version() {
    EXPECT_TRUE(wait("\n"));
    EXPECT_EQ(got.rfind("VERSION ", 0), 0u) << got;
    got.erase(0, got.find('\n') + 1);
  }
  unsigned data_segments() const {
    struct tcp_info i = {};
    socklen_t len = sizeof i;
    getsockopt(fd, IPPROTO_TCP, TCP_INFO, &i, &len);
    return i.tcpi_data_segs_in;
  }
};

/// A Z21 LAN client on 127.0.0.1.
struct z21_peer {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in to = {};

  explicit z21_peer(unsigned port) {
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u16>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~z21_peer() { close(fd); }
  void put(const bytes &d) {
    EXPECT_EQ(
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to),
        static_cast<ssize_t>(d.size()));
  }
  /// The next datagram within ms (scaled); empty when none came.
  bytes next(int ms = 5000) {
    struct pollfd p = {fd, POLLIN, 0};
    u8 buf[2048];
    const ssize_t n = poll(&p, 1, rig_scaled_ms(ms)) == 1 ? recv(fd, buf, sizeof buf, 0) : 0;
    return bytes(buf, buf + std::max<ssize_t>(n, 0));
  }
  /// The datagrams' bytes up to the first that ends in tail, or all within 5 s.
  bytes upto(const bytes &tail) {
    bytes all;
    for (bytes d; !(d = next()).empty();) {
      all = all + d;
      if (d.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), d.rbegin())) break;
    }
    return all;
  }
};

bytes rec(u16 header, const bytes &data = {}) {
  bytes r;
  z21_put(&r, header, data.data(), data.size());
  return r;
}
const bytes SUBSCRIBE = rec(0x50, {0, 0, 0, 1}), FLAGS_ON = rec(0x51, {0, 0, 0, 1});

/// An lnsim with both servers and the Z21 side on free ports, modules 1 and 2
/// answering at once.
struct net_sim {
  lnsim *s = nullptr;
  unsigned lb = 0, tcp = 0, z21 = 0;
  explicit net_sim(sim_opts o = {}, bool modules = true) {
    o.lbserver = o.tcp = o.z21 = "0";
    o.turnaround_us = 0;
    o.modules = modules ? std::vector<u16>{1, 2} : std::vector<u16>{};
    std::string err;
    s = lnsim_start(&o, &err);
    EXPECT_NE(s, nullptr) << err;
    if (s != nullptr) lb = lnsim_lbserver_port(s), tcp = lnsim_tcp_port(s), z21 = lnsim_z21_port(s);
  }
  ~net_sim() {
    if (s != nullptr) lnsim_stop(s);
  }
};

TEST(SimLbServer, EchoThenSentOkToEveryClientOfTheOneBus) {
  net_sim n;
  peer a(n.lb), b(n.lb), r(n.tcp);
  const int pty = open(lnsim_path(n.s), O_RDWR | O_NOCTTY | O_CLOEXEC);
  a.skip_version();
  b.skip_version();
  a.put("HELLO\r\nSEND " + hex(select_req(1)) + "\r\n");
  const std::string rx = line("RECEIVE", select_req(1)) + line("RECEIVE", select_reply(1));
  EXPECT_TRUE(a.wait(line("RECEIVE", select_reply(1))));
  EXPECT_EQ(a.got,
            line("RECEIVE", select_req(1)) + "SENT OK\r\n" + line("RECEIVE", select_reply(1)));
  EXPECT_TRUE(b.wait(rx)) << b.got;
  EXPECT_TRUE(r.wait(raw(select_req(1)) + raw(select_reply(1))));
  EXPECT_EQ(rig_read_n(pty, 30, 5000), select_req(1) + select_reply(1));
  close(pty);
  // Refusals come at once, and nothing of them reaches the bus.
  a.got.clear();
  a.put("SEND 8G 00\r\nSEND 81\nSEND B2 00\rSEND " + hex(SENSOR) + "\r\n");
  EXPECT_TRUE(a.wait("SENT OK\r\n"));
  EXPECT_EQ(a.got,
            "SENT ERROR Invalid hex coding\r\nSENT ERROR message too short\r\n"
            "SENT ERROR message length is inconsistent\r\n" +
                line("RECEIVE", SENSOR) + "SENT OK\r\n");
  EXPECT_EQ(lnsim_host_msgs(n.s), (std::vector<bytes>{select_req(1), SENSOR}));
}

// Without an echo a SEND ends in a time-out after a second, and a second
// client's SEND waits for it: the modules' replies show when each went out.
TEST(SimLbServer, OneSendAtATimeAndTimeOutWithoutEcho) {
  for (bool no_error : {false, true}) {
    sim_opts o;
    o.echo = false;
    o.lb_no_error = no_error;
    net_sim n(o);
    peer a(n.lb), b(n.lb);
    a.skip_version();
    const std::string reply = line("RECEIVE", select_reply(1));
    const auto t0 = clk::now();
    a.put("SEND " + hex(select_req(1)) + "\r\n");
    ASSERT_TRUE(a.wait(reply));
    b.put("SEND " + hex(select_req(1)) + "\r\n");
    ASSERT_TRUE(
        a.wait(reply + (no_error ? "" : "SENT ERROR timed out waiting for echo\r\n") + reply));
    EXPECT_GE(clk::now() - t0, std::chrono::milliseconds(950)) << no_error;
  }
}

// Every SEND goes onto the bus at once; only the echo of a client's last
// SEND is answered, never with an error, and without an echo nothing is.
TEST(SimLbServer, JmriAnswersOnlyTheEchoOfTheLastSend) {
  for (bool echo : {true, false}) {
    sim_opts o;
    o.lb_jmri = true;
    o.echo = echo;
    net_sim n(o);
    peer a(n.lb);
    ASSERT_TRUE(a.wait("VERSION JMRI Server "));
    a.got.clear();
    a.put("SEND 8G 00\r\nSEND " + hex(select_req(1)) + "\r\nSEND " + hex(select_req(2)) + "\r\n");
    EXPECT_TRUE(a.wait(line("RECEIVE", select_reply(1))) &&
                a.wait(line("RECEIVE", select_reply(2))));
    EXPECT_TRUE(!echo || a.wait(line("RECEIVE", select_req(2)) + "SENT OK\r\n")) << a.got;
    std::size_t sent = 0;
    for (std::size_t at = 0; (at = a.got.find("SENT", at)) != std::string::npos; ++at) ++sent;
    EXPECT_EQ(sent, echo ? 1u : 0u) << a.got;
  }
}

TEST(SimLbServer, FieldSwitchesOnTheWire) {
  struct variant {
    void (*set)(sim_opts *);
    std::string version_end, exchange;  // what follows the SEND of SENSOR
  };
  const std::string rx = line("RECEIVE", SENSOR);
  const variant variants[] = {
      {[](sim_opts *) {}, "\r\n", rx + "SENT OK\r\n"},
      {[](sim_opts *o) { o->lb_lf = true; }, "\n", line("RECEIVE", SENSOR, "\n") + "SENT OK\n"},
      {[](sim_opts *o) { o->lb_lower = true; }, "\r\n", "RECEIVE b2 1a 5c 0b\r\nSENT OK\r\n"},
      {[](sim_opts *o) { o->lb_sent_hex = true; }, "\r\n", rx + line("SENT OK", SENSOR)},
      {[](sim_opts *o) { o->lb_split = true; }, "\r\n", rx + "SENT OK\r\n"},
      {[](sim_opts *o) { o->lb_no_version = true; }, "", rx + "SENT OK\r\n"},
  };
  for (const variant &v : variants) {
    sim_opts o;
    v.set(&o);
    net_sim n(o, false);
    peer a(n.lb);
    if (!v.version_end.empty()) {
      ASSERT_TRUE(a.wait("VERSION lnsim LbServer" + v.version_end));
    }
    const unsigned segs = a.data_segments();
    a.got.clear();
    a.put("SEND " + hex(SENSOR) + "\r\n");
    EXPECT_TRUE(a.wait(v.exchange)) << v.exchange;
    EXPECT_EQ(a.got, v.exchange);
    // In one write, or the line and its end in writes of their own, which
    // Nagle's algorithm cannot all merge: the first one leaves at once.
    if (o.lb_split)
      EXPECT_GE(a.data_segments() - segs, 2u);
    else
      EXPECT_EQ(a.data_segments() - segs, 1u);
  }
}

TEST(SimLbServer, EarlyEchoComesBeforeTheBusAndOnlyOnce) {
  for (bool echo : {true, false}) {
    sim_opts o;
    o.lb_early_echo = true;
    o.echo = echo;
    net_sim n(o);
    peer a(n.lb), b(n.lb);
    a.skip_version();
    b.skip_version();
    a.put("SEND " + hex(select_req(1)) + "\r\n");
    const std::string reply = line("RECEIVE", select_reply(1));
    ASSERT_TRUE(a.wait(reply));
    EXPECT_EQ(a.got, line("RECEIVE", select_req(1)) + "SENT OK\r\n" + reply);
    ASSERT_TRUE(b.wait(reply));
    EXPECT_EQ(b.got, (echo ? line("RECEIVE", select_req(1)) : "") + reply);
  }
}

TEST(SimLbServer, RefusesAShareOfSendsReproduciblyAndKeepsThemOffTheBus) {
  auto run = [] {
    sim_opts o;
    o.lb_error = 0.5;
    o.seed = 3;
    net_sim n(o, false);
    peer a(n.lb);
    a.skip_version();
    std::string pattern;
    for (int i = 0; i < 40; ++i) {
      a.got.clear();
      a.put("SEND " + hex(SENSOR) + "\r\n");
      EXPECT_TRUE(a.wait("SENT"));  // each answer is one write: it comes whole
      if (a.got == "SENT ERROR transmission failed\r\n") pattern += 'E';
      if (a.got == line("RECEIVE", SENSOR) + "SENT OK\r\n") pattern += 'o';
    }
    EXPECT_EQ(pattern.size(), 40u) << pattern;
    EXPECT_EQ(lnsim_host_msgs(n.s).size(),
              static_cast<std::size_t>(std::count(pattern.begin(), pattern.end(), 'o')));
    return pattern;
  };
  const std::string first = run();
  EXPECT_EQ(run(), first);
  EXPECT_GT(std::count(first.begin(), first.end(), 'E'), 8);
  EXPECT_LT(std::count(first.begin(), first.end(), 'E'), 32);
}

TEST(SimLbServer, DropsTheConnectionAfterNReceives) {
  sim_opts o;
  o.lb_drop = 2;
  net_sim n(o, false);
  peer a(n.lb), r(n.tcp);
  a.skip_version();
  const bytes m[] = {sealed({0xB2, 1, 0}), sealed({0xB2, 2, 0}), sealed({0xB2, 3, 0})};
  a.put("SEND " + hex(m[0]) + "\r\nSEND " + hex(m[1]) + "\r\nSEND " + hex(m[2]) + "\r\n");
  EXPECT_FALSE(a.wait("never", 5000));
  EXPECT_TRUE(a.closed);
  EXPECT_EQ(a.got, line("RECEIVE", m[0]) + "SENT OK\r\n" + line("RECEIVE", m[1]));
  EXPECT_TRUE(r.wait(raw(m[0]) + raw(m[1])));
  peer c(n.lb);
  c.skip_version();
  c.put("SEND " + hex(m[2]) + "\r\n");
  EXPECT_TRUE(c.wait(line("RECEIVE", m[2]) + "SENT OK\r\n"));
}

// Each raw client is framed on its own, as the pty is; clients that leave in
// the middle of a message or of a SEND disturb nobody.
TEST(SimTcp, FramesEveryClientAloneAndSurvivesClientsThatLeave) {
  net_sim n;
  peer r1(n.tcp), r2(n.tcp), a(n.lb);
  const bytes sel = select_req(2);
  r1.put(raw(bytes{0x12, 0x34} + bytes(sel.begin(), sel.begin() + 7)));
  r2.put(raw(sealed({0xB2, 0, 0}) + bytes{0xB2, 0, 0, 0} + SENSOR));  // a bad checksum between
  ASSERT_TRUE(r2.wait(raw(sealed({0xB2, 0, 0}) + SENSOR)));
  {
    peer gone(n.tcp), gone_lb(n.lb);  // leave in the middle of a message, and of a SEND
    // Closing with the greeting unread would reset the connection, and a
    // reset lets the server's kernel drop the SEND before lnsim reads it.
    gone_lb.skip_version();
    gone.put(raw(bytes(sel.begin(), sel.begin() + 5)));
    gone_lb.put("SEND " + hex(select_req(1)) + "\r\n");
  }
  ASSERT_TRUE(r2.wait(raw(select_req(1) + select_reply(1))));
  {
    // A whole message and at once the end of the connection, as a tool's last
    // release and its exit: the message is on the bus all the same.
    peer last(n.tcp);
    last.put(raw(sealed({0xB2, 0x33, 0x44})));
  }
  ASSERT_TRUE(r2.wait(raw(sealed({0xB2, 0x33, 0x44}))));
  r1.put(raw(bytes(sel.begin() + 7, sel.end())));
  const bytes all =
      sealed({0xB2, 0, 0}) + SENSOR + select_req(1) + select_reply(1) + sealed({0xB2, 0x33, 0x44});
  EXPECT_TRUE(r1.wait(raw(all + sel + select_reply(2))));
  EXPECT_EQ(lnsim_host_msgs(n.s), (std::vector<bytes>{sealed({0xB2, 0, 0}), SENSOR, select_req(1),
                                                      sealed({0xB2, 0x33, 0x44}), sel}));
  a.skip_version();
  a.put("SEND " + hex(select_req(1)) + "\r\n");
  EXPECT_TRUE(a.wait(line("RECEIVE", select_req(1)) + "SENT OK\r\n"));
}

TEST(SimTcp, ClientsThatStopReadingDoNotHoldUpTheBus) {
  net_sim n({}, false);
  peer lazy(n.lb, 32768), flood(n.tcp), witness(n.tcp);
  // 300 kB of RECEIVE lines, more than the bound and the buffers hold; a
  // queue's worth at a time, so that the bus drops none of them.
  constexpr int ROUNDS = 400, N = ROUNDS * 50;
  for (int r = 0; r < ROUNDS; ++r) {
    std::string chunk;
    for (int i = 0; i < N / ROUNDS; ++i) chunk += raw({0x81, 0x7E});
    const bytes mark = sealed({0xB2, static_cast<u8>(r & 0x7F), static_cast<u8>(r >> 7)});
    flood.put(chunk + raw(mark));
    ASSERT_TRUE(witness.wait(raw(mark)));
  }
  peer a(n.lb);
  a.skip_version();
  a.put("SEND " + hex(SENSOR) + "\r\n");
  EXPECT_TRUE(a.wait(line("RECEIVE", SENSOR) + "SENT OK\r\n"));
  // The lazy one lost lines, whole ones.
  lazy.skip_version();
  lazy.wait("never", 1000);
  std::size_t busy = 0, at = 0;
  for (std::size_t end; (end = lazy.got.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string l = lazy.got.substr(at, end - at);
    busy += l == "RECEIVE 81 7E";
    EXPECT_TRUE(l == "RECEIVE 81 7E" || (l.rfind("RECEIVE B2 ", 0) == 0 && l.size() == 19)) << l;
  }
  EXPECT_EQ(at, lazy.got.size());
  EXPECT_LT(busy, static_cast<std::size_t>(N));
  const auto t0 = clk::now();
  lnsim_stop(n.s);
  n.s = nullptr;
  EXPECT_LT(clk::now() - t0, std::chrono::seconds(3));
}

// Each row's answers come in one datagram, and nothing else: the next row's
// datagram is its own answer.
TEST(SimZ21, AnswersADatagramsRecordsInOneDatagram) {
  sim_opts o;
  o.z21_hw = 0x211;
  net_sim n(o, false);
  z21_peer a(n.z21);
  const bytes hw = {0x0C, 0, 0x1A, 0, 0x11, 0x02, 0, 0, 0x43, 0x01, 0, 0};
  const std::pair<bytes, bytes> rows[] = {
      {rec(0x51), {0x08, 0, 0x51, 0, 0, 0, 0, 0}},
      {rec(0x40, {0x21, 0x81, 0xA0}) + rec(0x1A) + rec(0x12), hw},
      {SUBSCRIBE + rec(0x51) + rec(0x85) + rec(0x10) + rec(0x1A),
       FLAGS_ON + rec(0x84, bytes(16)) + rec(0x10, {0x40, 0xE2, 0x01, 0}) + hw},
      {rec(0x51) + bytes{3, 0, 0x1A, 0} + rec(0x1A), FLAGS_ON},  // a length below 4 ends it
      {rec(0x1A) + bytes{9, 0, 0x51, 0, 0}, hw},                 // as one past the end does
      {rec(0x50, {0, 0}) + rec(0x51), FLAGS_ON},                 // flags too short
      {rec(0x51), FLAGS_ON},
  };
  for (const auto &[in, out] : rows) {
    a.put(in);
    EXPECT_EQ(hex(a.next()), hex(out)) << hex(in);
  }
}

// One client's select goes onto the one bus; the module's reply comes back to
// it and to the pty, its own message never; the other subscribed client gets
// both, the unsubscribed one nothing. A raw client's message marks the end.
TEST(SimZ21, TunnelsToTheBusAndToTheOtherSubscribedClients) {
  for (bool echo : {true, false}) {
    sim_opts o;
    o.echo = echo;
    net_sim n(o);
    z21_peer a(n.z21), b(n.z21), c(n.z21);
    peer r(n.tcp);
    const int pty = open(lnsim_path(n.s), O_RDWR | O_NOCTTY | O_CLOEXEC);
    c.put(rec(0x51));
    EXPECT_EQ(c.next(), rec(0x51, {0, 0, 0, 0}));
    b.put(SUBSCRIBE);
    a.put(SUBSCRIBE + rec(0x51));
    EXPECT_EQ(a.next(), FLAGS_ON);
    a.put(rec(0xA2, select_req(1)) + rec(0xA2, bytes{0xB2, 0, 0, 0}));  // a bad checksum: kept off
    EXPECT_EQ(hex(a.upto(rec(0xA0, select_reply(1)))), hex(rec(0xA0, select_reply(1))));
    const bytes bus = (echo ? select_req(1) : bytes{}) + select_reply(1);
    EXPECT_EQ(rig_read_n(pty, bus.size(), 5000), bus);
    close(pty);
    r.put(raw(SENSOR));
    EXPECT_EQ(hex(a.upto(rec(0xA0, SENSOR))), hex(rec(0xA0, SENSOR)));
    EXPECT_EQ(hex(b.upto(rec(0xA0, SENSOR))),
              hex(rec(0xA2, select_req(1)) + rec(0xA0, select_reply(1)) + rec(0xA0, SENSOR)));
    c.put(rec(0x51));
    EXPECT_EQ(c.next(), rec(0x51, {0, 0, 0, 0}));
    EXPECT_EQ(lnsim_host_msgs(n.s), (std::vector<bytes>{select_req(1), SENSOR}));
  }
}

// A client that logged off or was forgotten has lost its subscription: it
// gets nothing, and its next record logs it on anew, subscribed to nothing.
TEST(SimZ21, LogoffAndSilenceForgetTheClient) {
  for (bool logoff : {true, false}) {
    sim_opts o;
    o.z21 = o.tcp = "0";
    o.z21_forget_ms = static_cast<unsigned>(rig_scaled_ms(logoff ? 60000 : 300));
    sim_rig m(o);
    z21_peer f(lnsim_z21_port(m.s)), w(lnsim_z21_port(m.s));
    peer t(lnsim_tcp_port(m.s));
    const bytes s[] = {sealed({0xB2, 1, 0}), sealed({0xB2, 2, 0}), sealed({0xB2, 3, 0})};
    f.put(SUBSCRIBE + rec(0x51) + (logoff ? rec(0x30) : bytes{}));
    EXPECT_EQ(f.next(), FLAGS_ON);
    EXPECT_TRUE(m.logged(logoff ? "z21 client 1 logged off" : "z21 client 1 forgotten"));
    w.put(SUBSCRIBE + rec(0x51));
    EXPECT_EQ(w.next(), FLAGS_ON);
    t.put(raw(s[0]));
    EXPECT_EQ(w.upto(rec(0xA0, s[0])), rec(0xA0, s[0]));
    f.put(rec(0x51));
    EXPECT_EQ(f.next(), rec(0x51, {0, 0, 0, 0}));
    EXPECT_TRUE(m.logged("z21 client 3 logged on from 127.0.0.1:"));
    f.put(SUBSCRIBE);
    t.put(raw(s[1]));
    EXPECT_EQ(f.upto(rec(0xA0, s[1])), rec(0xA0, s[1]));
  }
}

// The outcome of every datagram, both ways, follows the seed.
TEST(SimZ21, LosesDatagramsReproduciblyForASeed) {
  auto run = [](unsigned seed) {
    sim_opts o;
    o.z21 = "0";
    o.z21_loss = 0.3;
    o.seed = seed;
    sim_rig m(o);
    z21_peer a(lnsim_z21_port(m.s));
    constexpr std::size_t N = 40;
    std::string answered(N, '-'), lost;
    for (u8 i = 0; i < N; ++i) a.put(rec(0x50, {i, 0, 0, 0}) + rec(0x51));
    const auto end = clk::now() + std::chrono::milliseconds(rig_scaled_ms(10000));
    for (std::size_t got = 0; got + lost.size() < N && clk::now() < end;) {
      const bytes d = a.next(10);
      if (d.size() == 8) {
        answered.at(d[4]) = 'a';
        ++got;
      }
      std::lock_guard<std::mutex> g(m.mu);
      lost.clear();
      for (const std::string &l : m.notes)
        if (l.find(" lost") != std::string::npos)
          lost += l.find(" from ") != std::string::npos ? 'f' : 't';
    }
    return answered + " " + lost;
  };
  const std::string first = run(3);
  EXPECT_EQ(run(3), first);
  EXPECT_NE(run(4), first);
  EXPECT_GT(std::count(first.begin(), first.end(), 'a'), 8) << first;
  EXPECT_LT(std::count(first.begin(), first.end(), 'a'), 32) << first;
  EXPECT_NE(first.find('t'), std::string::npos) << first;
}

TEST(SimNetProgram, PrintsUsablePortsAndRefusesBadAddresses) {
  proc_bg p;
  ASSERT_TRUE(proc_start(&p, {LNSIM_BIN, "--lbserver", "0", "--tcp", "127.0.0.1:0", "--z21", "0",
                              "--z21-hw", "515", "--z21-fw", "120"}));
  std::string path, lb, tcp, z21;
  ASSERT_TRUE(proc_read_line(&p, &path, 5000));
  ASSERT_TRUE(proc_read_line(&p, &lb, 5000));
  ASSERT_TRUE(proc_read_line(&p, &tcp, 5000));
  ASSERT_TRUE(proc_read_line(&p, &z21, 5000));
  EXPECT_EQ(lb.rfind("lbserver 127.0.0.1:", 0), 0u) << lb;
  EXPECT_EQ(tcp.rfind("tcp 127.0.0.1:", 0), 0u) << tcp;
  EXPECT_EQ(z21.rfind("z21 127.0.0.1:", 0), 0u) << z21;
  auto port = [](const std::string &l) { return std::stoi(l.substr(l.rfind(':') + 1)); };
  z21_peer z(static_cast<unsigned>(port(z21)));
  z.put(rec(0x1A));
  EXPECT_EQ(z.next(), rec(0x1A, {0x03, 0x02, 0, 0, 0x20, 0x01, 0, 0}));
  for (const char *bad : {"--z21-hw=0x", "--z21-fw=12g", "--z21-hw=4294967296", "--z21-loss=2"})
    EXPECT_EQ(proc_run({LNSIM_BIN, bad}).status, 2) << bad;
  const unsigned lb_port = static_cast<unsigned>(port(lb));
  peer a(lb_port), r(static_cast<unsigned>(port(tcp)));
  EXPECT_TRUE(a.wait("VERSION lnsim LbServer\r\n"));
  r.put(raw(SENSOR));
  EXPECT_TRUE(r.wait(raw(SENSOR)));
  for (const char *bad : {"65536", "1.2.3.4:", "::1:5", "[::1]", "x"})
    EXPECT_EQ(proc_run({LNSIM_BIN, "--tcp", std::string(bad)}).status, 2) << bad;
  const proc_result busy = proc_run({LNSIM_BIN, "--tcp", "127.0.0.1:" + std::to_string(lb_port)});
  EXPECT_EQ(busy.status, 1);
  EXPECT_EQ(busy.err, "lnsim: Can't listen on 127.0.0.1:" + std::to_string(lb_port) +
                          ": Address already in use (errno: 98)\n");
  EXPECT_EQ(proc_stop(&p, SIGTERM, 5000).status, 0);
}

// The tool reads the same over either kind as over the pty, and one run
// reads while another waits in write mode on the same bus.
TEST(SimNetSens, ReadsAlikeOverEveryKindAlongsideAnIdleWriter) {
  sim_opts o;
  o.modules = {1, 2, 3};
  o.lbserver = o.tcp = "0";
  sim_rig m(o);
  const proc_result pty = proc_run({SENS_BIN, "-r", "locobuffer", m.path(), "1,2,4"});
  EXPECT_EQ(pty.out.size(), 2 * 52u) << pty.err;
  const tmp_dir dir;
  const std::string fifo = dir.path + "/in";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const char *k : {"lbserver", "tcp"}) {
    const std::string kind = k;
    const std::string at = "127.0.0.1:" + std::to_string(kind == "tcp" ? lnsim_tcp_port(m.s)
                                                                       : lnsim_lbserver_port(m.s));
    const int in =
        open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // the writer's input, held open: it waits
    proc_opts w;
    w.stdin_path = fifo;
    proc_result wrote;
    std::thread writer([&] { wrote = proc_run({SENS_BIN, "-w", kind, at}, w); });
    EXPECT_TRUE(m.logged("connected to " + kind));
    const proc_result r = proc_run({SENS_BIN, "-r", kind, at, "1,2,4"});
    EXPECT_EQ(r.out, pty.out) << kind;
    EXPECT_EQ(r.err, pty.err) << kind;
    EXPECT_EQ(r.status, pty.status) << kind;
    const std::string values = "3: 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 " + std::to_string(kind.size());
    EXPECT_EQ(write(in, (values + "\n").data(), values.size() + 1),
              static_cast<ssize_t>(values.size() + 1));
    close(in);
    writer.join();
    EXPECT_EQ(wrote.status, 0) << wrote.err;
    EXPECT_EQ(m.cvs(3).substr(m.cvs(3).rfind(' ') + 1), std::to_string(kind.size()));
  }
}

}  // namespace
