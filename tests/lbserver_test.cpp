// The LbServer text protocol and transport: lines from tables, and the
// transport against a scripted server on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "lbserver.h"
#include "ln_rig.h"
#include "proc.h"
#include "prog.h"
#include "sim_rig.h"

namespace {

using clk = std::chrono::steady_clock;

/// What a line says, and the message's hex for RECEIVE.
std::string said(const std::string &line) {
  ln_msg_t m{};
  switch (lb_parse_server_line(line.data(), line.size(), &m)) {
    case LB_RECEIVE:
      return "RECEIVE " + hex(&m);
    case LB_SENT_OK:
      return "OK";
    case LB_SENT_ERROR:
      return "ERROR";
    default:
      return "-";
  }
}

TEST(LbLines, WhatAServerSays) {
  const struct {
    std::string line, want;
  } cases[] = {
      {"RECEIVE B2 12 34 6B", "RECEIVE B2 12 34 6B"},
      {"RECEIVE b2 12 34 6b", "RECEIVE B2 12 34 6B"},         // lower-case hex
      {"RECEIVE   B2  12 34   6B  ", "RECEIVE B2 12 34 6B"},  // runs of spaces
      {"RECEIVE 81 7E", "RECEIVE 81 7E"},
      {"RECEIVE B2 12 34 6A", "-"},        // bad checksum
      {"RECEIVE B2 12 34", "-"},           // cut short
      {"RECEIVE B2 12 34 6B 81 7E", "-"},  // two messages
      {"RECEIVE 81 7E 00", "-"},           // a byte too many
      {"RECEIVE 12 34", "-"},              // no opcode
      {"RECEIVE E5 02 18", "-"},           // length byte disagrees
      {"RECEIVE B2 92 34 EB", "-"},        // a data byte with bit 7
      {"RECEIVE B2 12 34 6BX", "-"},
      {"RECEIVE B2 123 4 6B", "-"},
      {"RECEIVE", "-"},
      {"RECEIVEB2 12 34 6B", "-"},
      {"SENT OK", "OK"},
      {"SENT OK B2 12 34 6B", "OK"},
      {"SENT  OK", "OK"},
      {"SENT ERROR timed out waiting for echo", "ERROR"},
      {"SENT ERROR", "ERROR"},
      {"SENT", "-"},
      {"SENT OKAY", "-"},
      {"VERSION JMRI Server 5.0", "-"},
      {"TIMESTAMP 12345", "-"},
      {"ERROR CHECKSUM 12", "-"},
      {"BREAK 1", "-"},
      {"receive B2 12 34 6B", "-"},
  };
  for (const auto &c : cases) EXPECT_EQ(said(c.line), c.want) << c.line;
}

TEST(LbLines, SendLinesAndTheReasonsAServerGives) {
  const bytes sel =
      sealed({0xED, 0x0F, 0x01, 0x05, 0x00, 0x21, 0x41, 0x53, 0x04, 0x00, 0x00, 0x0C, 0x00, 0x00});
  ln_msg_t m{};
  m.len = static_cast<u8>(sel.size());
  std::copy(sel.begin(), sel.end(), m.msg);
  const std::string line = lb_format("SEND", &m);
  EXPECT_EQ(line, "SEND ED 0F 01 05 00 21 41 53 04 00 00 0C 00 00 22\r\n");
  EXPECT_EQ(lb_format("RECEIVE", &m, true, "\n"),
            "RECEIVE ed 0f 01 05 00 21 41 53 04 00 00 0c 00 00 22\n");
  ln_msg_t back{};
  EXPECT_EQ(lb_parse_send(line.data(), line.size() - 2, &back), nullptr);
  EXPECT_EQ(hex(&back), hex(sel));
  const struct {
    std::string line;
    const char *why;
  } bad[] = {{"SEND B2 1G 34 6B", "Invalid hex coding"},
             {"SEND B2", "message too short"},
             {"SEND B2 12 34", "message length is inconsistent"},
             {"SEND 12 34", "message length is inconsistent"},
             {"RECEIVE B2 12 34 6B", ""}};
  for (const auto &b : bad) {
    const char *why = lb_parse_send(b.line.data(), b.line.size(), &back);
    ASSERT_NE(why, nullptr) << b.line;
    EXPECT_STREQ(why, b.why) << b.line;
  }
}

void collect(void *arg, const char *line, std::size_t n) {
  static_cast<std::vector<std::string> *>(arg)->emplace_back(line, n);
}

TEST(LbLines, AnyLineEndEmptyLinesAndOverlongLines) {
  std::vector<std::string> got;
  lb_lines_t l{};
  const std::string stream = "VERSION x\r\nSENT OK\n\n\r\rRECEIVE 81 7E\rSENT";
  // Byte by byte and all at once give the same lines.
  for (char c : stream) lb_lines_feed(&l, &c, 1, collect, &got);
  lb_lines_feed(&l, "\r\n", 2, collect, &got);
  const std::vector<std::string> want = {"VERSION x", "SENT OK", "RECEIVE 81 7E", "SENT"};
  EXPECT_EQ(got, want);
  got.clear();
  lb_lines_t whole{};
  lb_lines_feed(&whole, (stream + "\n").data(), stream.size() + 1, collect, &got);
  EXPECT_EQ(got, want);
  // A line longer than any message is dropped whole, kept nowhere, and its
  // tail never joins the next line.
  got.clear();
  const std::string big =
      "RECEIVE" + std::string(LB_LINE_MAX * 3, ' ') + "81 7E\nRECEIVE B2 12 34 6B\n";
  lb_lines_feed(&whole, big.data(), big.size(), collect, &got);
  EXPECT_EQ(got, std::vector<std::string>{"RECEIVE B2 12 34 6B"});
}

// --- The transport against a scripted server ------------------------------------

/// A server on 127.0.0.1 that takes one client and answers each SEND line
/// with what answer() returns for it (the index of the SEND, its hex);
/// "close" closes the connection instead. Otherwise the connection stays
/// open when the server object goes: a reader in this process that met its
/// end would end the process.
struct server {
  int listen_fd = -1;
  int stop[2] = {-1, -1};
  unsigned short port = 0;
  std::thread t;
  std::mutex mu;
  std::vector<clk::time_point> sends;  // when each SEND arrived
  std::function<std::string(std::size_t, const std::string &)> answer;

  explicit server(std::function<std::string(std::size_t, const std::string &)> a)
      : answer(std::move(a)) {
    listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    EXPECT_EQ(bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    EXPECT_EQ(listen(listen_fd, 1), 0);
    getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
    EXPECT_EQ(pipe(stop), 0);
    t = std::thread([this] { serve(); });
  }
  server(const server &) = delete;
  server &operator=(const server &) = delete;
  ~server() {
    shutdown(listen_fd, SHUT_RDWR);
    close(stop[1]);
    if (t.joinable()) t.join();
    close(listen_fd);
    close(stop[0]);
  }
  std::string where() const { return "127.0.0.1:" + std::to_string(port); }
  std::vector<clk::time_point> sent() {
    std::lock_guard<std::mutex> g(mu);
    return sends;
  }

  void serve() {
    const int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return;
    std::string in;
    char buf[512];
    for (;;) {
      struct pollfd p[2] = {{fd, POLLIN, 0}, {stop[0], POLLIN, 0}};
      if (poll(p, 2, 20000) < 1 || p[1].revents != 0) return;  // the client's connection stays
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      in.append(buf, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = in.find("\r\n")) != std::string::npos; in.erase(0, nl + 2)) {
        const std::string line = in.substr(0, nl);
        if (line.rfind("SEND ", 0) != 0) continue;
        std::size_t i;
        {
          std::lock_guard<std::mutex> g(mu);
          sends.push_back(clk::now());
          i = sends.size() - 1;
        }
        const std::string out = answer(i, line.substr(5));
        if (out == "close") {
          close(fd);
          return;
        }
        if (!out.empty() && write(fd, out.data(), out.size()) < 0) break;
      }
    }
    close(fd);
  }
};

/// A module's programming reply.
ln_msg_t reply(u16 cv, u16 val) {
  ln_msg_t m{};
  const ln_prog_t v = {1235, cv, val, 0, PROG_CMD_REPLY};
  prog_encode_reply(&m, &v);
  return m;
}

constexpr unsigned LBSERVER = 2;  // the type code of the lbserver row

/// Everything an exchange passes over, as hex; accepts the message want.
struct seen_t {
  std::string want;
  std::vector<std::string> all;
};

int see(const ln_msg_t *rx, void *arg) {
  auto *s = static_cast<seen_t *>(arg);
  s->all.push_back(hex(rx));
  return hex(rx) == s->want;
}

const bytes sensor = sealed({0xB2, 0x12, 0x34});
const bytes request = {0xED, 0x0F, 0x01, 0x05, 0x00, 0x21, 0x05, 0x53,
                       0x04, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00};

/// Sends the read of CV 145 through lif with three retries.
ln_msg_t *read145(lif_t *lif, seen_t *seen) {
  ln_msg_t tx{};
  tx.len = static_cast<u8>(request.size());
  std::copy(request.begin(), request.end(), tx.msg);
  return ln_msg_tx_retry_resp(lif, &tx, 3, PROG_TIMEOUT, see, seen);
}

// Every line is one message or none: no line's bytes join another's, in
// whatever shape the server writes its lines.
TEST(LbTransport, LinesInAnyShapeAndOnlyWholeMessages) {
  server s([](std::size_t, const std::string &hexline) {
    const ln_msg_t r = reply(145, 300);
    std::string lower = lb_format("RECEIVE", &r, true, "\n");
    return "VERSION test 1\r\nRECEIVE " + hexline + "\r\nSENT OK\r\n" +
           "RECEIVE B2 12\r\nRECEIVE 34 6B\r\n" +  // halves of a sensor report
           "RECEIVE " + hex(sensor) + "\rBREAK 7\n\n" + lower;
  });
  lif_t *lif = lif_open(s.where().c_str(), LBSERVER);
  ASSERT_NE(lif, nullptr);
  const ln_msg_t r = reply(145, 300);
  seen_t seen{hex(&r), {}};
  ln_msg_t *rx = read145(lif, &seen);
  ASSERT_NE(rx, nullptr);
  ln_msg_free(lif, rx);
  // The whole sensor report and the reply (the echo is no candidate): nothing else.
  EXPECT_EQ(seen.all, (std::vector<std::string>{hex(sensor), seen.want}));
  EXPECT_EQ(s.sent().size(), 1u);
}

// A refusal ends its own attempt at once, and the retries go on.
TEST(LbTransport, SentErrorEndsTheAttemptAtOnce) {
  server s([](std::size_t, const std::string &) {
    return std::string("SENT ERROR interface busy\r\n");
  });
  lif_t *lif = lif_open(s.where().c_str(), LBSERVER);
  ASSERT_NE(lif, nullptr);
  seen_t seen{"none", {}};
  EXPECT_EQ(read145(lif, &seen), nullptr);
  const auto t = s.sent();
  ASSERT_EQ(t.size(), 4u);
  // Waiting out each 100 ms window would take 300 ms between first and last.
  EXPECT_LT(t[3] - t[0], std::chrono::milliseconds(150));
  EXPECT_TRUE(seen.all.empty()) << "no qualifier sees a refusal";
}

// A server that sends no SENT for a transmission it could not make (no echo
// came): counting SENT lines then lags, and a later refusal must not be taken
// for a later attempt's.
TEST(LbTransport, RefusalOfAnEarlierTransmissionEndsNoAttempt) {
  server s([](std::size_t i, const std::string &) {
    return i == 0 ? std::string() : std::string("SENT ERROR late\r\n");
  });
  lif_t *lif = lif_open(s.where().c_str(), LBSERVER);
  ASSERT_NE(lif, nullptr);
  seen_t seen{"none", {}};
  EXPECT_EQ(read145(lif, &seen), nullptr);
  const auto t = s.sent();
  ASSERT_EQ(t.size(), 4u);
  // The refusal of the second SEND reads as the first one's: every attempt
  // waits out its window.
  EXPECT_GE(t[3] - t[0], std::chrono::milliseconds(290));
}

// --- The tool over the network ---------------------------------------------------

proc_result sens(const std::vector<std::string> &args) {
  std::vector<std::string> argv{SENS_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return proc_run(argv, {});
}

TEST(LbTool, ServersThatCannotBeReached) {
  // Nothing listens on a port that was just free.
  unsigned short free_port;
  {
    server probe([](std::size_t, const std::string &) { return std::string(); });
    free_port = probe.port;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);  // let the server's accept return
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(probe.port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    close(fd);
  }
  const std::string where = "127.0.0.1:" + std::to_string(free_port);
  for (const char *kind : {"lbserver", "tcp"}) {
    proc_result r = sens({"-r", kind, where, "1"});
    EXPECT_EQ(r.status, 1) << kind;
    EXPECT_EQ(r.err, "Can't open " + where + ": Connection refused (errno: 111)\n") << kind;
  }
  // The default port is the one named; a name that does not resolve gives the
  // resolver's text (which one depends on whether a resolver answers at all).
  proc_result r = sens({"-r", "lbserver", "nosuchhost.invalid", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Can't open nosuchhost.invalid:1234: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("(errno: -"), std::string::npos) << r.err;
  // The raw kind needs a port; a port must be a number.
  const std::string port = "the TCP port must be a number from 1 to 65535 (HOST:PORT)";
  for (const auto &[bad, why] : std::vector<std::pair<std::string, std::string>>{
           {"127.0.0.1", "no TCP port given (HOST:PORT)"},
           {"127.0.0.1:x", port},
           {"127.0.0.1:70000", port},
           {":1234", "no host given (HOST:PORT)"},
           {"[::1", "no closing bracket ([IPV6]:PORT)"}}) {
    r = sens({"-r", "tcp", bad, "1"});
    EXPECT_EQ(r.err, "Can't open " + bad + ": " + why + "\n");
  }
}

TEST(LbTool, ServerThatNeverAnswersOrGoesAway) {
  {
    server s([](std::size_t, const std::string &) { return std::string(); });
    proc_result r = sens({"-r", "lbserver", s.where(), "5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "No response from 5\n");
    // Release of 0, the sweep, four selects and the release after them.
    EXPECT_EQ(s.sent().size(), 7u);
  }
  server s([](std::size_t i, const std::string &) {
    return i < 3 ? std::string() : std::string("close");
  });
  proc_result r = sens({"-r", "lbserver", s.where(), "5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Can't read from LocoNet interface: end of file\n");
}

// A refused release would leave the module in programming mode: it goes
// again when the refusal comes. Nothing waits for a release's answer but the
// end of the run, one reply window at most.
TEST(LbTransport, RefusedReleaseIsSentAgain) {
  for (const char *answer : {"SENT ERROR busy\r\n", "SENT OK\r\n", ""}) {
    server s([answer](std::size_t i, const std::string &) {
      return i == 0 ? std::string(answer) : std::string("SENT OK\r\n");
    });
    lif_t *lif = lif_open(s.where().c_str(), LBSERVER);
    ASSERT_NE(lif, nullptr);
    EXPECT_EQ(select_target(lif, 1235, 12, 0), 1);
    EXPECT_EQ(select_target(lif, 1235, 13, 0), 1) << "sent before the first one's answer came";
    prog_settle(lif);
    EXPECT_EQ(s.sent().size(), std::strstr(answer, "ERROR") != nullptr ? 3u : 2u) << answer;
  }
}

// The same lines and the same writes over the pty, the raw kind and an
// LbServer that behaves as each kind of server in the field does.
TEST(LbTool, ReadsAndWritesAlikeOverEveryKindAndEveryServer) {
  sim_opts base;
  base.modules = {1, 2, 3};
  base.lbserver = "127.0.0.1:0";
  base.tcp = "127.0.0.1:0";
  std::vector<std::pair<std::string, sim_opts>> servers;
  auto with = [&](const char *name, auto set) {
    sim_opts o = base;
    set(o);
    servers.emplace_back(name, o);
  };
  with("reference", [](sim_opts &) {});
  with("LF only", [](sim_opts &o) { o.lb_lf = true; });
  with("lower-case hex", [](sim_opts &o) { o.lb_lower = true; });
  with("split writes", [](sim_opts &o) { o.lb_split = true; });
  with("SENT OK <hex>", [](sim_opts &o) { o.lb_sent_hex = true; });
  with("no SENT ERROR", [](sim_opts &o) { o.lb_no_error = true; });
  with("echo before the bus", [](sim_opts &o) { o.lb_early_echo = true; });
  with("no VERSION", [](sim_opts &o) { o.lb_no_version = true; });
  with("refuses a tenth of SENDs", [](sim_opts &o) { o.lb_error = 0.1; });
  with("JMRI", [](sim_opts &o) { o.lb_jmri = true; });
  with("JMRI, no echo: no answers", [](sim_opts &o) { o.lb_jmri = true, o.echo = false; });
  std::string want;
  for (unsigned a = 1; a <= 3; ++a) want += default_line(a);
  for (auto &[name, o] : servers) {
    sim_rig m(o);
    std::vector<std::string> kinds = {"lbserver 127.0.0.1:" +
                                      std::to_string(lnsim_lbserver_port(m.s))};
    if (name == "reference") {
      kinds.push_back("locobuffer " + m.path());
      kinds.push_back("tcp 127.0.0.1:" + std::to_string(lnsim_tcp_port(m.s)));
    }
    for (const std::string &k : kinds) {
      const std::string kind = k.substr(0, k.find(' ')), port = k.substr(k.find(' ') + 1);
      const proc_result r = proc_run({SENS_BIN, "-r", kind, port, "1-3"});
      EXPECT_EQ(r.status, 0) << name << ", " << kind;
      EXPECT_EQ(r.out, want) << name << ", " << kind;
      EXPECT_EQ(r.err, "") << name << ", " << kind;
      const proc_result d = proc_run({SENS_BIN, "-d", kind, port});
      EXPECT_EQ(d.out + d.err, "1-3\n") << name << ", " << kind;
      proc_opts w;
      w.in = "2: 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 " + std::to_string(k.size()) + "\n";
      const proc_result wr = proc_run({SENS_BIN, "-w", kind, port}, w);
      EXPECT_EQ(wr.status, 0) << name << ", " << kind;
      EXPECT_EQ(wr.err, "") << name << ", " << kind;
      EXPECT_EQ(m.cvs(2), w.in.substr(2, w.in.size() - 3)) << name << ", " << kind;
      EXPECT_TRUE(m.wait_clean().empty()) << name << ", " << kind;
      want = default_line(1) + "2:" + w.in.substr(2, w.in.size() - 3) + "\r\n" + default_line(3);
    }
    want = default_line(1) + default_line(2) + default_line(3);
  }
}

// Another client of the same server talks the whole time: its messages come
// to sens as RECEIVE lines between its own echoes and replies.
TEST(LbTool, TrafficOfASecondClientDuringExchanges) {
  sim_opts o;
  o.modules = {1, 2, 3};
  o.lbserver = "127.0.0.1:0";
  o.tcp = "127.0.0.1:0";
  sim_rig m(o);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u16>(lnsim_tcp_port(m.s)));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  std::atomic<bool> stop{false};
  std::thread talker([&] {
    // Sensor reports and "master busy", back to back: about as much as the bus carries.
    bytes chatter = sealed({0xB2, 0x12, 0x34});
    chatter.insert(chatter.end(), {0x81, 0x7E});
    while (!stop) {
      if (send(fd, chatter.data(), chatter.size(), MSG_NOSIGNAL) < 0) break;
      rig_sleep_ms(2);  // the pace of the chatter, not a wait for anything
    }
  });
  const proc_result r = proc_run(
      {SENS_BIN, "-r", "lbserver", "127.0.0.1:" + std::to_string(lnsim_lbserver_port(m.s)), "1-3"});
  stop = true;
  talker.join();
  close(fd);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, default_line(1) + default_line(2) + default_line(3));
  EXPECT_EQ(r.err, "");
}

}  // namespace
