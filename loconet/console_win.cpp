// The ends of the process that come from outside on Windows: Ctrl-C,
// Ctrl-Break or the console window closing, which the console hands to a
// handler on a thread of its own.
#include <windows.h>

#include "end.h"
#include "util.h"

namespace {

BOOL WINAPI on_console(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  ln_end_from_outside();
  // Every finished line has been flushed; what is still buffered is an
  // incomplete one, which such an end rightly drops. The status is that of
  // a console program ended by Ctrl-C (STATUS_CONTROL_C_EXIT).
  ExitProcess(CONTROL_C_EXIT);
}

}  // namespace

void ln_catch_signals() {
  // A Ctrl-C that the starting program had this process ignore stays ignored:
  // the console then hands it to no handler.
  if (!SetConsoleCtrlHandler(on_console, TRUE)) {
    const DWORD e = GetLastError();
    ln_fatal("Can't catch Ctrl-C: error %lu\n", static_cast<unsigned long>(e));
  }
}
