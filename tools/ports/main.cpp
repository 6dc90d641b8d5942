// pmv-ports: one line per COM number saying what the device map makes of
// it, who has it open, and whether this user can open it (and if not, why
// and what to do). Reads the map, sysfs and /proc; opens no port. A map
// that is not the user's own is named once on standard error.
#include "config/CmdRecord.h"
#include "platform/PortStatus.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using pmv::platform::ComAccess;
using pmv::platform::ComPortStatus;

constexpr int kExitNotUsable = 1;
constexpr int kExitUsage = 2;

constexpr const char kHelp[] =
    "Usage: pmv-ports [options] [N|COMN ...]\n"
    "Lists the COM numbers 1-32 as PMV-Host sees them: present or absent, the device\n"
    "node, its /dev/serial/by-id name, what the device is, which programs have it\n"
    "open, and whether you may open it; if not, why and what to do. Naming numbers\n"
    "lists only those. No port is opened.\n"
    "\n"
    "States: ok; absent; busy (another program has the node open); permission (you\n"
    "may not open the node: join the group the line names).\n"
    "\n"
    "Options:\n"
    "  --json         Prints a JSON array of objects with the keys com, present,\n"
    "                 device, by_id, description, holders ([{pid, name}]), access\n"
    "                 (ok, absent, permission, busy), publisher ({pid, name} or\n"
    "                 null), map_device (the map's own line for the number, also\n"
    "                 while a publication stands in its place; or null) and reason\n"
    "                 (empty when ok).\n"
    "  -h, --help     Shows this help and exits.\n"
    "  -v, --version  Shows the version and exits.\n"
    "\n"
    "The device map is used only when it and its folder belong to you (or root)\n"
    "and nobody else may write them; it must be a regular file of at most 1 MiB.\n"
    "\n"
    "Exit status:\n"
    "  0  listed (and every number named can be opened now)\n"
    "  1  a number named cannot be opened now, or the device map is not used\n"
    "  2  a bad command line\n";

int Refuse(const std::string& why) {
    std::fprintf(stderr, "pmv-ports: %s\nTry 'pmv-ports --help' for more information.\n",
                 why.c_str());
    return kExitUsage;
}

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string JsonOrNull(const std::string& s) {
    return s.empty() ? "null" : Json(s);
}

std::string JsonObject(const ComPortStatus& s) {
    const auto& id = s.identity;
    std::string holders = "[";
    for (std::size_t i = 0; i < s.holders.size(); ++i)
        holders += (i > 0 ? ", " : "") + std::string("{\"pid\": ") +
                   std::to_string(s.holders[i].pid) + ", \"name\": " + Json(s.holders[i].name) +
                   "}";
    holders += "]";
    const std::string publisher = id.publisherPid == 0
                                      ? "null"
                                      : "{\"pid\": " + std::to_string(id.publisherPid) +
                                            ", \"name\": " + Json(id.publisherName) + "}";
    return "{\"com\": " + std::to_string(id.comNumber) +
           ", \"present\": " + (id.present ? "true" : "false") +
           ", \"device\": " + JsonOrNull(id.present ? id.node : id.device) +
           ", \"by_id\": " + JsonOrNull(id.byId) +
           ", \"description\": " + JsonOrNull(id.Description()) + ", \"holders\": " + holders +
           ", \"access\": " + Json(pmv::platform::ComAccessName(s.access)) +
           ", \"publisher\": " + publisher + ", \"map_device\": " + JsonOrNull(id.mapDevice) +
           ", \"reason\": " + Json(s.reason) + "}";
}

std::string TextLine(const ComPortStatus& s) {
    const auto& id = s.identity;
    char head[32];
    std::snprintf(head, sizeof head, "COM%-3d %-10s", id.comNumber,
                  pmv::platform::ComAccessName(s.access));
    std::string line = head;
    if (!id.present) {
        // Numbers without any device say nothing more.
        if ((!id.device.empty() || id.publisherPid != 0) && !id.absence.empty())
            line += " " + id.absence;
    } else {
        line += " " + id.node;
        if (!id.byId.empty())
            line += " (by-id " + id.byId.substr(id.byId.rfind('/') + 1) + ")";
        std::string what = id.Description();
        if (id.publisherPid != 0) {
            what += (what.empty() ? "" : ", ") + std::string("published by ") + id.publisherName +
                    " (pid " + std::to_string(id.publisherPid) + ")";
            if (!id.mapDevice.empty() && id.mapDevice != id.device)
                what += " in place of the map's " + id.mapDevice;
        }
        if (!what.empty())
            line += ": " + what;
        if (s.access != ComAccess::Ok)
            line += "; " + s.reason;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

// "7" or "COM7" (any case) in 1..32; 0 otherwise.
int ParseCom(const char* arg) {
    if (strncasecmp(arg, "COM", 3) == 0)
        arg += 3;
    if (*arg < '1' || *arg > '9' || std::strlen(arg) > 2)
        return 0;
    int n = 0;
    for (; *arg != '\0'; ++arg) {
        if (*arg < '0' || *arg > '9')
            return 0;
        n = n * 10 + (*arg - '0');
    }
    return n <= pmv::platform::kMaxComNumber ? n : 0;
}

} // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::vector<int> wanted;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "-v" || arg == "--version") {
            std::printf("pmv-ports %d.%d\n", pmv::kVersionMajor, pmv::kVersionMinor);
            return 0;
        }
        if (arg == "--json") {
            json = true;
            continue;
        }
        if (!arg.empty() && arg[0] == '-')
            return Refuse("unknown option '" + arg + "'");
        const int n = ParseCom(argv[i]);
        if (n == 0)
            return Refuse("'" + arg + "' is not a COM number 1-32");
        wanted.push_back(n);
    }
    const std::string mapError = pmv::platform::DeviceMapError();
    if (!mapError.empty())
        std::fprintf(stderr, "pmv-ports: %s\n", mapError.c_str());
    const std::vector<ComPortStatus> all = pmv::platform::ReadComPortStatuses();
    std::vector<const ComPortStatus*> shown;
    bool allOk = true;
    if (wanted.empty()) {
        for (const ComPortStatus& s : all)
            shown.push_back(&s);
    } else {
        for (const int n : wanted) {
            shown.push_back(&all[static_cast<std::size_t>(n - 1)]);
            allOk = allOk && all[static_cast<std::size_t>(n - 1)].access == ComAccess::Ok;
        }
    }
    std::string out;
    if (json) {
        out = "[";
        for (std::size_t i = 0; i < shown.size(); ++i)
            out += (i > 0 ? ",\n " : "") + JsonObject(*shown[i]);
        out += "]\n";
    } else {
        for (const ComPortStatus* s : shown)
            out += TextLine(*s) + "\n";
    }
    std::fputs(out.c_str(), stdout);
    if (std::fflush(stdout) != 0) {
        std::perror("pmv-ports: stdout");
        return kExitUsage;
    }
    return allOk && mapError.empty() ? 0 : kExitNotUsable;
}
