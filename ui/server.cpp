// The page's server: the command line of -u, the checks every request
// passes, and the routes over the jobs of bus.h.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <regex>

#include <httplib.h>

#include "bus.h"
#include "guard.h"
#include "sens.h"
#include "system.h"
#include "ui.h"
#include "util.h"

using nlohmann::json;

namespace {

/// Where the server listens, as the checks need it.
struct listen_t {
  std::string host = "127.0.0.1";
  unsigned port = UI_PORT;
  bool port_given = false;
};

/// A path of the API or the page, and the methods it takes.
struct route_t {
  std::regex path;
  const char *allow;  ///< for 405's Allow
  bool post;          ///< takes POST (else GET and HEAD)
  bool api;           ///< needs the token
};

const std::vector<route_t> &routes() {
  static const std::vector<route_t> r = {
      {std::regex("/|/app\\.js|/app\\.css|/favicon\\.ico"), "GET, HEAD", false, false},
      {std::regex("/api/(ports|state|job/[0-9]{1,9})"), "GET, HEAD", false, true},
      {std::regex("/api/(open|discover|read|write|cancel|parse)"), "POST", true, true},
  };
  return r;
}

void send_json(httplib::Response &res, int status, const json &body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_content(body.dump(), "application/json");
}

void send_reply(httplib::Response &res, const ui_reply &r) { send_json(res, r.status, r.body); }

void refuse(httplib::Response &res, int status, const std::string &why) {
  send_json(res, status, {{"error", why}});
}

/// The words for a status the library answers by itself, a request it could
/// not take. Its own table moved between its releases.
const char *status_text(int status) {
  switch (status) {
    case 400:
      return "Bad request";
    case 404:
      return "Not found";
    case 413:
      return "Payload too large";
    case 414:
      return "URI too long";
    case 431:
      return "Request header fields too large";
    default:
      return status >= 500 ? "Internal error" : "Refused";
  }
}

/// What every request must pass before its route sees it.
httplib::Server::HandlerResponse check(const httplib::Request &req, httplib::Response &res,
                                       const listen_t &at, const std::string &token) {
  using H = httplib::Server::HandlerResponse;
  const std::string host = req.get_header_value("Host");
  if (!ui_host_ok(host, at.host, at.port)) {
    refuse(res, 403, "This server answers only to its own address");
    return H::Handled;
  }
  const route_t *route = nullptr;
  for (const route_t &r : routes())
    if (std::regex_match(req.path, r.path)) route = &r;
  if (route == nullptr) {
    refuse(res, 404, "Not found");
    return H::Handled;
  }
  const bool post = req.method == "POST";
  if (post != route->post || (!post && req.method != "GET" && req.method != "HEAD")) {
    res.set_header("Allow", route->allow);
    refuse(res, 405, "Method not allowed");
    return H::Handled;
  }
  if (route->api && !ui_token_ok(req.get_header_value("X-Sens-Token"), token)) {
    refuse(res, 403, "Missing or wrong token: open the address sens printed");
    return H::Handled;
  }
  if (post && !ui_origin_ok(req.get_header_value("Origin"), host)) {
    refuse(res, 403, "Requests from another site are refused");
    return H::Handled;
  }
  // A form of another site can send a POST, but not as JSON without asking first.
  if (post && req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
    refuse(res, 415, "A JSON body is wanted (Content-Type: application/json)");
    return H::Handled;
  }
  return H::Unhandled;
}

/// The request's JSON body, or a 400 already sent.
bool body_of(const httplib::Request &req, httplib::Response &res, json *out) {
  try {
    *out = json::parse(req.body.empty() ? std::string("{}") : req.body);
    if (out->is_object()) return true;
    refuse(res, 400, "A JSON object is wanted");
  } catch (const json::exception &e) {
    refuse(res, 400, std::string("Malformed JSON: ") + e.what());
  }
  return false;
}

void serve_asset(const httplib::Request &req, httplib::Response &res) {
  if (req.path == "/favicon.ico") {
    res.status = 204;
    return;
  }
  for (unsigned long i = 0; i < ui_asset_count; ++i) {
    const ui_asset &a = ui_assets[i];
    if (req.path != a.path) continue;
    // Only the page's own script and style run; it may not be framed.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'self'; style-src 'self'; connect-src "
                   "'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
                   "frame-ancestors 'none'");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    // Asked again each time: a page kept from another build would meet this one's API.
    res.set_header("Cache-Control", "no-cache");
    res.set_content(reinterpret_cast<const char *>(a.data), a.size, a.type);
    return;
  }
  refuse(res, 404, "Not found");
}

json ports_json() {
  json kinds = json::array();
  for (const name2lif_t &row : name2lif) {
    json k = {
        {"name", row.name}, {"desc", row.desc}, {"port", row.io == &ln_serial ? "serial" : "host"}};
    if (row.tcp_port != 0) k["default_port"] = row.tcp_port;
    kinds.push_back(k);
  }
  return {{"kinds", kinds}, {"ports", ui_serial_ports()}};
}

void add_routes(httplib::Server *svr, ui_bus *bus) {
  for (const char *path : {"/", "/app.js", "/app.css", "/favicon.ico"}) svr->Get(path, serve_asset);
  svr->Get("/api/ports", [](const httplib::Request &, httplib::Response &res) {
    send_json(res, 200, ports_json());
  });
  svr->Get("/api/state", [bus](const httplib::Request &, httplib::Response &res) {
    send_json(res, 200, ui_bus_state(bus));
  });
  svr->Get(R"(/api/job/(\d{1,9}))", [bus](const httplib::Request &req, httplib::Response &res) {
    send_reply(res, ui_bus_job(bus, static_cast<unsigned>(std::stoul(req.matches[1]))));
  });
  svr->Post("/api/open", [bus](const httplib::Request &req, httplib::Response &res) {
    json b;
    if (!body_of(req, res, &b)) return;
    if (!b.contains("interface") || !b["interface"].is_string() || !b.contains("port") ||
        !b["port"].is_string())
      return refuse(res, 400, "interface and port wanted, as texts");
    send_reply(res, ui_bus_open(bus, b["interface"], b["port"]));
  });
  for (const char *kind : {"discover", "read", "write"}) {
    svr->Post(std::string("/api/") + kind,
              [bus, kind](const httplib::Request &req, httplib::Response &res) {
                json b;
                if (body_of(req, res, &b)) send_reply(res, ui_bus_submit(bus, kind, b));
              });
  }
  svr->Post("/api/cancel", [bus](const httplib::Request &req, httplib::Response &res) {
    json b;
    if (body_of(req, res, &b)) send_reply(res, ui_bus_cancel(bus));
  });
  svr->Post("/api/parse", [](const httplib::Request &req, httplib::Response &res) {
    json b;
    if (!body_of(req, res, &b)) return;
    if (!b.contains("text") || !b["text"].is_string()) return refuse(res, 400, "text wanted");
    send_reply(res, ui_parse_lines(b["text"]));
  });
}

/// A command-line error: its line, then the usage text.
[[noreturn]] void bad_usage(const char *prog, const std::string &line) {
  fputs(line.c_str(), stderr);
  usage(prog);
}

}  // namespace

void ui_main(int argc, char **argv) {
  listen_t at;
  bool browser = true;
  std::vector<const char *> args;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-browser") {
      browser = false;
    } else if (a == "--listen" || a.rfind("--listen=", 0) == 0) {
      if (a == "--listen" && i + 1 == argc) bad_usage(argv[0], "Wrong number of parameters\n");
      const std::string where = a == "--listen" ? argv[++i] : a.substr(9);
      std::string host, port;
      // HOST:PORT, or HOST alone for the usual port.
      const char *why = lif_split_hostport(where.c_str(), 0, &host, &port);
      at.port_given = why == nullptr;
      if (why != nullptr && lif_split_hostport(where.c_str(), UI_PORT, &host, &port) == nullptr)
        why = nullptr;
      if (why != nullptr) ln_fatal("Can't listen on %s: %s\n", where.c_str(), why);
      at.host = host;
      at.port = static_cast<unsigned>(std::stoul(port));
    } else if (a.size() > 1 && a[0] == '-') {
      bad_usage(argv[0], "Bad option " + a + "\n");
    } else {
      args.push_back(argv[i]);
    }
  }
  if (!args.empty() && args.size() != 2) bad_usage(argv[0], "Wrong number of parameters\n");

  lif_t *lif = nullptr;
  if (args.size() == 2) {
    const name2lif_t *type = nullptr;
    for (const name2lif_t &row : name2lif)
      if (std::strcmp(row.name, args[0]) == 0) type = &row;
    if (type == nullptr) bad_usage(argv[0], std::string("bad interaface name ") + args[0] + "\n\n");
    lif = lif_open(args[1], type->num);
    if (lif == nullptr) ln_fatal("Can't open LocoNet interface %s\n", args[1]);
  }

  const std::string token = ui_new_token();
  if (token.empty()) ln_fatal("Can't draw the page's token from the system's random source\n");

  // Not static: the server lives until the process ends, and no exit path
  // may run its destructor while its threads still serve. A failed bind ends
  // a server for good in newer releases of the library: each try has its own.
  const auto server = [] {
    auto *s = new httplib::Server;
    // One task per connection, and connections do not linger: the library
    // polls an open connection every few milliseconds while it waits for its
    // next request, so an idle page would keep the tool awake.
    s->new_task_queue = [] { return new httplib::ThreadPool(4); };
    s->set_keep_alive_max_count(1);
    s->set_keep_alive_timeout(1);
    // The accept loop waits on the socket itself, not on a short timer.
    s->set_idle_interval(std::chrono::hours(24));
    s->set_payload_max_length(UI_BODY_MAX);
    s->set_socket_options([](auto sock) { ui_listen_options(sock); });
    return s;
  };
  httplib::Server *svr = server();
  bool bound = svr->bind_to_port(at.host, static_cast<int>(at.port));
  if (!bound && !at.port_given) {
    delete svr;
    svr = server();
    const int any = svr->bind_to_any_port(at.host);
    bound = any > 0;
    if (bound) at.port = static_cast<unsigned>(any);
  }
  if (!bound) ln_fatal("Can't listen on %s:%u\n", at.host.c_str(), at.port);
  svr->set_error_handler([](const httplib::Request &, httplib::Response &res) {
    if (res.body.empty()) refuse(res, res.status, status_text(res.status));
  });
  svr->set_exception_handler(
      [](const httplib::Request &, httplib::Response &res, const std::exception_ptr &) {
        refuse(res, 500, "Internal error");
      });
  // The checks know the port the page got, which the default's may not be.
  svr->set_pre_routing_handler([at, token](const httplib::Request &req, httplib::Response &res) {
    return check(req, res, at, token);
  });

  ui_bus *bus = ui_bus_start(lif, args.size() == 2 ? args[0] : "", args.size() == 2 ? args[1] : "");
  add_routes(svr, bus);

  const bool wild = at.host == "0.0.0.0" || at.host == "::";
  const std::string url_host = at.host == "0.0.0.0"                     ? "127.0.0.1"
                               : at.host == "::"                        ? "[::1]"
                               : at.host.find(':') != std::string::npos ? "[" + at.host + "]"
                                                                        : at.host;
  const std::string url = "http://" + url_host + ":" + std::to_string(at.port) + "/#token=" + token;
  if (printf("%s\n", url.c_str()) < 0 || fflush(stdout) != 0) output_failed(errno);
  if (wild)
    report(
        "Listening on every address of this machine, port %u: anyone who has the page's "
        "address can change modules (from another machine, this machine's address stands "
        "for %s)\n",
        at.port, url_host.c_str());
  else if (!ui_loopback(at.host))
    report("Listening on %s:%u: anyone who has the page's address can change modules\n",
           at.host.c_str(), at.port);
  if (browser && !ui_open_browser(url)) report("Open %s in a browser\n", url.c_str());
  svr->listen_after_bind();
  ln_fatal("The page's server stopped\n");
}
