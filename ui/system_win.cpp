// The system's side of the page's server on Windows.
// winsock2.h before windows.h, which would bring the old winsock.h.
#include <winsock2.h>

#include <windows.h>
// ntsecapi.h needs windows.h first.
#include <ntsecapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>

#include "system.h"

bool ui_random(void *buf, std::size_t n) {
  // RtlGenRandom: the system's random source, in advapi32, which every Windows has.
  return RtlGenRandom(buf, static_cast<ULONG>(n)) != FALSE;
}

std::vector<std::string> ui_serial_ports() {
  // Every DOS device name, NUL-separated; the COM ports among them.
  std::vector<char> names(65536);
  const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
  std::vector<std::string> ports;
  for (DWORD at = 0; at < n && names[at] != '\0';) {
    const std::string name = names.data() + at;
    at += static_cast<DWORD>(name.size()) + 1;
    if (name.size() > 3 && _strnicmp(name.c_str(), "COM", 3) == 0 &&
        name.find_first_not_of("0123456789", 3) == std::string::npos)
      ports.push_back(name);
  }
  std::sort(ports.begin(), ports.end(), [](const std::string &a, const std::string &b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return ports;
}

bool ui_open_browser(const std::string &url) {
  const auto rc = reinterpret_cast<INT_PTR>(
      ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return rc > 32;
}

void ui_listen_options(std::uintptr_t sock) {
  // Windows lets a second program bind a port in use unless it is exclusive.
  const BOOL yes = TRUE;
  setsockopt(static_cast<SOCKET>(sock), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<const char *>(&yes), sizeof yes);
}
