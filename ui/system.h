// What the page's server needs of the system, one file per system: random
// bytes, the serial ports present, the default browser, the listening port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// Fills buf with n bytes from the system's random source; false when it
/// cannot.
bool ui_random(void *buf, std::size_t n);
/// The serial ports of this machine, the likeliest first: on Linux the
/// stable names of USB adapters (/dev/serial/by-id/), then /dev/ttyUSB*,
/// /dev/ttyACM* and the serial ports the kernel found a device for; on
/// Windows COM1, COM2, ... as the system names them.
std::vector<std::string> ui_serial_ports();
/// Opens the default browser on url, without waiting for it: on Linux
/// through xdg-open where there is one, on Windows through the shell. False
/// when there is no way to.
bool ui_open_browser(const std::string &url);
/// Sets up the page's listening socket before its bind: a port another
/// program listens on is taken (so the page moves to a free one), a port left
/// in TIME_WAIT by an earlier run is not.
void ui_listen_options(std::uintptr_t sock);
