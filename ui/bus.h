// The page's work on the bus: one job at a time, on a thread of its own, as
// the command line's modes do it, and what the page is shown of it.
//
// Principles of operation
// - The job thread is the only one that talks to the modules (the
//   programming layer keeps one module's session at a time). A job is the
//   work of one run of -d, -r or -w: a search, a read of an address list, a
//   write of modules' values; each ends as those runs end (prog_settle).
// - The server's threads only hand jobs over, ask for a cancel, and take
//   copies of the state; every field of the record is guarded by its lock,
//   held for a few lines at a time, never across bus work.
// - Every report the modes make (the lines the command line prints on
//   standard error) goes to the log as well as to standard error.
// - A cancel takes effect between modules: the module being worked on is
//   finished and released first.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "loconet.h"

struct ui_bus;

/// An answer to the page: an HTTP status and its JSON body.
struct ui_reply {
  int status;
  nlohmann::json body;
};

/// Starts the job thread over lif, opened by the command line as kind and
/// port; lif null: the page opens one (ui_bus_open).
ui_bus *ui_bus_start(lif_t *lif, const std::string &kind, const std::string &port);
/// Opens the interface kind (a name of the interface table) on port once for
/// the run: 200, 409 when one is open, 400 with the command line's words.
ui_reply ui_bus_open(ui_bus *b, const std::string &kind, const std::string &port);
/// {"open", "interface", "port", "busy", "job", "modules": [...], "log": [...]}.
nlohmann::json ui_bus_state(ui_bus *b);
/// Starts a job of kind "discover", "read" (args {"addresses": list}) or
/// "write" (args {"modules": [{"address", "values"}]}): 202 {"job": id}, 409
/// while a job runs or when no interface is open, 400 for args it cannot take.
ui_reply ui_bus_submit(ui_bus *b, const std::string &kind, const nlohmann::json &args);
/// The job's record, 404 for an unknown id.
ui_reply ui_bus_job(ui_bus *b, unsigned id);
/// Asks the running job to stop after its current module: {"cancelled": bool}.
ui_reply ui_bus_cancel(ui_bus *b);
/// Sens lines as write mode reads them: {"modules": [...], "warnings": [...]},
/// or 400 with the line that reports the first malformed one.
ui_reply ui_parse_lines(const std::string &text);
