// lnsim: a LocoNet interface with modules of article number 1235 on a
// pseudo-terminal, for trying out and testing the tool without hardware.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lnsim.h"
#include "state.h"

namespace {

constexpr int EXIT_USAGE = 2;

const char USAGE[] =
    "Usage: lnsim [options]\n"
    "Simulates a LocoNet interface with modules of article number 1235 on a\n"
    "pseudo-terminal and prints the terminal's path as the first line; with\n"
    "--lbserver, --tcp or --z21 one more line per server, its kind and ADDR:PORT.\n"
    "  --modules LIST        module addresses emulated (default 1), e.g. 1-3,12\n"
    "  --link PATH           symbolic link PATH to the terminal while running\n"
    "  --no-echo             do not echo the host's messages\n"
    "  --state FILE          load and save CVs 145..160 of the modules in FILE;\n"
    "                        its modules not in --modules are kept, not emulated\n"
    "  --turnaround-us N     reply delay after a request (default 3000)\n"
    "  --delay-us N          extra delay added to every reply\n"
    "  --drop P              probability that a reply is dropped\n"
    "  --noise P             probability of a noise burst before each echo or reply\n"
    "  --traffic             other devices fill the bus: messages back to back at bus speed\n"
    "  --bytewise            deliver replies one byte per write\n"
    "  --pace                every byte occupies the bus for 600 us\n"
    "  --usb-latency MS      hand the terminal what arrives at most every MS ms, as a\n"
    "                        USB adapter's latency timer does (FTDI: 16, or 1)\n"
    "  --silent LIST         modules that never answer\n"
    "  --answer-only ADDR:N  module ADDR answers only its first N CV requests\n"
    "  --impostor LIST       look-alike replies precede these modules' replies\n"
    "  --programming LIST    modules in programming mode from the start, as a run\n"
    "                        that died or another program leaves them\n"
    "  --intruder ADDR:N     module ADDR enters programming mode by itself after the\n"
    "                        host's N-th message, as another program's select would\n"
    "  --select-us ADDR:N    module ADDR answers a select after N us\n"
    "  --flags80 LIST        these modules' select replies carry flags 0x80\n"
    "  --stuck ADDR:CV       module ADDR acknowledges writes of CV but keeps its value\n"
    "  --broadcast-enters LIST\n"
    "                        these modules enter programming mode on a broadcast select\n"
    "  --broadcast-deaf LIST these modules ignore a broadcast select\n"
    "  --broadcast-order LIST\n"
    "                        these modules answer a broadcast select first, in this\n"
    "                        order (65535,1-3: the factory module first); the rest after\n"
    "  --twins LIST          a second module at each of these addresses, same values\n"
    "  --twins-own LIST      a second module at each of these addresses, values of its\n"
    "                        own (the first's inverted)\n"
    "  --seed N              seed of every random choice (default 1)\n"
    "  --lbserver [ADDR:]PORT\n"
    "                        serve the bus as an LbServer (text protocol) on PORT of\n"
    "                        ADDR (default 127.0.0.1; [IPV6]:PORT); 0: any free port\n"
    "  --tcp [ADDR:]PORT     serve the bus as raw LocoNet bytes over TCP\n"
    "  --lb-lf               LbServer lines end in LF alone\n"
    "  --lb-lower            LbServer hex in lower case\n"
    "  --lb-split            each LbServer line and its line end in separate writes,\n"
    "                        RECEIVE and SENT OK too, with Nagle's delay\n"
    "  --lb-sent-hex         SENT OK followed by the message's hex\n"
    "  --lb-no-error         never SENT ERROR, and no SENT at all without an echo\n"
    "  --lb-early-echo       RECEIVE and SENT OK to the sender before the bus has it\n"
    "  --lb-error P          refuse this share of SENDs with SENT ERROR\n"
    "  --lb-no-version       no VERSION line on connect\n"
    "  --lb-jmri             behave as JMRI's LbServer: SENT OK only for the echo of\n"
    "                        the client's last SEND, never SENT ERROR\n"
    "  --lb-drop N           end a connection after N RECEIVE lines\n"
    "  --z21 [ADDR:]PORT     serve the bus as a Z21 command station's UDP LAN\n"
    "                        protocol (its port: 21105)\n"
    "  --z21-hw TYPE         hardware type it reports (default 0x200, black Z21)\n"
    "  --z21-fw BCD          firmware version it reports, in hex (default 0x0143: 1.43)\n"
    "  --z21-forget MS       forget a client silent this long (default 60000)\n"
    "  --z21-loss P          lose each datagram, either way, with probability P\n"
    "  -v                    log every message on standard error\n"
    "  -h, --help            show this text\n";

[[noreturn]] void bad_usage(const char *fmt, const char *arg) {
  fputs("lnsim: ", stderr);
  fprintf(stderr, fmt, arg);
  fputs("\nTry 'lnsim --help'.\n", stderr);
  exit(EXIT_USAGE);  // NOLINT(concurrency-mt-unsafe): options are read before any thread starts
}

unsigned number(const char *flag, const char *arg, unsigned long max) {
  unsigned long v;
  const char *p = arg;
  if (!sim_read_num(&p, max, &v) || *p != '\0') bad_usage("bad number for --%s", flag);
  return static_cast<unsigned>(v);
}

/// A 32-bit code: hex after 0x, else digits of base (10 or 16).
unsigned code(const char *flag, const char *arg, int base) {
  const char *p = arg;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    base = 16;
  }
  const std::size_t n = strspn(p, base == 16 ? "0123456789abcdefABCDEF" : "0123456789");
  errno = 0;
  const unsigned long v = strtoul(p, nullptr, base);
  if (n == 0 || p[n] != '\0' || errno != 0 || v > 0xFFFFFFFF)
    bad_usage("bad number for --%s", flag);
  return static_cast<unsigned>(v);
}

double probability(const char *flag, const char *arg) {
  char *end;
  errno = 0;
  const double p = strtod(arg, &end);
  if (end == arg || *end != '\0' || errno != 0 || !(p >= 0 && p <= 1))
    bad_usage("bad probability for --%s", flag);
  return p;
}

void list(const char *flag, const char *arg, std::vector<u16> *out) {
  if (!sim_parse_list(arg, out)) bad_usage("bad address list for --%s", flag);
}

/// ADDR:N with N at most max.
std::pair<u16, unsigned> addr_pair(const char *flag, const char *arg, unsigned long max) {
  const char *colon = strchr(arg, ':');
  if (colon == nullptr) bad_usage("--%s wants ADDR:N", flag);
  const std::string addr(arg, static_cast<std::size_t>(colon - arg));
  return {static_cast<u16>(number(flag, addr.c_str(), 0xFFFF)), number(flag, colon + 1, max)};
}

enum {
  OPT_MODULES = 256,
  OPT_LINK,
  OPT_NO_ECHO,
  OPT_STATE,
  OPT_TURNAROUND,
  OPT_DELAY,
  OPT_DROP,
  OPT_NOISE,
  OPT_TRAFFIC,
  OPT_BYTEWISE,
  OPT_PACE,
  OPT_USB_LATENCY,
  OPT_SILENT,
  OPT_ANSWER_ONLY,
  OPT_IMPOSTOR,
  OPT_PROGRAMMING,
  OPT_INTRUDER,
  OPT_SELECT_US,
  OPT_FLAGS80,
  OPT_STUCK,
  OPT_BROADCAST_ENTERS,
  OPT_BROADCAST_DEAF,
  OPT_BROADCAST_ORDER,
  OPT_TWINS,
  OPT_TWINS_OWN,
  OPT_SEED,
  OPT_LBSERVER,
  OPT_TCP,
  OPT_LB_LF,
  OPT_LB_LOWER,
  OPT_LB_SPLIT,
  OPT_LB_SENT_HEX,
  OPT_LB_NO_ERROR,
  OPT_LB_EARLY_ECHO,
  OPT_LB_ERROR,
  OPT_LB_NO_VERSION,
  OPT_LB_JMRI,
  OPT_LB_DROP,
  OPT_Z21,
  OPT_Z21_HW,
  OPT_Z21_FW,
  OPT_Z21_FORGET,
  OPT_Z21_LOSS
};

/// [ADDR:]PORT to listen on.
std::string listen_addr(const char *flag, const char *arg) {
  std::string addr;
  unsigned port;
  if (!sim_parse_listen(arg, &addr, &port)) bad_usage("bad [ADDR:]PORT for --%s", flag);
  return arg;
}

void parse_args(int argc, char **argv, sim_opts *o, std::string *link) {
  static const struct option longs[] = {
      {"modules", required_argument, nullptr, OPT_MODULES},
      {"link", required_argument, nullptr, OPT_LINK},
      {"no-echo", no_argument, nullptr, OPT_NO_ECHO},
      {"state", required_argument, nullptr, OPT_STATE},
      {"turnaround-us", required_argument, nullptr, OPT_TURNAROUND},
      {"delay-us", required_argument, nullptr, OPT_DELAY},
      {"drop", required_argument, nullptr, OPT_DROP},
      {"noise", required_argument, nullptr, OPT_NOISE},
      {"traffic", no_argument, nullptr, OPT_TRAFFIC},
      {"bytewise", no_argument, nullptr, OPT_BYTEWISE},
      {"pace", no_argument, nullptr, OPT_PACE},
      {"usb-latency", required_argument, nullptr, OPT_USB_LATENCY},
      {"silent", required_argument, nullptr, OPT_SILENT},
      {"answer-only", required_argument, nullptr, OPT_ANSWER_ONLY},
      {"impostor", required_argument, nullptr, OPT_IMPOSTOR},
      {"programming", required_argument, nullptr, OPT_PROGRAMMING},
      {"intruder", required_argument, nullptr, OPT_INTRUDER},
      {"select-us", required_argument, nullptr, OPT_SELECT_US},
      {"flags80", required_argument, nullptr, OPT_FLAGS80},
      {"stuck", required_argument, nullptr, OPT_STUCK},
      {"broadcast-enters", required_argument, nullptr, OPT_BROADCAST_ENTERS},
      {"broadcast-deaf", required_argument, nullptr, OPT_BROADCAST_DEAF},
      {"broadcast-order", required_argument, nullptr, OPT_BROADCAST_ORDER},
      {"twins", required_argument, nullptr, OPT_TWINS},
      {"twins-own", required_argument, nullptr, OPT_TWINS_OWN},
      {"seed", required_argument, nullptr, OPT_SEED},
      {"lbserver", required_argument, nullptr, OPT_LBSERVER},
      {"tcp", required_argument, nullptr, OPT_TCP},
      {"lb-lf", no_argument, nullptr, OPT_LB_LF},
      {"lb-lower", no_argument, nullptr, OPT_LB_LOWER},
      {"lb-split", no_argument, nullptr, OPT_LB_SPLIT},
      {"lb-sent-hex", no_argument, nullptr, OPT_LB_SENT_HEX},
      {"lb-no-error", no_argument, nullptr, OPT_LB_NO_ERROR},
      {"lb-early-echo", no_argument, nullptr, OPT_LB_EARLY_ECHO},
      {"lb-error", required_argument, nullptr, OPT_LB_ERROR},
      {"lb-no-version", no_argument, nullptr, OPT_LB_NO_VERSION},
      {"lb-jmri", no_argument, nullptr, OPT_LB_JMRI},
      {"lb-drop", required_argument, nullptr, OPT_LB_DROP},
      {"z21", required_argument, nullptr, OPT_Z21},
      {"z21-hw", required_argument, nullptr, OPT_Z21_HW},
      {"z21-fw", required_argument, nullptr, OPT_Z21_FW},
      {"z21-forget", required_argument, nullptr, OPT_Z21_FORGET},
      {"z21-loss", required_argument, nullptr, OPT_Z21_LOSS},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  constexpr unsigned long MAX_US = 60000000;  // a minute: anything longer is a typo
  bool modules_given = false;
  int c;
  opterr = 0;
  int idx = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): options are read before any thread starts
  while ((c = getopt_long(argc, argv, ":hv", longs, &idx)) != -1) {
    const char *name = longs[idx].name;
    switch (c) {
      case OPT_MODULES:
        if (!modules_given) o->modules.clear();
        modules_given = true;
        list(name, optarg, &o->modules);
        break;
      case OPT_LINK:
        *link = optarg;
        break;
      case OPT_NO_ECHO:
        o->echo = false;
        break;
      case OPT_STATE:
        o->state_file = optarg;
        break;
      case OPT_TURNAROUND:
        o->turnaround_us = number(name, optarg, MAX_US);
        break;
      case OPT_DELAY:
        o->delay_us = number(name, optarg, MAX_US);
        break;
      case OPT_DROP:
        o->drop = probability(name, optarg);
        break;
      case OPT_NOISE:
        o->noise = probability(name, optarg);
        break;
      case OPT_TRAFFIC:
        o->traffic = true;
        break;
      case OPT_BYTEWISE:
        o->bytewise = true;
        break;
      case OPT_PACE:
        o->pace = true;
        break;
      case OPT_USB_LATENCY:
        o->usb_latency_ms = number(name, optarg, 1000);
        break;
      case OPT_SILENT:
        list(name, optarg, &o->silent);
        break;
      case OPT_IMPOSTOR:
        list(name, optarg, &o->impostor);
        break;
      case OPT_ANSWER_ONLY:
        o->answer_only.push_back(addr_pair(name, optarg, 0xFFFFFFFF));
        break;
      case OPT_PROGRAMMING:
        list(name, optarg, &o->programming);
        break;
      case OPT_INTRUDER:
        o->intruder.push_back(addr_pair(name, optarg, 0xFFFFFFFF));
        break;
      case OPT_SELECT_US:
        o->select_us.push_back(addr_pair(name, optarg, MAX_US));
        break;
      case OPT_FLAGS80:
        list(name, optarg, &o->flags80);
        break;
      case OPT_STUCK: {
        const auto [addr, cv] = addr_pair(name, optarg, 0xFFFF);
        o->stuck.emplace_back(addr, static_cast<u16>(cv));
        break;
      }
      case OPT_BROADCAST_ENTERS:
        list(name, optarg, &o->broadcast_enters);
        break;
      case OPT_BROADCAST_DEAF:
        list(name, optarg, &o->broadcast_deaf);
        break;
      case OPT_BROADCAST_ORDER:
        list(name, optarg, &o->broadcast_order);
        break;
      case OPT_TWINS:
        list(name, optarg, &o->twins);
        break;
      case OPT_TWINS_OWN:
        list(name, optarg, &o->twins_own);
        break;
      case OPT_SEED:
        o->seed = number(name, optarg, 0xFFFFFFFF);
        break;
      case OPT_LBSERVER:
        o->lbserver = listen_addr(name, optarg);
        break;
      case OPT_TCP:
        o->tcp = listen_addr(name, optarg);
        break;
      case OPT_LB_LF:
        o->lb_lf = true;
        break;
      case OPT_LB_LOWER:
        o->lb_lower = true;
        break;
      case OPT_LB_SPLIT:
        o->lb_split = true;
        break;
      case OPT_LB_SENT_HEX:
        o->lb_sent_hex = true;
        break;
      case OPT_LB_NO_ERROR:
        o->lb_no_error = true;
        break;
      case OPT_LB_EARLY_ECHO:
        o->lb_early_echo = true;
        break;
      case OPT_LB_ERROR:
        o->lb_error = probability(name, optarg);
        break;
      case OPT_LB_NO_VERSION:
        o->lb_no_version = true;
        break;
      case OPT_LB_JMRI:
        o->lb_jmri = true;
        break;
      case OPT_LB_DROP:
        o->lb_drop = number(name, optarg, 0xFFFFFFFF);
        break;
      case OPT_Z21:
        o->z21 = listen_addr(name, optarg);
        break;
      case OPT_Z21_HW:
        o->z21_hw = code(name, optarg, 10);
        break;
      case OPT_Z21_FW:
        o->z21_fw = code(name, optarg, 16);
        break;
      case OPT_Z21_FORGET:
        o->z21_forget_ms = number(name, optarg, 0xFFFFFFFF);
        break;
      case OPT_Z21_LOSS:
        o->z21_loss = probability(name, optarg);
        break;
      case 'v':
        o->log = stderr;
        break;
      case 'h':
        fputs(USAGE, stdout);
        exit(0);  // NOLINT(concurrency-mt-unsafe): no thread runs yet
      case ':':
        bad_usage("option %s needs an argument", argv[optind - 1]);
      default:
        bad_usage("unknown option %s", argv[optind - 1]);
    }
  }
  if (optind < argc) bad_usage("unexpected argument %s", argv[optind]);
}

/// Points link at target; a symbolic link there already is replaced,
/// anything else is left alone and refused.
bool make_link(const std::string &link, const char *target) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      fprintf(stderr, "lnsim: %s exists and is not a symbolic link\n", link.c_str());
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target, link.c_str()) != 0) {
    fprintf(stderr, "lnsim: %s\n", sim_sys_error("Can't create link " + link, errno).c_str());
    return false;
  }
  return true;
}

/// "lbserver 127.0.0.1:1234": what a client connects to.
void print_server(const char *kind, const std::string &where, unsigned port) {
  std::string addr;
  unsigned given;
  sim_parse_listen(where, &addr, &given);
  if (addr.find(':') != std::string::npos) addr = "[" + addr + "]";
  printf("%s %s:%u\n", kind, addr.c_str(), port);
}

/// Removes link unless something else has taken its place meanwhile.
void remove_link(const std::string &link, const char *target) {
  char buf[256];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return;
  buf[n] = '\0';
  if (strcmp(buf, target) == 0) unlink(link.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  sim_opts o;
  std::string link;
  parse_args(argc, argv, &o, &link);

  // Blocked before any thread starts, so all of them inherit the mask and
  // only sigwait below sees the signals.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);  // a closed terminal, too, should not leave the link behind
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::string err;
  lnsim *s = lnsim_start(&o, &err);
  if (s == nullptr) {
    fprintf(stderr, "lnsim: %s\n", err.c_str());
    return 1;
  }
  if (!link.empty() && !make_link(link, lnsim_path(s))) {
    lnsim_stop(s);
    return 1;
  }
  printf("%s\n", lnsim_path(s));
  if (!o.lbserver.empty()) print_server("lbserver", o.lbserver, lnsim_lbserver_port(s));
  if (!o.tcp.empty()) print_server("tcp", o.tcp, lnsim_tcp_port(s));
  if (!o.z21.empty()) print_server("z21", o.z21, lnsim_z21_port(s));
  fflush(stdout);

  int sig;
  while (sigwait(&stop, &sig) != 0) {
  }
  if (!link.empty()) remove_link(link, lnsim_path(s));
  lnsim_stop(s);
  return 0;
}
