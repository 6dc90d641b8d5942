// The port map as the operator edits it: every serial device the system
// shows and every COM number with what it maps to, and the operations that
// assign a number to a device or a network port, or free it.
//
// The rows are read from the platform's device map, device list and holder
// checks (platform/DeviceMap.h, platform/PortStatus.h). A change goes
// through the map's own writer, which replaces one number's line in the map
// file atomically and keeps every other line and comment; nothing else is
// written. The window (app/PortMapForm.h) only shows the rows and hands the
// operator's choice here; it asks before a number in use is replaced.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pmv {

/// A serial device, mapped or not.
struct TPortMapDevice {
    std::string node;            ///< "/dev/ttyUSB0"
    std::string byId;            ///< "/dev/serial/by-id/...", or empty
    std::string description;     ///< "FTDI FT232R USB UART (0403:6001, serial A1)", or empty
    std::string holders;         ///< "minicom (pid 4242)": who else has it open, or empty
    std::vector<int> comNumbers; ///< the present numbers that name it

    /// What a map line names: the by-id link where there is one, since it
    /// stays with the adapter whichever node the kernel gives it.
    const std::string& MapTarget() const { return byId.empty() ? node : byId; }
};

/// Where a number's device comes from.
enum class TPortMapSource {
    None,        ///< nothing maps it
    Default,     ///< the built-in rule (COM5 = /dev/ttyUSB0)
    MapLine,     ///< the operator's line in the map file
    Publication, ///< a running program publishes it; not the operator's to change
};

struct TPortMapNumber {
    int comNumber = 0;
    TPortMapSource source = TPortMapSource::None;
    std::string target; ///< the device path or network port it maps to
    bool present = false;
    std::string note; ///< the publisher, or why the number is absent
};

enum class TPortMapOutcome {
    Done,
    AskReplace, ///< the number is in use: call again with replace to take it
    Refused,
};

struct TPortMapResult {
    TPortMapOutcome outcome = TPortMapOutcome::Refused;
    std::string message; ///< one line for the operator
};

class TPortMap {
public:
    TPortMap() { Refresh(); }

    /// Reads the devices and numbers anew.
    void Refresh();

    const std::vector<TPortMapDevice>& Devices() const { return m_devices; }
    /// Element i is COM i+1.
    const std::vector<TPortMapNumber>& Numbers() const { return m_numbers; }
    /// The map file's path, and why it is not used (empty when it is).
    const std::string& MapFile() const { return m_mapFile; }
    const std::string& MapError() const { return m_mapError; }

    /// Maps COMn to Devices()[device]; a map line of another number that
    /// names the same device is removed, so that the device is COMn.
    TPortMapResult AssignDevice(int n, std::size_t device, bool replace = false);
    /// Maps COMn to a network port text ("rfc2217://host:port").
    TPortMapResult AssignNetworkPort(int n, const std::string& text, bool replace = false);
    /// Removes the operator's line for COMn.
    TPortMapResult Free(int n);

private:
    TPortMapResult Assign(int n, const std::string& target, const std::string& node, bool replace);
    const TPortMapNumber* Number(int n) const;
    std::string Refusal(int n) const;

    std::vector<TPortMapDevice> m_devices;
    std::vector<TPortMapNumber> m_numbers;
    std::string m_mapFile;
    std::string m_mapError;
};

} // namespace pmv
