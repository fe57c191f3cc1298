// The page's jobs on the bus and the state the page is shown.
#include "bus.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "sens.h"

using nlohmann::json;

namespace {

/// Lines of the log the page is shown: the latest, a long session's worth.
constexpr std::size_t LOG_MAX = 1000;
/// Jobs whose records are kept for the page to ask about.
constexpr std::size_t JOBS_KEPT = 64;

/// One module as the page shows it.
struct row_t {
  bool has_values = false;
  std::array<u8, SENS_VALUES> values{};
  std::string status = "unknown";
  std::string message;
};

struct job_t {
  unsigned id = 0;
  std::string kind;
  std::string state = "running";
  unsigned done = 0, total = 0;
  json results = json::array();
  // What it works on.
  std::vector<u16> addresses;
  std::vector<sens_line_t> lines;
};

json values_json(const row_t &r) {
  return r.has_values ? json(std::vector<int>(r.values.begin(), r.values.end())) : json(nullptr);
}

}  // namespace

struct ui_bus {
  std::mutex lock;
  std::condition_variable work;  ///< a job was handed over
  lif_t *lif = nullptr;
  std::string kind, port;
  bool opening = false;            ///< an open is under way
  std::map<u16, row_t> rows;       ///< every module met this run
  std::deque<std::string> log;     ///< reports, oldest first
  std::map<unsigned, job_t> jobs;  ///< the latest jobs
  unsigned next_id = 1;
  unsigned running = 0;  ///< the job handed over or under way; 0: none
  std::atomic<bool> cancel{false};
  std::thread thread;
};

namespace {

/// The one record of the run: the modes' reports reach it through a plain hook.
ui_bus *the_bus = nullptr;

void to_log(const char *line) {
  ui_bus *b = the_bus;
  if (b == nullptr) return;
  std::string s = line;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  std::lock_guard<std::mutex> g(b->lock);
  b->log.push_back(s);
  if (b->log.size() > LOG_MAX) b->log.pop_front();
}

/// A module's outcome: into its row and the job's results.
void record(ui_bus *b, job_t *job, u16 addr, const std::string &status, const std::string &message,
            const u8 *values) {
  std::lock_guard<std::mutex> g(b->lock);
  row_t &r = b->rows[addr];
  r.status = status;
  r.message = message;
  if (values != nullptr) {
    std::copy(values, values + SENS_VALUES, r.values.begin());
    r.has_values = true;
  }
  job->results.push_back(
      {{"address", addr}, {"status", status}, {"values", values_json(r)}, {"message", message}});
  ++job->done;
}

void run_read(ui_bus *b, job_t *job) {
  read_start(b->lif);
  for (const u16 addr : job->addresses) {
    if (b->cancel) break;
    u8 val[SENS_VALUES];
    const int r = read_sens_values(b->lif, addr, val);
    if (r == READ_SILENT) report_no_response(addr);
    const std::string said = r == READ_SILENT ? "No response from " + std::to_string(addr)
                             : r == READ_CONFLICT
                                 ? "Conflicting replies for module " + std::to_string(addr)
                                 : "";
    record(b, job, addr,
           r == READ_DONE     ? "read"
           : r == READ_SILENT ? "no-response"
                              : "failed",
           said, r == READ_DONE ? val : nullptr);
  }
}

void run_write(ui_bus *b, job_t *job) {
  // As write mode, before its first select: standard input may have kept
  // the bus waiting, and so may a person.
  release_leftovers(b->lif);
  for (const sens_line_t &sl : job->lines) {
    if (b->cancel) break;
    u8 back[SENS_VALUES] = {};
    std::string said;
    const int r = write_module(b->lif, sl, back, &said);
    const char *status = r == WRITE_DONE ? "written" : r == WRITE_SILENT ? "no-response" : "failed";
    record(b, job, sl.addr, status, said,
           r == WRITE_DONE     ? sl.val
           : r == WRITE_VERIFY ? back
                               : nullptr);
  }
}

void run_discover(ui_bus *b, job_t *job) {
  prog_addrs_t found;
  discover_modules(b->lif, &found);
  if (found.none()) report("No module answered\n");
  std::lock_guard<std::mutex> g(b->lock);
  for (std::size_t a = 0; a < found.size(); ++a) {
    if (!found.test(a)) continue;
    const row_t &r = b->rows[static_cast<u16>(a)];
    job->results.push_back(
        {{"address", a}, {"status", r.status}, {"values", values_json(r)}, {"message", r.message}});
  }
  job->done = job->total = static_cast<unsigned>(job->results.size());
}

void job_main(ui_bus *b) {
  for (;;) {
    job_t *job = nullptr;
    {
      std::unique_lock<std::mutex> g(b->lock);
      b->work.wait(g, [b] { return b->running != 0 && b->jobs[b->running].state == "running"; });
      job = &b->jobs[b->running];
    }
    // The record stays where it is: only this thread removes jobs, and only
    // when none runs.
    if (job->kind == "read")
      run_read(b, job);
    else if (job->kind == "write")
      run_write(b, job);
    else
      run_discover(b, job);
    // As every run of the command line ends: a server's refusal of the last
    // release may still come.
    prog_settle(b->lif);
    std::lock_guard<std::mutex> g(b->lock);
    job->state = b->cancel && job->done < job->total ? "cancelled" : "done";
    b->running = 0;
    b->cancel = false;
  }
}

/// The address list's addresses, in order, as the read mode visits them.
std::vector<u16> addresses_of(const addr_list_t *list) {
  std::vector<u16> v;
  for (const addr_list_t *e = list; e != nullptr; e = e->next)
    for (u16 a = e->start;; a = static_cast<u16>(a + 1)) {
      v.push_back(a);
      if (a == e->end) break;
    }
  return v;
}

ui_reply error(int status, const std::string &text) { return {status, {{"error", text}}}; }

/// A write's modules from JSON, checked as write mode checks its lines.
bool lines_of(const json &modules, std::vector<sens_line_t> *out, std::string *why) {
  if (!modules.is_array() || modules.empty()) {
    *why = "modules: a list of {\"address\": n, \"values\": [16 numbers]} wanted";
    return false;
  }
  for (const json &m : modules) {
    if (!m.is_object() || !m.contains("address") || !m.contains("values") ||
        !m["address"].is_number_integer() || !m["values"].is_array()) {
      *why = "modules: a list of {\"address\": n, \"values\": [16 numbers]} wanted";
      return false;
    }
    const auto addr = m["address"].get<long long>();
    if (addr < 0 || addr > 0xFFFF) {
      *why = "Number out of range: address " + std::to_string(addr);
      return false;
    }
    const json &vals = m["values"];
    if (vals.size() != SENS_VALUES) {
      *why = "Module " + std::to_string(addr) + ": " + std::to_string(vals.size()) +
             " values, 16 wanted";
      return false;
    }
    sens_line_t sl{};
    sl.addr = static_cast<u16>(addr);
    for (int i = 0; i < SENS_VALUES; ++i) {
      const json &v = vals[static_cast<std::size_t>(i)];
      if (!v.is_number_integer() || v.get<long long>() < 0 || v.get<long long>() > 0xFF) {
        *why = "Number out of range: module " + std::to_string(addr) + ", CV " +
               std::to_string(SENS_CV_FIRST + i) + " = " + v.dump();
        return false;
      }
      sl.val[i] = static_cast<u8>(v.get<int>());
    }
    out->push_back(sl);
  }
  return true;
}

}  // namespace

ui_bus *ui_bus_start(lif_t *lif, const std::string &kind, const std::string &port) {
  auto *b = new ui_bus;
  b->lif = lif;
  b->kind = kind;
  b->port = port;
  the_bus = b;
  report_hook(to_log);
  b->thread = std::thread(job_main, b);
  b->thread.detach();  // it lives as long as the process
  return b;
}

ui_reply ui_bus_open(ui_bus *b, const std::string &kind, const std::string &port) {
  const name2lif_t *row = nullptr;
  for (const name2lif_t &r : name2lif)
    if (kind == r.name) row = &r;
  if (row == nullptr) return error(400, "bad interaface name " + kind);
  {
    std::lock_guard<std::mutex> g(b->lock);
    if (b->lif != nullptr || b->opening) return error(409, "An interface is open already");
    b->opening = true;
  }
  // Outside the lock: a station's presence takes up to three seconds.
  std::string err;
  lif_t *lif = lif_try_open(port.c_str(), row->num, &err);
  std::lock_guard<std::mutex> g(b->lock);
  b->opening = false;
  if (lif == nullptr) return error(400, err.empty() ? "Can't open LocoNet interface " + port : err);
  b->lif = lif;
  b->kind = kind;
  b->port = port;
  return {200, {{"open", true}}};
}

json ui_bus_state(ui_bus *b) {
  std::lock_guard<std::mutex> g(b->lock);
  json modules = json::array();
  for (const auto &[addr, r] : b->rows)
    modules.push_back({{"address", addr},
                       {"values", values_json(r)},
                       {"status", r.status},
                       {"message", r.message}});
  return {{"open", b->lif != nullptr},
          {"interface", b->kind},
          {"port", b->port},
          {"busy", b->running != 0},
          {"job", b->running != 0 ? json(b->running) : json(nullptr)},
          {"modules", modules},
          {"log", json(b->log)}};
}

ui_reply ui_bus_submit(ui_bus *b, const std::string &kind, const json &args) {
  job_t job;
  job.kind = kind;
  if (kind == "read") {
    if (!args.is_object() || !args.contains("addresses") || !args["addresses"].is_string())
      return error(400, "addresses: an address list wanted, as 1-3,12");
    addr_list_t *list = nullptr;
    const int e = parse_addr_r(args["addresses"].get<std::string>().c_str(), &list);
    if (e != ADDR_OK) {
      std::string text = addr_err_text(e);
      text.pop_back();
      return error(400, text);
    }
    if (list == nullptr) return error(400, "Bad address specifier");
    job.addresses = addresses_of(list);
    addr_list_free(list);
    job.total = static_cast<unsigned>(job.addresses.size());
  } else if (kind == "write") {
    std::string why;
    if (!args.is_object() || !lines_of(args.value("modules", json()), &job.lines, &why))
      return error(400, why.empty() ? "modules: a list of modules wanted" : why);
    job.total = static_cast<unsigned>(job.lines.size());
  }
  std::lock_guard<std::mutex> g(b->lock);
  if (b->lif == nullptr) return error(409, "No interface is open");
  if (b->running != 0) return error(409, "Busy with job " + std::to_string(b->running));
  while (b->jobs.size() >= JOBS_KEPT) b->jobs.erase(b->jobs.begin());
  job.id = b->next_id++;
  const unsigned id = job.id;
  b->jobs[id] = std::move(job);
  b->running = id;
  b->cancel = false;
  b->work.notify_one();
  return {202, {{"job", id}}};
}

ui_reply ui_bus_job(ui_bus *b, unsigned id) {
  std::lock_guard<std::mutex> g(b->lock);
  const auto it = b->jobs.find(id);
  if (it == b->jobs.end()) return error(404, "No such job");
  const job_t &j = it->second;
  return {200,
          {{"id", j.id},
           {"kind", j.kind},
           {"state", j.state},
           {"done", j.done},
           {"total", j.total},
           {"results", j.results}}};
}

ui_reply ui_bus_cancel(ui_bus *b) {
  std::lock_guard<std::mutex> g(b->lock);
  const bool running = b->running != 0;
  if (running) b->cancel = true;
  return {200, {{"cancelled", running}}};
}

ui_reply ui_parse_lines(const std::string &text) {
  json modules = json::array(), warnings = json::array();
  unsigned lineno = 0;
  for (std::size_t at = 0; at < text.size();) {
    // A line as getline gives it: up to and with its line feed.
    const std::size_t nl = text.find('\n', at);
    const std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
    const std::string line = text.substr(at, end - at);
    at = end;
    ++lineno;
    sens_line_t sl{};
    std::string warning, err;
    const int e = sens_line_check(line.c_str(), line.size(), lineno, &sl, &warning, &err);
    if (!warning.empty()) warnings.push_back(warning.substr(0, warning.size() - 1));
    if (e != SENS_OK) return error(400, err.substr(0, err.size() - 1));
    modules.push_back(
        {{"address", sl.addr}, {"values", std::vector<int>(sl.val, sl.val + SENS_VALUES)}});
  }
  return {200, {{"modules", modules}, {"warnings", warnings}}};
}
