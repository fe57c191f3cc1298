// What the Windows files of the interface layer share, and the pure parts
// their tests look at; internal to the layer, Windows only.
#pragma once

#include <string>
#include <windows.h>

#include "loconet.h"

/// The line settings of a serial kind, over what the port had: 8N1 at the
/// kind's speed, binary, RTS/CTS handshake where the kind has it, no XON/XOFF,
/// no error or NUL replacement.
void win_line_settings(DCB *dcb, const name2lif_t *kind);
/// The system's message for error e, without its line end.
std::string win_error_text(DWORD e);
/// An errno for a Win32 or Winsock error, for the layer's errno-based reports.
int win_errno(DWORD e);
