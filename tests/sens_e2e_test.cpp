// The real sens binary against an in-process lnsim: exact stdout and stderr,
// exit status, the requests on the wire and the modules' CVs afterwards.
#include <csignal>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "proc.h"
#include "sim_rig.h"
#include "tmp.h"

namespace {

const std::string USAGE = std::string("Usage: ") + SENS_BIN +
                          " <interface> <serial port> <firmware image>\n"
                          "       with <interface> one of:\n\n"
                          "       locobuffer: RRCirkits LocoBuffer\n"
                          "       63120: Uhlenbrock USB-LocoNet-Interface 63120\n"
                          "       lbserver: LocoNet over TCP server (LbServer), HOST[:PORT]\n"
                          "       tcp: raw LocoNet bytes over TCP, HOST:PORT\n"
                          "       z21: Z21 command station (LAN, UDP), HOST[:PORT]\n";

const char *const NO_PORT = "/nonexistent/port";

proc_result sens(const std::vector<std::string> &args, const std::string &in = "") {
  std::vector<std::string> argv{SENS_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  proc_opts o;
  o.in = in;
  proc_result r = proc_run(argv, o);
  EXPECT_FALSE(r.timed_out);
  return r;
}

std::string line_of(unsigned addr, const std::string &values) {
  std::string s = std::to_string(addr) + ":";
  for (int i = 0; i < 16; ++i) s += " " + values;
  return s;
}

sim_opts modules(std::vector<u16> addrs) {
  sim_opts o;
  o.modules = std::move(addrs);
  return o;
}

/// The requests of a complete read of one module.
std::vector<std::string> full_read(unsigned addr) {
  std::vector<std::string> r{"sel " + std::to_string(addr)};
  for (unsigned cv = 145; cv <= 160; ++cv) r.push_back("rd " + std::to_string(cv));
  r.push_back("rel " + std::to_string(addr));
  return r;
}

/// The requests of a complete write of one module: select, identity read,
/// sixteen writes, sixteen reads back, release.
std::vector<std::string> full_write(unsigned addr, const std::vector<unsigned> &vals) {
  std::vector<std::string> r{"sel " + std::to_string(addr), "rd 0"};
  for (unsigned i = 0; i < 16; ++i)
    r.push_back("wr " + std::to_string(145 + i) + "=" + std::to_string(vals[i]));
  for (unsigned cv = 145; cv <= 160; ++cv) r.push_back("rd " + std::to_string(cv));
  r.push_back("rel " + std::to_string(addr));
  return r;
}

/// What a read run sends before the first module: the release of module 0,
/// then the read of CV 0 that finds modules left in programming mode. A write
/// run sends the read alone, before its first select.
const std::vector<std::string> READ_START = {"rel 0", "rd 0"};
const std::vector<std::string> WRITE_START = {"rd 0"};

/// A select that is never answered, and the release that follows it.
std::vector<std::string> unanswered(unsigned addr) {
  std::vector<std::string> r(4, "sel " + std::to_string(addr));
  r.push_back("rel " + std::to_string(addr));
  return r;
}

std::vector<std::string> repeat(const std::string &w, int n) { return std::vector(n, w); }

std::vector<std::string> cat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> r;
  for (const auto &p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

// --- Command line ---------------------------------------------------------------

TEST(CommandLine, ErrorsFoundBeforeThePortIsOpened) {
  struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "Wrong number of parameters\n"},
      {{"-r"}, "Wrong number of parameters\n"},
      {{"-r", "locobuffer"}, "Wrong number of parameters\n"},
      {{"-w", "locobuffer"}, "Wrong number of parameters\n"},
      // The name is looked up exactly, before the port would fail to open.
      {{"-r", "LocoBuffer", NO_PORT, "1"}, "bad interaface name LocoBuffer\n\n"},
      {{"-w", "locobuffer2", NO_PORT}, "bad interaface name locobuffer2\n\n"},
      {{"-x", "", NO_PORT}, "bad interaface name \n\n"},
  };
  for (const auto &c : cases) {
    proc_result r = sens(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err + USAGE);
  }
}

TEST(CommandLine, HelpAndVersionAnswerOnStdoutOnlyAlone) {
  for (const std::string arg : {"--help", "-h", "--version"}) {
    const proc_result r = sens({arg});
    EXPECT_EQ(r.status, 0) << arg;
    EXPECT_EQ(r.err, "") << arg;
    EXPECT_EQ(r.out.rfind(arg == "--version" ? "sens 1." : "Usage: ", 0), 0u) << r.out;
  }
  EXPECT_EQ(sens({"--help", "x"}).err, "Wrong number of parameters\n" + USAGE);
}

TEST(CommandLine, PortIsOpenedBeforeOptionAndCountAreExamined) {
  const std::string cant =
      std::string("Can't open ") + NO_PORT + ": No such file or directory (errno: 2)\n";
  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {"-x", "locobuffer", NO_PORT},
           {"-r", "63120", NO_PORT},
           {"-w", "locobuffer", NO_PORT, "1"},
           {"-r", "locobuffer", NO_PORT, "1a"},
       }) {
    proc_result r = sens(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, cant);
  }
}

TEST(CommandLine, ErrorsAfterTheOpenSendNothing) {
  sim_rig m(modules({1}));
  const std::string port = m.path();
  struct {
    std::vector<std::string> args;
    std::string err;  // the usage text follows unless noted
    bool usage = true;
  } cases[] = {
      {{"-x", "locobuffer", port}, "Bad option -x\n"},
      {{"-rw", "locobuffer", port, "1"}, "Bad option -rw\n"},
      {{"-R", "63120", port, "1"}, "Bad option -R\n"},
      {{"", "63120", port, "1"}, "Bad option \n"},
      {{"-r", "locobuffer", port}, "Wrong number of parameters\n"},
      {{"-r", "locobuffer", port, "1", "2"}, "Wrong number of parameters\n"},
      {{"-w", "locobuffer", port, "1"}, "Wrong number of parameters\n\n"},
      {{"-d", "locobuffer", port, "1"}, "Wrong number of parameters\n"},
      {{"-r", "locobuffer", port, ""}, "Bad address specifier\n"},
      {{"-r", "locobuffer", port, "1a"}, "Bad address specifier\n"},
      {{"-r", "locobuffer", port, "1, 2"}, "Bad address specifier\n"},
      {{"-r", "locobuffer", port, ",5"}, "Missing numeral constant after comma\n", false},
      {{"-r", "locobuffer", port, "-"}, "Missing numeral constant after comma\n", false},
      {{"-r", "locobuffer", port, "5-"}, "Missing numeral constant after dash\n", false},
      {{"-r", "locobuffer", port, "1,5-,7"}, "Missing numeral constant after dash\n", false},
  };
  for (const auto &c : cases) {
    proc_result r = sens(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.out, "") << c.err;
    EXPECT_EQ(r.err, c.err + (c.usage ? USAGE : "")) << c.err;
  }
  // Anything sent would have been framed long before this wait ends.
  EXPECT_EQ(m.sent({}, 200), "");
}

// --- Read mode --------------------------------------------------------------------

TEST(ReadMode, AnsweringModulesInListOrder) {
  sim_rig m(modules({3, 7, 8, 9, 12}));
  ASSERT_TRUE(lnsim_set_cv(m.s, 9, 150, 300));  // only the low 8 bits are printed
  proc_result r = sens({"-r", "63120", m.path(), "3,7-9,12"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::string nine = default_line(9);
  nine.replace(nine.find(" 149 ") + 1, 3, "44");
  EXPECT_EQ(r.out, default_line(3) + default_line(7) + default_line(8) + nine + default_line(12));
  const auto want =
      cat({READ_START, full_read(3), full_read(7), full_read(8), full_read(9), full_read(12)});
  EXPECT_EQ(m.sent(want), "");
}

// Three modules out of the way cost about 1.2 s.
TEST(ReadMode, SilentAndHalfAnsweringModules) {
  sim_opts o = modules({5, 6, 7});
  o.silent = {6};
  o.answer_only = {{7, 6}};  // CVs 145..150, then nothing
  sim_rig m(o);
  proc_result r = sens({"-r", "locobuffer", m.path(), "5-7,4"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, default_line(5));
  EXPECT_EQ(r.err, "No response from 6\nNo response from 7\nNo response from 4\n");
  // A silent module gets four selects and a release (it may have heard one);
  // one that stops half way is released too.
  std::vector<std::string> seven = full_read(7);
  seven.resize(7);
  const auto want = cat({READ_START,
                         full_read(5),
                         unanswered(6),
                         seven,
                         repeat("rd 151", 4),
                         {"rel 7"},
                         unanswered(4)});
  EXPECT_EQ(m.sent(want), "");
}

TEST(ReadMode, RangeWrapsThrough65535) {
  sim_rig m(modules({65535, 1, 7}));
  proc_result r = sens({"-r", "locobuffer", m.path(), "65535-1,7-7"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, default_line(65535) + default_line(1) + default_line(7));
  EXPECT_EQ(r.err, "No response from 0\n");
  const auto want = cat({READ_START, full_read(65535), unanswered(0), full_read(1), full_read(7)});
  EXPECT_EQ(m.sent(want), "");
}

// --- Write mode -------------------------------------------------------------------

TEST(WriteMode, ReadOutputWrittenBackAfterEditing) {
  sim_rig m(modules({20, 21}));
  proc_result rd = sens({"-r", "locobuffer", m.path(), "20-21"});
  ASSERT_EQ(rd.out, default_line(20) + default_line(21));
  ASSERT_EQ(m.sent(cat({READ_START, full_read(20), full_read(21)})), "");

  // Every value one up, in the reader's own format.
  std::string edited;
  std::vector<std::vector<unsigned>> want(2);
  for (unsigned a = 20; a <= 21; ++a) {
    edited += std::to_string(a) + ":";
    for (unsigned i = 0; i < 16; ++i) {
      want[a - 20].push_back(((a * 16 + i) & 0xFF) + 1);
      edited += " " + std::to_string(want[a - 20].back());
    }
    edited += "\r\n";
  }
  proc_result wr = sens({"-w", "locobuffer", m.path()}, edited);
  EXPECT_EQ(wr.status, 0);
  EXPECT_EQ(wr.out, "");
  EXPECT_EQ(wr.err, "");
  const auto sent = cat({WRITE_START, full_write(20, want[0]), full_write(21, want[1])});
  EXPECT_EQ(m.sent(sent), "");

  rd = sens({"-r", "63120", m.path(), "20,21"});
  EXPECT_EQ(rd.out, edited);
}

TEST(WriteMode, LooseSpacingAndSigns) {
  sim_rig m(modules({12, 20}));
  // Tabs, a spaced colon, no final line feed; a plus sign is read, with a warning.
  const std::string in =
      " 20 :\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\t15\t16 \r\n" + line_of(12, "+2");
  proc_result r = sens({"-w", "locobuffer", m.path()}, in);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Illegal chars in line 2, offset 4\n");
  EXPECT_EQ(m.cvs(20), " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16");
  EXPECT_EQ(m.cvs(12), line_of(12, "2").substr(3));
  std::vector<unsigned> sixteen_up, twos(16, 2);
  for (unsigned i = 1; i <= 16; ++i) sixteen_up.push_back(i);
  EXPECT_EQ(m.sent(cat({WRITE_START, full_write(20, sixteen_up), full_write(12, twos)})), "");
}

TEST(WriteMode, MalformedLaterLineEndsTheRunAfterEarlierLinesWereWritten) {
  using namespace std::string_literals;
  sim_rig m(modules({20, 21}));
  const std::string ok = line_of(21, "1");
  struct {
    std::string bad;
    std::string err;
  } cases[] = {
      {"\n", "Premature end of input on line 2\n"},
      {"20:" + std::string(30, ' ') + "\r\n", "Premature end of input on line 2\n"},
      {line_of(20, "1").substr(0, 33) + "\r\n", "Premature end of input on line 2\n"},
      {line_of(20, "1") + " 1\r\n", "Trailing garbage on line 2\n"},
      {"20 1 2\n", "Colon after address is missing\n"},
      {"20: x" + line_of(20, "1").substr(4) + "\n",
       "Illegal chars in line 2, offset 4\nBad char in numeral constant a line 2\n"},
      {"20 ;" + line_of(20, "1").substr(2) + "\n",
       "Illegal chars in line 2, offset 3\nColon after address is missing\n"},
      {line_of(20, "1") + " #\n",
       "Illegal chars in line 2, offset 36\nTrailing garbage on line 2\n"},
      {line_of(20, "1") + "\0\n"s,
       "Illegal chars in line 2, offset 35\nTrailing garbage on line 2\n"},
      {"20:\0"s + line_of(20, "1").substr(3),
       "Illegal chars in line 2, offset 3\nBad char in numeral constant a line 2\n"},
      // Numbers that would lose their high bits: nothing of the line is written.
      {line_of(20, "256") + "\n", "Number out of range on line 2\n"},
      {line_of(65556, "1") + "\n", "Number out of range on line 2\n"},
      {line_of(20, "99999999999") + "\n", "Number out of range on line 2\n"},
      {line_of(20, "-2") + "\n",
       "Illegal chars in line 2, offset 4\nNumber out of range on line 2\n"},
  };
  unsigned v = 100;
  for (const auto &c : cases) {
    ++v;
    const std::string first = line_of(21, std::to_string(v)) + "\n";
    proc_result r = sens({"-w", "locobuffer", m.path()}, first + c.bad + ok + "\n");
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(m.cvs(21), line_of(21, std::to_string(v)).substr(3)) << c.err;
    EXPECT_EQ(m.cvs(20), default_line(20).substr(3, default_line(20).size() - 5)) << c.err;
  }
}

// The first line holds more than a megabyte of blanks around its numbers.
TEST(WriteMode, MegabyteLine) {
  sim_rig m(modules({20}));
  const std::string pad(1 << 20, ' ');
  std::string in = pad + "20" + pad + ":";
  for (int i = 0; i < 16; ++i) in += pad + std::to_string(i);
  proc_result r = sens({"-w", "locobuffer", m.path()}, in + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(m.cvs(20), " 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15");
}

// Two modules out of the way cost about 0.8 s.
TEST(WriteMode, ModulesThatDoNotAnswerAreReportedAndSkipped) {
  sim_opts o = modules({30, 31});
  o.answer_only = {{31, 3}};
  sim_rig m(o);
  const std::string in = line_of(32, "1") + "\n" + line_of(31, "2") + "\n" + line_of(30, "3");
  proc_result r = sens({"-w", "locobuffer", m.path()}, in);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "No response from 32\nNo response from 31\n");
  EXPECT_EQ(m.cvs(30), line_of(30, "3").substr(3));
  EXPECT_EQ(m.cvs(31).substr(0, 10), " 2 2 242 2");
  const auto want = cat({WRITE_START,
                         unanswered(32),
                         {"sel 31", "rd 0", "wr 145=2", "wr 146=2"},
                         repeat("wr 147=2", 4),
                         {"rel 31"},
                         full_write(30, std::vector(16u, 3u))});
  EXPECT_EQ(m.sent(want), "");
}

TEST(WriteMode, UnreadableInputIsAnError) {
  sim_rig m(modules({1}));
  tmp_dir dir;
  proc_opts o;
  o.stdin_path = dir.path;
  proc_result r = proc_run({SENS_BIN, "-w", "locobuffer", m.path()}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Can't read input: Is a directory (errno: 21)\n");
  EXPECT_EQ(m.sent({}, 200), "");  // a window in which nothing may come
}

// --- Discovery --------------------------------------------------------------------

TEST(Discovery, FindsTheModulesAndLeavesNoneInProgrammingMode) {
  auto with = [](std::vector<u16> addrs, const std::function<void(sim_opts &)> &set) {
    sim_opts o = modules(std::move(addrs));
    set(o);
    return o;
  };
  const std::string twice = " answered twice: two modules may share it\n";
  std::vector<u16> thirty;
  for (u16 a = 1; a <= 30; ++a) thirty.push_back(a);
  struct {
    sim_opts o;
    std::string out, err;
    std::vector<unsigned> released;     // after the broadcasts
    std::vector<std::string> before{};  // before them
  } cases[] = {
      // 65535 takes the broadcast as its own select.
      {modules({1, 2, 3, 12, 65535}), "1-3,12,65535\n", "", {1, 2, 3, 12, 65535}},
      {with({3, 12}, [](sim_opts &o) { o.programming = {3}; }),
       "3,12\n",
       "Released module 3, left in programming mode\n",
       {3, 12},
       {"rel 3"}},
      // With this seed a reply to the first broadcast is lost, the second
      // brings it, and a third follows.
      {with({1, 2, 3, 4},
            [](sim_opts &o) {
              o.broadcast_enters = {2}, o.broadcast_deaf = {3}, o.drop = 0.3, o.seed = 2;
            }),
       "1-2,4\n",
       "",
       {1, 2, 4}},
      {with({1, 2, 12}, [](sim_opts &o) { o.twins = {12}, o.twins_own = {2}; }),
       "1-2,12\n",
       "Module address 2" + twice + "Module address 12" + twice,
       {1, 2, 12}},
      {with({1}, [](sim_opts &o) { o.silent = {1}; }), "", "No module answered\n", {}},
      {with(thirty, [](sim_opts &o) { o.pace = true; }),
       "1-30\n",
       "",
       {thirty.begin(), thirty.end()}},
  };
  for (auto &c : cases) {
    sim_rig m(c.o);
    const proc_result r = sens({"-d", "locobuffer", m.path()});
    EXPECT_EQ(r.status, 0) << c.out;
    EXPECT_EQ(r.out, c.out);
    // A loaded machine can stall lnsim's paced bus past a reply window: late
    // replies then pass for a second answer or for a leftover in the sweep.
    EXPECT_TRUE(r.err == c.err || c.o.pace) << r.err;
    // Two to four broadcasts (one request in want matches up to four), the sweep before and after.
    std::vector<std::string> want = cat({{"rd 0"}, c.before, {"sel 65535"}});
    for (unsigned a : c.released) want.push_back("rel " + std::to_string(a));
    if (!c.o.pace) {
      EXPECT_EQ(m.sent(cat({want, {"rd 0"}})), "") << c.out;
    }
    EXPECT_TRUE(m.wait_clean().empty()) << c.out;
    const std::string first = "module " + std::to_string(c.o.modules[0]) + " answers the broadcast";
    EXPECT_TRUE(c.out.empty() || (m.logged(first) && m.logged(first))) << c.out << ": once only";
  }
  sim_rig m(cases[0].o);
  const std::string found = sens({"-d", "locobuffer", m.path()}).out;
  const proc_result r = sens({"-r", "locobuffer", m.path(), found.substr(0, found.size() - 1)});
  EXPECT_EQ(r.out, default_line(1) + default_line(2) + default_line(3) + default_line(12) +
                       default_line(65535));
}

// --- Bus safety -------------------------------------------------------------------

const std::string RELEASED_3 = "Released module 3, left in programming mode\n";

// Module 3 was left in programming mode by a run that died: it would answer
// every read and write of module 12 too.
TEST(BusSafety, LeftoverIsReleasedAndNeverMixesIn) {
  sim_opts o = modules({3, 12});
  o.programming = {3};
  o.flags80 = {12};             // firmware whose select replies carry 0x80
  o.select_us = {{12, 15000}};  // and take 15 ms
  {
    sim_rig m(o);
    proc_result r = sens({"-r", "locobuffer", m.path(), "12"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, RELEASED_3);
    EXPECT_EQ(r.out, default_line(12));
    EXPECT_EQ(m.sent(cat({READ_START, {"rel 3"}, full_read(12)})), "");
    EXPECT_TRUE(m.wait_clean().empty());
  }
  sim_rig m(o);
  proc_result r = sens({"-w", "locobuffer", m.path()}, line_of(12, "7") + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, RELEASED_3);
  EXPECT_EQ(m.sent(cat({WRITE_START, {"rel 3"}, full_write(12, std::vector(16u, 7u))})), "");
  EXPECT_EQ(m.cvs(12), line_of(12, "7").substr(3));
  EXPECT_EQ(m.cvs(3), default_line(3).substr(2, default_line(3).size() - 4)) << "3 untouched";
  EXPECT_TRUE(m.wait_clean().empty());
}

// The module heard its select, but every reply was lost.
TEST(BusSafety, UnansweredSelectIsFollowedByARelease) {
  sim_opts o = modules({5});
  o.drop = 1.0;
  sim_rig m(o);
  proc_result r = sens({"-r", "locobuffer", m.path(), "5"});
  EXPECT_EQ(r.err, "No response from 5\n");
  EXPECT_EQ(m.sent(cat({READ_START, unanswered(5)})), "");
  EXPECT_TRUE(m.wait_clean().empty());
}

// Another program puts module 3 into programming mode while module 12 is
// being read or written.
TEST(BusSafety, SecondModuleAnsweringIsReportedAndReleased) {
  const std::string conflict = "Conflicting replies for module 12\n" + RELEASED_3;
  {
    sim_opts o = modules({3, 12, 13});
    o.intruder = {{3, 5}};  // after rel 0, rd 0, sel 12, rd 145, rd 146
    sim_rig m(o);
    proc_result r = sens({"-r", "locobuffer", m.path(), "12-13"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, conflict);
    EXPECT_EQ(r.out, default_line(13)) << "no line for 12";
    EXPECT_TRUE(m.wait_clean().empty());
  }
  sim_opts o = modules({3, 12, 13});
  o.intruder = {{3, 2}};  // after rd 0, sel 12: before anything is written
  sim_rig m(o);
  proc_result r = sens({"-w", "locobuffer", m.path()}, line_of(12, "7") + "\n" + line_of(13, "8"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, conflict);
  EXPECT_EQ(m.sent(cat({WRITE_START,
                        {"sel 12", "rd 0", "rel 12", "rd 0", "rel 3"},
                        full_write(13, std::vector(16u, 8u))})),
            "");
  EXPECT_EQ(m.cvs(3), default_line(3).substr(2, default_line(3).size() - 4));
  EXPECT_EQ(m.cvs(12), default_line(12).substr(3, default_line(12).size() - 5));
  EXPECT_EQ(m.cvs(13), line_of(13, "8").substr(3));
}

// A factory-fresh module (65535) written, read, and found then read, beside
// modules that answer its select as the broadcast: before it, so that its
// answer comes beyond a reply window, or after it. No conflict, leftover or
// "No response".
TEST(BusSafety, FactoryAddressBesideModulesThatAnswerItsBroadcast) {
  // Who answers the broadcast first, turnaround (us), pace. Behind five answers
  // of 9 ms, each 12 ms after the last, the factory module's comes ~130 ms late.
  const std::tuple<std::vector<u16>, unsigned, bool> cases[] = {
      {{65535}, 3000, false}, {{65535}, 3000, true}, {{127, 12, 5, 1, 3}, 12000, true}};
  for (const auto &[order, turnaround_us, pace] : cases) {
    sim_opts o = modules({1, 3, 5, 12, 127, 65535});
    o.broadcast_order = order;
    o.turnaround_us = turnaround_us;
    o.pace = pace;
    sim_rig m(o);
    const std::string what = std::to_string(order[0]) + " first, pace " + std::to_string(pace);
    const proc_result w = sens({"-w", "63120", m.path()}, line_of(65535, "7") + "\n");
    const proc_result r = sens({"-r", "63120", m.path(), "65535"});
    const proc_result d = sens({"-d", "63120", m.path()});
    const proc_result again = sens({"-r", "63120", m.path(), "65535"});
    EXPECT_EQ(w.err + r.err + r.out, line_of(65535, "7") + "\r\n") << what;
    EXPECT_EQ(d.err + d.out, "1,3,5,12,127,65535\n") << what;
    EXPECT_EQ(again.err + again.out, line_of(65535, "7") + "\r\n") << what;
    EXPECT_TRUE(m.wait_clean().empty()) << what;
  }
}

// A signal while the first sweep listens releases the leftover it heard.
TEST(BusSafety, SignalInTheSweepWindowReleasesWhatItHeard) {
  for (const std::string mode : {"-r", "-w", "-d"}) {
    sim_opts o = modules({3, 12});
    o.programming = {3};
    o.turnaround_us = 0;
    sim_rig m(o);
    std::vector<std::string> args{SENS_BIN, mode, "locobuffer", m.path()};
    if (mode == "-r") args.emplace_back("12");
    std::thread killer;
    proc_opts po;
    po.in = line_of(12, "9") + "\n";
    po.started = [&](int pid) {
      killer = std::thread([&, pid] {
        m.wait_sent(mode == "-r" ? 2 : 1);  // the sweep's read of CV 0, answered at once
        std::this_thread::sleep_for(std::chrono::milliseconds(40));  // of its 100 ms
        kill(pid, SIGINT);
      });
    };
    EXPECT_TRUE(proc_ended_by(proc_run(args, po), SIGINT)) << mode;
    killer.join();
    EXPECT_EQ(m.wait_clean(), std::set<unsigned>{}) << mode;
  }
}

// Acknowledged, but the cells kept their values.
TEST(BusSafety, WriteThatDidNotStickIsReported) {
  sim_opts o = modules({12});
  o.stuck = {{12, 150}, {12, 152}};
  sim_rig m(o);
  proc_result r = sens({"-w", "locobuffer", m.path()}, line_of(12, "7") + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Verify failed for module 12: CV 150, CV 152\n");
}

// A signal at a random moment of a run: the module being programmed is
// released, the tool ends as the signal ends a program, and every line it
// completed is on its standard output (a pipe here, fully buffered by default).
TEST(BusSafety, SignalsLeaveNoModuleInProgrammingModeAndKeepCompletedLines) {
  const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  // A fixed seed: the same random moments on every run, so a failure repeats.
  std::mt19937 rng(20261207);  // NOLINT(cert-msc32-c,cert-msc51-cpp)
  std::string input;
  for (unsigned a = 1; a <= 4; ++a) input += line_of(a, "9") + "\n";
  for (int run = 0; run < 24; ++run) {
    const int mode = run % 3;  // read, write, discovery
    const bool reading = mode == 0;
    const int sig = sigs[(run / 3) % 4];
    if (proc_windows() && sig != SIGINT) continue;  // see proc_windows()
    // A read of four modules sends 2 + 4 * 18 messages, a write 1 + 4 * 35;
    // a discovery sends 8, and releases what it heard from the second on.
    const std::size_t at = mode == 0 ? 1 + rng() % 73 : mode == 1 ? 1 + rng() % 140 : 3 + rng() % 6;
    sim_opts o = modules({1, 2, 3, 4});
    o.broadcast_enters = {1, 3};
    sim_rig m(o);
    std::vector<std::string> before;  // what the host had sent when the signal went out
    std::thread killer;
    proc_opts po;
    po.in = mode == 1 ? input : "";
    po.started = [&](int pid) {
      killer = std::thread([&, pid] {
        before = m.wait_sent(at);
        kill(pid, sig);
      });
    };
    const std::vector<std::vector<std::string>> modes = {
        {SENS_BIN, "-r", "locobuffer", m.path(), "1-4"},
        {SENS_BIN, "-w", "locobuffer", m.path()},
        {SENS_BIN, "-d", "locobuffer", m.path()}};
    const std::vector<std::string> &args = modes[mode];
    const proc_result r = proc_run(args, po);
    killer.join();
    const std::string what =
        args[1] + " signal " + std::to_string(sig) + " after message " + std::to_string(at);
    EXPECT_TRUE(proc_ended_by(r, sig)) << what << ": " << r.status << " " << r.err;
    EXPECT_EQ(r.err, "") << what;
    EXPECT_EQ(m.wait_clean(), std::set<unsigned>{}) << what;
    if (!reading) continue;
    // A line is printed right after its module's release goes out, before
    // the next request: every module released before the host's last message
    // had its line printed.
    std::size_t due = 0;
    for (std::size_t i = 0; i + 1 < before.size(); ++i)
      due += before[i].rfind("rel ", 0) == 0 && before[i] != "rel 0";
    std::string want;
    for (unsigned a = 1; a <= 4 && want.size() < r.out.size(); ++a) want += default_line(a);
    EXPECT_EQ(r.out, want) << what;
    EXPECT_GE(r.out.size(), due * default_line(1).size()) << what;
  }
}

}  // namespace
