// What both sides of the USB test agree on: the emulated adapters, the
// requests of the control channel and the settings walk, whose rows the guest
// applies through the serial component and the host finds in QEMU's trace
// of the emulated FTDI adapter (-trace 'usb_serial_*').
//
// Control channel: a virtio serial port named kControlPort. The guest sends
// one request a line and waits for the answer line, "ok" or "fail: why":
//   mark LABEL   the host notes its clock, so that the trace can be cut at
//                the guest's steps (the guest acts only after the answer)
//   unplug ID    the host closes adapter ID's socket, which detaches it (the
//                cable is pulled), and deletes it (QMP device_del)
//   plug ID      QMP device_add of adapter ID, with its port and serial, and
//                the host connects to its socket, which attaches it
//   end          the guest is done; the host stops serving
#pragma once

#include "comport/LnkTypes.h"

#include <cstdlib>
#include <string>

namespace usbtest {

using namespace QORLNK;

constexpr const char* kControlPort = "pmv.ctl";

struct TAdapter {
    const char* id;      // QEMU device id
    const char* chardev; // the socket the host plays the cable on
    int port;            // xhci port
    const char* serial;  // serial number, and so the by-id name
};
constexpr TAdapter kAdapters[] = {
    {"us0", "u0", 1, "FT0001"},
    {"us1", "u1", 2, "FT0002"},
};

/// QEMU's adapter names itself "QEMU" / "QEMU USB SERIAL"; udev builds the
/// by-id name from that and the serial number.
inline std::string FtdiById(const char* serial) {
    return std::string("/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_") + serial + "-if00-port0";
}

// ---- the settings walk ----

enum TSetter { kSetBaudRate, kSetDataBits, kSetParity, kSetStopBits };

struct TWalkRow {
    TSetter setter;
    int value;   // the enumeration value set
    bool taken;  // the component takes it; else it reports it refused
    int baud;    // taken baud rows: the rate the driver must program
    char parity; // taken format rows: what QEMU's trace shows (N, O, E)
    int bits;
    int stop;
};

// From 9600 8N1. The FTDI chips run 7 or 8 data bits only, and the
// emulation refuses mark and space parity; below 183 baud the chips'
// divisor overflows.
// clang-format off
constexpr TWalkRow kWalkRows[] = {
    {kSetBaudRate, br110, false, 0, 0, 0, 0},
    {kSetBaudRate, br300, true, 300, 0, 0, 0},
    {kSetBaudRate, br600, true, 600, 0, 0, 0},
    {kSetBaudRate, br1200, true, 1200, 0, 0, 0},
    {kSetBaudRate, br2400, true, 2400, 0, 0, 0},
    {kSetBaudRate, br4800, true, 4800, 0, 0, 0},
    {kSetBaudRate, br19200, true, 19200, 0, 0, 0},
    {kSetBaudRate, br38400, true, 38400, 0, 0, 0},
    {kSetBaudRate, br57600, true, 57600, 0, 0, 0},
    {kSetBaudRate, br115200, true, 115200, 0, 0, 0},
    {kSetBaudRate, br9600, true, 9600, 0, 0, 0},
    {kSetDataBits, db7, true, 0, 'N', 7, 1},
    {kSetDataBits, db5, false, 0, 0, 0, 0},
    {kSetDataBits, db6, false, 0, 0, 0, 0},
    {kSetDataBits, db8, true, 0, 'N', 8, 1},
    {kSetParity, paOdd, true, 0, 'O', 8, 1},
    {kSetParity, paEven, true, 0, 'E', 8, 1},
    {kSetParity, paMark, false, 0, 0, 0, 0},
    {kSetParity, paSpace, false, 0, 0, 0, 0},
    {kSetParity, paNone, true, 0, 'N', 8, 1},
    {kSetStopBits, sb2, true, 0, 'N', 8, 2},
    {kSetStopBits, sb1_5, false, 0, 0, 0, 0},
    {kSetStopBits, sb1, true, 0, 'N', 8, 1},
};
// clang-format on

/// The FTDI chips derive the rate from 3 MHz with a divisor in eighths; the
/// driver picks the nearest, so a programmed rate is within 3 % of the asked.
inline bool CloseRate(int programmed, int asked) {
    return std::abs(programmed - asked) * 100 <= asked * 3;
}

} // namespace usbtest
