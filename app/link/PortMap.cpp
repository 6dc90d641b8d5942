#include "app/link/PortMap.h"

#include "platform/DeviceMap.h"
#include "platform/NetworkAddress.h"
#include "platform/PortStatus.h"

#include <filesystem>

namespace pmv {
namespace {

std::string Com(int n) {
    return "COM" + std::to_string(n);
}

std::string HoldersText(const std::vector<platform::DeviceHolder>& holders) {
    std::string text;
    for (const platform::DeviceHolder& h : holders)
        text += (text.empty() ? "" : ", ") + (h.name.empty() ? std::string("a program") : h.name) +
                " (pid " + std::to_string(h.pid) + ")";
    return text;
}

// The node a map line's path leads to, or the text itself (a network port,
// a path that is not there).
std::string NodeOf(const std::string& path) {
    std::error_code ec;
    const auto c = std::filesystem::canonical(path, ec);
    return ec ? path : c.string();
}

TPortMapResult Result(TPortMapOutcome outcome, std::string message) {
    return {outcome, std::move(message)};
}

} // namespace

void TPortMap::Refresh() {
    m_mapFile = platform::DeviceMapPath();
    m_mapError = platform::DeviceMapError();
    const std::vector<platform::ComPortStatus> statuses = platform::ReadComPortStatuses();

    m_numbers.assign(statuses.size(), {});
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        const platform::ComPortIdentity& id = statuses[i].identity;
        TPortMapNumber& row = m_numbers[i];
        row.comNumber = id.comNumber;
        row.present = id.present;
        if (id.publisherPid != 0 && !id.publisherEnded) {
            row.source = TPortMapSource::Publication;
            row.target = id.device;
            row.note = "published by " +
                       (id.publisherName.empty() ? "a program" : id.publisherName) + " (pid " +
                       std::to_string(id.publisherPid) + ")";
            continue;
        }
        if (!id.mapDevice.empty()) {
            row.source = TPortMapSource::MapLine;
            row.target = id.mapDevice;
        } else if (id.present) {
            row.source = TPortMapSource::Default;
            row.target = id.device;
        }
        if (row.source != TPortMapSource::None && !id.present)
            row.note = platform::IsNetworkPortText(row.target) &&
                               id.absence == row.target + " does not exist"
                           ? "network port" // no file to find: the open reaches it or says why
                           : id.absence;
    }

    m_devices.clear();
    auto add = [this](const platform::ComPortIdentity& id) {
        for (const TPortMapDevice& d : m_devices)
            if (d.node == id.node)
                return;
        m_devices.push_back({id.node,
                             id.byId,
                             id.Description(),
                             HoldersText(platform::FindDeviceHolders(id.node)),
                             {}});
    };
    for (const platform::ComPortIdentity& id : platform::ListSerialDevices())
        add(id);
    // Devices only a map line or a publication names (a pseudo-terminal).
    for (const platform::ComPortStatus& s : statuses)
        if (s.identity.present && !s.identity.node.empty())
            add(s.identity);
    for (TPortMapDevice& d : m_devices)
        for (const platform::ComPortStatus& s : statuses)
            if (s.identity.present && s.identity.node == d.node)
                d.comNumbers.push_back(s.identity.comNumber);
}

const TPortMapNumber* TPortMap::Number(int n) const {
    return (n >= 1 && n <= static_cast<int>(m_numbers.size())) ? &m_numbers[n - 1] : nullptr;
}

// Why COMn may not be changed here, or empty.
std::string TPortMap::Refusal(int n) const {
    const TPortMapNumber* row = Number(n);
    if (row == nullptr)
        return "COM numbers go from 1 to " + std::to_string(platform::kMaxComNumber);
    if (!m_mapError.empty())
        return m_mapError;
    if (row->source == TPortMapSource::Publication)
        return Com(n) + " is " + row->note + ", which owns it while it runs";
    return {};
}

TPortMapResult TPortMap::AssignDevice(int n, std::size_t device, bool replace) {
    if (device >= m_devices.size())
        return Result(TPortMapOutcome::Refused, "no such device");
    const TPortMapDevice d = m_devices[device]; // Refresh replaces the list
    return Assign(n, d.MapTarget(), d.node, replace);
}

TPortMapResult TPortMap::AssignNetworkPort(int n, const std::string& text, bool replace) {
    std::string why;
    if (!platform::ParseNetworkAddress(text, &why))
        return Result(TPortMapOutcome::Refused, why);
    return Assign(n, text, {}, replace);
}

TPortMapResult TPortMap::Assign(int n, const std::string& target, const std::string& node,
                                bool replace) {
    Refresh(); // judged on the map as it is now, not as it was shown
    if (std::string why = Refusal(n); !why.empty())
        return Result(TPortMapOutcome::Refused, why);
    const TPortMapNumber& row = m_numbers[n - 1];
    if (row.source == TPortMapSource::MapLine && row.target == target)
        return Result(TPortMapOutcome::Done, Com(n) + " is " + target + " already");
    if (!replace && row.source != TPortMapSource::None)
        return Result(TPortMapOutcome::AskReplace,
                      Com(n) + " is " + row.target + ". Replace it with " + target + "?");

    std::string error;
    if (!platform::SetDeviceMapOverride(n, target, &error))
        return Result(TPortMapOutcome::Refused, "The port map was not changed: " + error);
    // The map keeps a device at its lowest number: a line of another
    // number naming the same device would leave COMn absent, so it goes.
    std::string moved;
    for (const TPortMapNumber& other : m_numbers) {
        if (other.comNumber == n || other.source != TPortMapSource::MapLine ||
            (other.target != target && (node.empty() || NodeOf(other.target) != node)))
            continue;
        if (!platform::RemoveDeviceMapOverride(other.comNumber, &error)) {
            Refresh();
            return Result(TPortMapOutcome::Refused, Com(n) + " is " + target + ", but " +
                                                        Com(other.comNumber) +
                                                        " still names it: " + error);
        }
        moved += ", " + Com(other.comNumber);
    }
    Refresh();
    return Result(TPortMapOutcome::Done,
                  Com(n) + " is " + target + (moved.empty() ? "" : " (freed" + moved + ")"));
}

TPortMapResult TPortMap::Free(int n) {
    Refresh();
    if (std::string why = Refusal(n); !why.empty())
        return Result(TPortMapOutcome::Refused, why);
    const TPortMapNumber& row = m_numbers[n - 1];
    if (row.source == TPortMapSource::Default)
        return Result(TPortMapOutcome::Refused, Com(n) + " is " + row.target +
                                                    " by the built-in rule; the map has no "
                                                    "line to remove (assign it instead)");
    if (row.source == TPortMapSource::None)
        return Result(TPortMapOutcome::Done, Com(n) + " maps to nothing");
    std::string error;
    if (!platform::RemoveDeviceMapOverride(n, &error))
        return Result(TPortMapOutcome::Refused, "The port map was not changed: " + error);
    Refresh();
    return Result(TPortMapOutcome::Done, Com(n) + " is free");
}

} // namespace pmv
