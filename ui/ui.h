// sens -u: the page and its API, served over HTTP by the tool itself, for
// people who never open a terminal.
//
// Principles of operation
// - The HTTP layer is the library's; this is a thin table of routes over the
//   functions the command line's modes call (bus.h), so that the page can do
//   nothing the command line cannot, and the bus sees what -d, -r and -w
//   would send for the same work.
// - The server listens on 127.0.0.1 unless told otherwise. Every request
//   must name it in its Host header; every API request carries the run's
//   token in X-Sens-Token; a request that changes anything is a JSON POST
//   from the page's own origin (guard.h).
// - The page's files are built into the program: no file is read or written.
// - The run ends as every run does: Ctrl-C, SIGTERM, SIGHUP or the console
//   closing releases whatever module is selected.
#pragma once

/// The mode -u, argv[1] being "-u": parses what follows, opens the interface
/// when one is named, serves until the process is ended. Usage errors end
/// the process with the usage text, as the other modes' do.
[[noreturn]] void ui_main(int argc, char **argv);

/// The port the page is served on unless --listen names one or it is taken.
constexpr unsigned UI_PORT = 7367;
/// A request body larger than this is refused.
constexpr unsigned UI_BODY_MAX = 64 * 1024;

/// One file of the page, built into the program.
struct ui_asset {
  const char *path;  ///< as requested: "/", "/app.js", ...
  const char *type;  ///< its Content-Type
  const unsigned char *data;
  unsigned long size;
};
/// The page's files (generated from ui/page at build time).
extern const ui_asset ui_assets[];
extern const unsigned long ui_asset_count;
