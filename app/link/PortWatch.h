// Keeps a port across the loss of its device.
//
// When the port's workers find the device gone (OnDeviceLost: an adapter
// unplugged, the program behind a pseudo-terminal ended), the watch closes
// the port through the component's own Close(), so that requests find it
// closed, tells its view, and waits for the same device to come back under
// the port's number: the same /dev/serial/by-id name when the device had
// one; for a pseudo-terminal the same publication (publisher and mark),
// never a terminal that merely got the same number; else the same device
// node. It also follows the operator: when the map's own line for the
// number is changed to a device that is present, the port opens there.
// While it waits it reads the device map every kPollMs (the file system
// only: the map file itself is read again only when it changed; nothing is
// opened). Once the device is back, and no other program holds it and
// this user may open it, the watch opens the port once, with the settings
// the port has.
//
// Which device an open reached is read when the port opens (OnOpen): by the
// time a loss is noticed the map may no longer show the device.
//
// The owner ends the wait (Stop) whenever the operator takes the port in
// hand: opens or closes it, loads a configuration, changes its settings.
//
// Everything here runs on the user-interface thread. The watch assigns the
// port's OnOpen and OnDeviceLost and clears them when it goes; the port
// must outlive it.
#pragma once

#include <QTimer>

#include <string>

namespace QORLNK {
class TLNKCOMPort;
} // namespace QORLNK

namespace pmv {

namespace platform {
struct ComPortIdentity;
} // namespace platform

// A port's device as far as telling it again goes.
struct TPortDevice {
    int com = 0;
    std::string node{}; // the device node, "/dev/ttyUSB0"; empty when unknown
    std::string byId{}; // its "/dev/serial/by-id/..." link, or empty
    bool isPty = false;
    int publisherPid = 0;        // the publication it was reached through, if any
    std::string publicationId{}; // ... and that publication's mark
    std::string mapDevice{};     // the operator's map line for the number, or empty

    static TPortDevice Of(const platform::ComPortIdentity& id);

    // The same device: the same by-id name when this one has one; for a
    // pseudo-terminal the same node under the same live publication (a
    // terminal number is given to the next terminal that asks); else the
    // same node. Another device under the same number is not the same.
    bool IsSame(const platform::ComPortIdentity& id) const;
    // The operator has pointed the number at another device in the map:
    // its line now differs from this one's and is in force, and present.
    bool MapChanged(const platform::ComPortIdentity& id) const;
    // "COM7 (/dev/ttyUSB0, usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0)",
    // "COM25 (/dev/pts/3)", or "COM25" when nothing is known.
    std::string Name() const;
};

class TPortWatch {
public:
    static constexpr int kPollMs = 500;
    static constexpr int kNetProbeMs = 200; // a network port's server is asked this long

    enum class TState {
        Lost,     // the device is gone: the port is closed, the watch waits
        Reopened, // the device is back and the port open again
        GaveUp,   // the device is back but the port did not open: no more waiting
    };

    class TView {
    public:
        virtual ~TView() = default;
        virtual void AppendLog(const std::string& line) = 0;
        virtual void ShowPortState(TState state, int com) = 0;
    };

    TPortWatch(QORLNK::TLNKCOMPort& port, TView& view);
    ~TPortWatch();
    TPortWatch(const TPortWatch&) = delete;
    TPortWatch& operator=(const TPortWatch&) = delete;

    // Ends the wait for a lost device; true when there was one.
    bool Stop();
    bool Waiting() const { return m_timer.isActive(); }
    // The device the port reached at its last open.
    const TPortDevice& OpenedDevice() const { return m_opened; }

private:
    void DeviceLost();
    void Poll();

    QORLNK::TLNKCOMPort& m_port;
    TView& m_view;
    TPortDevice m_opened; // read at each open
    TPortDevice m_lost;   // the device waited for
    std::string m_toldWaiting;
    QTimer m_timer;
};

} // namespace pmv
