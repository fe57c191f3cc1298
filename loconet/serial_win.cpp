// The serial line on Windows: a COM port opened for this run alone, with
// overlapped I/O, since Windows serialises synchronous I/O on one handle: a
// write would wait behind the reader's blocked read until a byte came.
#include <cerrno>
#include <cstring>
#include <pthread.h>

#include "reader.h"
#include "transport.h"
#include "util.h"
#include "win.h"

namespace {

/// A read waits this long for its first byte before it is issued again: an
/// idle line costs one wake-up every few seconds, not a busy loop.
constexpr DWORD READ_IDLE_MS = 5000;

HANDLE port_of(const lif_t *lif) { return static_cast<HANDLE>(lif->os_handle); }

bool serial_open(lif_t *lif, const char *name, const name2lif_t *kind, std::string *err) {
  const std::string path = lif_port_path(name);
  // Share mode 0: the port is this run's alone, and a second program's open fails.
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    return lif_open_failed(err, path, win_error_text(e).c_str(), static_cast<int>(e));
  }
  // Not a serial port (a file, say): used as it is, as on Linux.
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(h, &dcb)) {
    win_line_settings(&dcb, kind);
    SetCommState(h, &dcb);
  }
  // A read returns as soon as a byte is there, with what is there, up to
  // what was asked; with nothing, after READ_IDLE_MS. Writes have no time-out
  // of their own: the layer's write bound waits for them.
  COMMTIMEOUTS to = {MAXDWORD, MAXDWORD, READ_IDLE_MS, 0, 0};
  SetCommTimeouts(h, &to);
  // What the line received before this run says nothing about this one.
  PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT);
  lif->fd = -1;
  lif->os_handle = h;
  return true;
}

[[noreturn]] void read_failed(DWORD e) {
  ln_fatal("Can't read from LocoNet interface: %s (errno: %lu)\n", win_error_text(e).c_str(),
           static_cast<unsigned long>(e));
}

/// The reader thread: exactly the bytes the framing core asks for, as on Linux.
void *serial_reader(void *vif) {
  auto *lif = static_cast<lif_t *>(vif);
  const HANDLE h = port_of(lif);
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ov.hEvent == nullptr) read_failed(GetLastError());
  for (;;) {
    const unsigned want = ln_frame_want(lif);
    DWORD got = 0;
    if (!ReadFile(h, lif->cur->msg + lif->level, want, &got, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) read_failed(GetLastError());
      if (!GetOverlappedResult(h, &ov, &got, TRUE)) read_failed(GetLastError());
    }
    clock_gettime(CLOCK_REALTIME, &lif->last_read);
    // Nothing within READ_IDLE_MS: a quiet line, not its end. A port that
    // went away fails the read instead.
    if (got != 0) ln_frame_feed(lif, got);
  }
}

/// One message, overlapped, within the layer's write bound.
int serial_write(lif_t *lif, const ln_msg_t *m) {
  const HANDLE h = port_of(lif);
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ov.hEvent == nullptr) return win_errno(GetLastError());
  DWORD done = 0;
  int e = 0;
  if (!WriteFile(h, m->msg, m->len, &done, &ov)) {
    if (GetLastError() != ERROR_IO_PENDING) {
      e = win_errno(GetLastError());
    } else if (WaitForSingleObject(ov.hEvent, TX_BOUND_MS) != WAIT_OBJECT_0) {
      // A LocoBuffer holding CTS off: the write is taken back, and it failed.
      CancelIoEx(h, &ov);
      GetOverlappedResult(h, &ov, &done, TRUE);
      e = ETIMEDOUT;
    } else if (!GetOverlappedResult(h, &ov, &done, FALSE)) {
      e = win_errno(GetLastError());
    }
  }
  if (e == 0 && done != m->len) e = ETIMEDOUT;
  CloseHandle(ov.hEvent);
  return e;
}

}  // namespace

void win_line_settings(DCB *dcb, const name2lif_t *kind) {
  dcb->BaudRate = kind->baud;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->fBinary = TRUE;
  dcb->fParity = FALSE;
  // A LocoBuffer needs RTS/CTS to keep the host from overrunning it.
  dcb->fOutxCtsFlow = kind->rtscts ? TRUE : FALSE;
  dcb->fRtsControl = kind->rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fErrorChar = FALSE;
  dcb->fNull = FALSE;
  dcb->fAbortOnError = FALSE;
}

std::string win_error_text(DWORD e) {
  char buf[512] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, e, 0, buf, sizeof buf, nullptr);
  std::string s(buf, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  if (s.empty()) s = "Error " + std::to_string(e);
  return s;
}

int win_errno(DWORD e) {
  switch (e) {
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_OPERATION_ABORTED:
      return EINTR;
    case WSAECONNRESET:
      return ECONNRESET;
    case WSAECONNABORTED:
      return ECONNABORTED;
    case WSAECONNREFUSED:
      return ECONNREFUSED;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    default:
      return EIO;
  }
}

std::string lif_port_path(const char *name) {
  // COM ports are named in any case; above COM9 only the \\.\ form opens.
  if (_strnicmp(name, "com", 3) != 0) return name;
  const char *end;
  const std::uint32_t n = str_to_u32(name + 3, &end);
  if (end == name + 3 || *end != '\0') return name;
  return "\\\\.\\COM" + std::to_string(n);
}

// Share mode 0 keeps other programs out, and goes with the handle: nothing to take back.
void lif_end_unclaim() {}

const ln_io_t ln_serial = {serial_open, serial_reader, serial_write, false,
                           nullptr,     nullptr,       nullptr};
