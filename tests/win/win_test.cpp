// The Windows layer's pure parts: port names, and line settings from a kind.
#include <gtest/gtest.h>

#include "loconet.h"
#include "win.h"

namespace {

TEST(WinPorts, ComNamesInAnyCaseOpenAsDevicesOtherNamesAsGiven) {
  const struct {
    const char *name, *path;
  } rows[] = {{"COM3", "\\\\.\\COM3"},
              {"com3", "\\\\.\\COM3"},
              {"Com10", "\\\\.\\COM10"},
              {"COM256", "\\\\.\\COM256"},
              {"\\\\.\\COM4", "\\\\.\\COM4"},
              {"COM3x", "COM3x"},
              {"COM", "COM"},
              {"/dev/pts/3", "/dev/pts/3"}};
  for (const auto &r : rows) EXPECT_EQ(lif_port_path(r.name), r.path) << r.name;
}

TEST(WinPorts, LineSettingsFollowTheKind) {
  for (const name2lif_t &kind : name2lif) {
    if (kind.baud == 0) continue;
    DCB dcb = {};
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = TRUE;  // what another program left
    dcb.Parity = EVENPARITY;
    win_line_settings(&dcb, &kind);
    EXPECT_EQ(dcb.BaudRate, kind.baud) << kind.name;
    EXPECT_EQ(dcb.ByteSize, 8) << kind.name;
    EXPECT_EQ(dcb.Parity, NOPARITY) << kind.name;
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT) << kind.name;
    EXPECT_TRUE(dcb.fBinary) << kind.name;
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fErrorChar || dcb.fNull) << kind.name;
    EXPECT_EQ(dcb.fOutxCtsFlow, kind.rtscts ? 1u : 0u) << kind.name;
    EXPECT_EQ(dcb.fRtsControl,
              kind.rtscts ? unsigned{RTS_CONTROL_HANDSHAKE} : unsigned{RTS_CONTROL_ENABLE})
        << kind.name;
  }
}

}  // namespace
