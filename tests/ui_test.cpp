// sens -u: the token and Host checks from tables, and the API of the real
// program against lnsim on loopback: every route, what it refuses, and the
// jobs as the bus sees them.
#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <csignal>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "guard.h"
#include "ln_rig.h"
#include "proc.h"
#include "sim_rig.h"

using nlohmann::json;

namespace {

TEST(UiGuard, TokenAndHostAndOrigin) {
  const std::string t = ui_new_token();
  ASSERT_EQ(t.size(), UI_TOKEN_HEX);
  EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(ui_new_token(), t);
  EXPECT_TRUE(ui_token_ok(t, t));
  for (const std::string &bad : {std::string(), t.substr(1), t + "0", std::string(32, '0')})
    EXPECT_FALSE(ui_token_ok(bad, t)) << bad;
  EXPECT_FALSE(ui_token_ok("", ""));

  const struct {
    std::string header, host;
    bool ok;
  } hosts[] = {
      {"127.0.0.1:7367", "127.0.0.1", true},
      {"localhost:7367", "127.0.0.1", true},
      {"LocalHost:7367", "127.0.0.1", true},
      {"127.0.0.1:7368", "127.0.0.1", false},  // another port
      {"127.0.0.1", "127.0.0.1", false},       // no port
      {"evil.example:7367", "127.0.0.1", false},
      {"127.0.0.1.evil.example:7367", "127.0.0.1", false},
      {"[::1]:7367", "::1", true},
      {"localhost:7367", "::1", true},
      {"[::1]:7367", "127.0.0.1", false},
      {"192.168.1.5:7367", "192.168.1.5", true},
      {"localhost:7367", "192.168.1.5", false},  // not an address it listens on
      {"192.168.1.6:7367", "192.168.1.5", false},
      {"192.168.1.5:7367", "0.0.0.0", true},  // any address literal when listening on all
      {"[fe80::1]:7367", "::", true},
      {"pi.local:7367", "0.0.0.0", false},  // but no name: it may be rebound
      {"256.1.1.1:7367", "0.0.0.0", false},
      {"1.2.3:7367", "0.0.0.0", false},
      {"", "127.0.0.1", false},
  };
  for (const auto &h : hosts) EXPECT_EQ(ui_host_ok(h.header, h.host, 7367), h.ok) << h.header;

  EXPECT_TRUE(ui_origin_ok("", "127.0.0.1:7367"));
  EXPECT_TRUE(ui_origin_ok("http://127.0.0.1:7367", "127.0.0.1:7367"));
  EXPECT_FALSE(ui_origin_ok("http://evil.example", "127.0.0.1:7367"));
  EXPECT_FALSE(ui_origin_ok("null", "127.0.0.1:7367"));
  EXPECT_FALSE(ui_origin_ok("https://127.0.0.1:7367", "127.0.0.1:7367"));
}

// --- The program --------------------------------------------------------------------

/// sens -u in the background, its URL's port and token, and a client for it.
struct ui_run {
  proc_bg p;
  unsigned port = 0;
  std::string token;

  explicit ui_run(const std::vector<std::string> &args) {
    std::vector<std::string> argv{SENS_BIN, "-u", "--no-browser"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(proc_start(&p, argv));
    std::string url;
    EXPECT_TRUE(proc_read_line(&p, &url, rig_scaled_ms(10000)));
    const std::size_t colon = url.rfind(':'), slash = url.find("/#token=");
    EXPECT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
    if (colon != std::string::npos && slash != std::string::npos) {
      port = static_cast<unsigned>(std::stoul(url.substr(colon + 1, slash - colon - 1)));
      token = url.substr(slash + 8);
    }
  }
  ~ui_run() { proc_stop(&p, SIGINT, rig_scaled_ms(5000)); }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", static_cast<int>(port));
    c.set_read_timeout(rig_scaled_ms(10000) / 1000, 0);
    return c;
  }
  httplib::Headers with_token() const { return {{"X-Sens-Token", token}}; }
  /// The answer's status and JSON body (null for none).
  std::pair<int, json> get(const std::string &path) const {
    auto r = client().Get(path, with_token());
    if (!r) return {0, nullptr};
    return {r->status, json::parse(r->body, nullptr, false)};
  }
  std::pair<int, json> post(const std::string &path, const json &body) const {
    auto r = client().Post(path, with_token(), body.dump(), "application/json");
    if (!r) return {0, nullptr};
    return {r->status, json::parse(r->body, nullptr, false)};
  }
  /// Runs a job to its end; its record.
  json job(const std::string &kind, const json &args) const {
    const auto [status, started] = post("/api/" + kind, args);
    EXPECT_EQ(status, 202) << started.dump();
    if (status != 202) return nullptr;
    const std::string path = "/api/job/" + std::to_string(started["job"].get<unsigned>());
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(rig_scaled_ms(20000));
    for (;;) {
      json j = get(path).second;
      if (j.value("state", "") != "running" || std::chrono::steady_clock::now() > until) return j;
      rig_sleep_ms(20);  // the page's polling, faster
    }
  }
};

std::string statuses(const json &results) {
  std::string s;
  for (const json &r : results)
    s += std::to_string(r["address"].get<unsigned>()) + ":" + r["status"].get<std::string>() + " ";
  return s;
}

TEST(UiApi, EveryRouteAndWhatItRefuses) {
  sim_opts o;
  o.modules = {1};
  sim_rig m(o);
  ui_run u({"locobuffer", m.path()});
  httplib::Client c = u.client();
  const std::string host = "127.0.0.1:" + std::to_string(u.port);
  const httplib::Headers tok = u.with_token();
  auto headers = [&](std::initializer_list<std::pair<std::string, std::string>> more) {
    httplib::Headers h = tok;
    for (const auto &kv : more) h.emplace(kv.first, kv.second);
    return h;
  };
  const std::string big(std::size_t{70} * 1024, ' ');
  const httplib::Headers wrong_token = {{"X-Sens-Token", std::string(32, 'a')}};
  const httplib::Headers rebound = {{"Host", "evil.example"}};
  const struct {
    const char *what;
    std::function<httplib::Result()> send;
    int status;
    std::string says;  // a part of the body
  } cases[] = {
      {"the page", [&] { return c.Get("/"); }, 200, "<"},
      {"its script", [&] { return c.Get("/app.js"); }, 200, ""},
      {"its style", [&] { return c.Get("/app.css"); }, 200, ""},
      {"no such path", [&] { return c.Get("/etc/passwd"); }, 404, "Not found"},
      {"a path of the API with another method", [&] { return c.Delete("/api/state", tok); }, 405,
       "Method"},
      {"GET where POST is wanted", [&] { return c.Get("/api/read", tok); }, 405, "Method"},
      {"no token", [&] { return c.Get("/api/state"); }, 403, "token"},
      {"a wrong token", [&] { return c.Get("/api/state", wrong_token); }, 403, "token"},
      {"another Host (a rebound name)",
       [&] {
         return c.Get("/api/state", headers({{"Host", "evil.example:" + std::to_string(u.port)}}));
       },
       403, "address"},
      {"the page through another Host", [&] { return c.Get("/", rebound); }, 403, "address"},
      {"a form's POST",
       [&] { return c.Post("/api/read", tok, "addresses=1", "application/x-www-form-urlencoded"); },
       415, "JSON"},
      {"another site's origin",
       [&] {
         return c.Post("/api/read", headers({{"Origin", "http://evil.example"}}), "{}",
                       "application/json");
       },
       403, "site"},
      {"the page's own origin",
       [&] {
         return c.Post("/api/parse", headers({{"Origin", "http://" + host}}), R"({"text": ""})",
                       "application/json");
       },
       200, "modules"},
      {"malformed JSON", [&] { return c.Post("/api/read", tok, "{addresses", "application/json"); },
       400, "Malformed JSON"},
      {"a body over 64 KiB", [&] { return c.Post("/api/parse", tok, big, "application/json"); },
       413, ""},
      {"letters in the address list",
       [&] { return c.Post("/api/read", tok, R"({"addresses": "1,a"})", "application/json"); }, 400,
       "Bad address specifier"},
      {"a missing number",
       [&] { return c.Post("/api/read", tok, R"({"addresses": ",5"})", "application/json"); }, 400,
       "Missing numeral constant after comma"},
      {"a value above 255",
       [&] {
         return c.Post(
             "/api/write", tok,
             R"({"modules": [{"address": 1, "values": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,300]}]})",
             "application/json");
       },
       400, "Number out of range: module 1, CV 160 = 300"},
      {"fifteen values",
       [&] {
         return c.Post(
             "/api/write", tok,
             R"({"modules": [{"address": 1, "values": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15]}]})",
             "application/json");
       },
       400, "15 values, 16 wanted"},
      {"an address above 65535",
       [&] {
         return c.Post("/api/write", tok, R"({"modules": [{"address": 65536, "values": []}]})",
                       "application/json");
       },
       400, "address 65536"},
      {"an interface open already",
       [&] {
         return c.Post("/api/open", tok, R"({"interface": "locobuffer", "port": "x"})",
                       "application/json");
       },
       409, "open already"},
      {"a job nobody started", [&] { return c.Get("/api/job/999", tok); }, 404, "No such job"},
      {"sens lines as write mode reads them",
       [&] {
         return c.Post("/api/parse", tok,
                       R"({"text": "1: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\r\n2 :x\n"})",
                       "application/json");
       },
       400, "Bad char in numeral constant a line 2"},
      {"a line with a letter where the line is still right",
       [&] {
         return c.Post("/api/parse", tok,
                       R"({"text": "1: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 +6"})",
                       "application/json");
       },
       200, "Illegal chars in line 1, offset 39"},
      {"the interface kinds", [&] { return c.Get("/api/ports", tok); }, 200, R"("name":"z21")"},
  };
  for (const auto &k : cases) {
    const httplib::Result r = k.send();
    ASSERT_TRUE(r) << k.what;
    EXPECT_EQ(r->status, k.status) << k.what << ": " << r->body;
    EXPECT_NE(r->body.find(k.says), std::string::npos) << k.what << ": " << r->body;
    if (k.status == 405) {
      EXPECT_FALSE(r->get_header_value("Allow").empty()) << k.what;
    }
  }
  // The page may run only its own script, and may not be framed.
  const httplib::Result page = c.Get("/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"),
            std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
            std::string::npos);
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
  EXPECT_EQ(page->get_header_value("Access-Control-Allow-Origin"), "");
  // None of it reached the bus, and the server still answers.
  EXPECT_EQ(m.sent({}, 300), "");
  EXPECT_EQ(u.get("/api/state").first, 200);
}

// The jobs as the command line's modes would do them: the bus sees what -d,
// -r and -w send, the table and the log what they print.
TEST(UiApi, FindReadWriteAndCancel) {
  sim_opts o;
  o.modules = {1, 2, 3, 5};
  o.silent = {5};
  o.stuck = {{2, 150}};
  sim_rig m(o);
  ui_run u({"locobuffer", m.path()});
  json j = u.job("discover", json::object());
  EXPECT_EQ(statuses(j["results"]), "1:unknown 2:unknown 3:unknown ");
  EXPECT_EQ(j["state"], "done");

  m.sent({});  // forget the search's requests
  j = u.job("read", {{"addresses", "1,5"}});
  EXPECT_EQ(statuses(j["results"]), "1:read 5:no-response ");
  EXPECT_EQ(j["results"][0]["values"],
            json({16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31}));
  std::vector<std::string> want = {"rel 0", "rd 0", "sel 1"};
  for (unsigned cv = 145; cv <= 160; ++cv) want.push_back("rd " + std::to_string(cv));
  want.insert(want.end(), {"rel 1", "sel 5", "rel 5"});
  EXPECT_EQ(m.sent(want), "");

  const std::vector<int> sevens(16, 7);
  j = u.job(
      "write",
      {{"modules", {{{"address", 1}, {"values", sevens}}, {{"address", 2}, {"values", sevens}}}}});
  EXPECT_EQ(statuses(j["results"]), "1:written 2:failed ");
  EXPECT_EQ(j["results"][1]["message"], "Verify failed for module 2: CV 150");
  EXPECT_EQ(m.cvs(1), " 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7");
  const json state = u.get("/api/state").second;
  EXPECT_EQ(state["modules"][0]["values"], json(sevens));
  EXPECT_EQ(state["log"], json({"No response from 5", "Verify failed for module 2: CV 150"}));

  // A read of many silent addresses runs long: a second job waits its turn,
  // and a cancel ends it after the module it is at.
  const auto [status, started] = u.post("/api/read", {{"addresses", "5-9"}});
  ASSERT_EQ(status, 202);
  EXPECT_EQ(u.post("/api/discover", json::object()).first, 409);
  EXPECT_EQ(u.post("/api/cancel", json::object()).second["cancelled"], true);
  const std::string path = "/api/job/" + std::to_string(started["job"].get<unsigned>());
  for (int i = 0; i < rig_scaled_ms(5000) / 20 && (j = u.get(path).second)["state"] == "running";
       ++i)
    rig_sleep_ms(20);
  EXPECT_EQ(j["state"], "cancelled");
  EXPECT_LT(j["done"].get<int>(), 5);
  EXPECT_TRUE(m.wait_clean().empty());
}

// Without an interface on the command line the page opens one, once; what
// cannot be opened is said in the command line's words, and the run goes on.
TEST(UiApi, TheInterfaceChosenOnThePage) {
  sim_opts o;
  o.modules = {3};
  sim_rig m(o);
  ui_run u({});
  EXPECT_EQ(u.get("/api/state").second["open"], false);
  {
    ui_run second({});  // the default port is taken: another, and answering there
    EXPECT_NE(second.port, u.port);
    EXPECT_EQ(second.get("/api/state").first, 200);
  }
  EXPECT_EQ(u.post("/api/read", {{"addresses", "3"}}).first, 409);
  EXPECT_EQ(u.post("/api/open", {{"interface", "bogus"}, {"port", "x"}}).second["error"],
            "bad interaface name bogus");
  const auto [status, body] =
      u.post("/api/open", {{"interface", "locobuffer"}, {"port", "/nonexistent/port"}});
  EXPECT_EQ(status, 400);
  if (!proc_windows()) {
    EXPECT_EQ(body["error"], "Can't open /nonexistent/port: No such file or directory (errno: 2)");
  }
  EXPECT_EQ(u.post("/api/open", {{"interface", "locobuffer"}, {"port", m.path()}}).first, 200);
  EXPECT_EQ(u.post("/api/open", {{"interface", "locobuffer"}, {"port", m.path()}}).first, 409);
  EXPECT_EQ(statuses(u.job("read", {{"addresses", "3"}})["results"]), "3:read ");

  // A signal in the middle of a write ends the run as it ends -w: the module
  // being written is released.
  const std::size_t before = m.wait_sent(0, 0).size();
  const json nines = {{"modules", {{{"address", 3}, {"values", std::vector<int>(16, 9)}}}}};
  ASSERT_EQ(u.post("/api/write", nines).first, 202);
  m.wait_sent(before + 10);
  const int sig = proc_windows() ? SIGINT : SIGTERM;  // wine runs no handler for the others
  EXPECT_TRUE(proc_ended_by(proc_stop(&u.p, sig, rig_scaled_ms(5000)), sig));
  EXPECT_EQ(m.wait_clean(), std::set<unsigned>{});
}

}  // namespace
