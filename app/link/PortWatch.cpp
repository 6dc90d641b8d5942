#include "app/link/PortWatch.h"

#include "app/link/PortLink.h"
#include "comport/Lnkcomport.h"
#include "platform/DeviceMap.h"
#include "platform/NetPort.h"
#include "platform/PortStatus.h"

namespace pmv {

// ---- TPortDevice --------------------------------------------------------------------

TPortDevice TPortDevice::Of(const platform::ComPortIdentity& id) {
    TPortDevice d;
    d.com = id.comNumber;
    d.mapDevice = id.mapDevice;
    if (id.present) {
        d.node = id.node;
        d.byId = id.byId;
        d.isPty = id.isPty;
        d.publisherPid = id.publisherPid;
        d.publicationId = id.publicationId;
    }
    return d;
}

bool TPortDevice::IsSame(const platform::ComPortIdentity& id) const {
    if (!id.present || id.comNumber != com)
        return false;
    // A by-id name stays with the device whatever node it gets (an adapter
    // plugged in again may come back as ttyUSB1).
    if (!byId.empty())
        return id.byId == byId;
    // A pseudo-terminal's number goes to whichever terminal asks next: only
    // its publisher, still publishing it, vouches for it.
    if (isPty)
        return publisherPid != 0 && id.publisherPid == publisherPid &&
               id.publicationId == publicationId && id.node == node;
    // A node alone is all there is to go by for any other device.
    return !node.empty() && id.node == node;
}

bool TPortDevice::MapChanged(const platform::ComPortIdentity& id) const {
    return id.present && id.comNumber == com && id.publisherPid == 0 && !id.mapDevice.empty() &&
           id.mapDevice != mapDevice;
}

std::string TPortDevice::Name() const {
    std::string name = "COM" + std::to_string(com);
    if (node.empty())
        return name;
    name += " (" + node;
    if (!byId.empty())
        name += ", " + byId.substr(byId.rfind('/') + 1);
    return name + ")";
}

// ---- TPortWatch ---------------------------------------------------------------------

TPortWatch::TPortWatch(QORLNK::TLNKCOMPort& port, TView& view) : m_port(port), m_view(view) {
    m_timer.setInterval(kPollMs);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_port.OnOpen = [this](QORLNK::TLNKCOMPort*) {
        m_opened = TPortDevice::Of(platform::ReadComPortIdentity(m_port.Port()));
    };
    m_port.OnDeviceLost = [this](QORLNK::TLNKCOMPort*) { DeviceLost(); };
}

TPortWatch::~TPortWatch() {
    m_port.OnOpen = nullptr;
    m_port.OnDeviceLost = nullptr;
}

bool TPortWatch::Stop() {
    const bool waiting = Waiting();
    m_timer.stop();
    return waiting;
}

void TPortWatch::DeviceLost() {
    if (!m_port.GetOpened())
        return;
    m_lost = m_opened;
    m_lost.com = m_port.Port();
    // The component's normal close: the workers end, the undo steps that
    // fail on a vanished device are reported as always, and every request
    // from now on finds the port closed.
    m_port.Close();
    m_toldWaiting.clear();
    m_view.AppendLog(m_lost.Name() + ": device lost");
    m_view.ShowPortState(TState::Lost, m_lost.com);
    m_timer.start();
}

void TPortWatch::Poll() {
    // The map and sysfs only, every tick; who holds the node only once the
    // device is back.
    const auto wanted = [this](const platform::ComPortIdentity& id) {
        return m_lost.IsSame(id) || m_lost.MapChanged(id);
    };
    if (!wanted(platform::ReadComPortIdentity(m_lost.com)))
        return;
    const platform::ComPortStatus status = platform::ReadComPortStatus(m_lost.com);
    if (!wanted(status.identity))
        return;
    const TPortDevice back = TPortDevice::Of(status.identity);
    const char* const how = m_lost.IsSame(status.identity) ? "device back" : "device map changed";
    if (status.access != platform::ComAccess::Ok) {
        // Another program has it (a modem manager probing a new device), or
        // its permissions are not set yet: wait on, and say why once.
        const std::string line = back.Name() + ": " + how + ", not opened yet: " + status.reason;
        if (line != m_toldWaiting) {
            m_toldWaiting = line;
            m_view.AppendLog(line);
        }
        return;
    }
    // A server's port is back when the server answers again (a short
    // connect; a refused one answers at once).
    if (platform::IsNetPortName(status.identity.node) &&
        !platform::NetPortAnswers(status.identity.node, kNetProbeMs))
        return;
    m_timer.stop();
    const std::string reason = OpenComPort(m_port);
    if (reason.empty()) {
        m_view.AppendLog(back.Name() + ": " + how + ", reopened");
        m_view.ShowPortState(TState::Reopened, m_lost.com);
    } else {
        m_view.AppendLog(back.Name() + ": " + how + ", but the port did not open");
        m_view.AppendLog(reason);
        m_view.ShowPortState(TState::GaveUp, m_lost.com);
    }
}

} // namespace pmv
