// pmv-ports: one line per COM number saying what the device map makes of
// it, who has it open, and whether this user can open it (and if not, why
// and what to do). Reads the map, sysfs and /proc; opens no port. A
// network port's server is asked whether it answers (a short connect,
// closed at once). A map that is not the user's own is named once on
// standard error.
#include "config/CmdRecord.h"
#include "config/TextCodec.h"
#include "platform/NetPort.h"
#include "platform/PortStatus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using pmv::platform::ComAccess;
using pmv::platform::ComPortStatus;

constexpr int kExitNotUsable = 1;
constexpr int kExitUsage = 2;
constexpr int kExitOutput = 4;
constexpr int kProbeMs = 1000; // how long a network port's server is given to answer

constexpr const char kHelp[] =
    "Usage: pmv-ports [options] [N|COMN ...]\n"
    "Lists the COM numbers 1-32 as PMV-Host sees them: present or absent, the device\n"
    "node, its /dev/serial/by-id name, what the device is, which programs have it\n"
    "open, and whether you may open it; if not, why and what to do. Naming numbers\n"
    "lists only those. No port is opened; the server of a network port\n"
    "(rfc2217://HOST:PORT, tcp://HOST:PORT) is asked whether it answers.\n"
    "\n"
    "States: ok; absent; busy (another program has the node open); permission (you\n"
    "may not open the node: join the group the line names); not-serial (the number\n"
    "names something that is no serial device, such as /dev/null).\n"
    "\n"
    "Options:\n"
    "  --json         Prints a JSON array of objects with the keys com, present,\n"
    "                 device, by_id, description, holders ([{pid, name}]), access\n"
    "                 (ok, absent, permission, busy, not-serial), publisher\n"
    "                 ({pid, name} or null), map_device (the map's own line for\n"
    "                 the number, also while a publication stands in its place;\n"
    "                 or null), answers (a network port's server answered; null\n"
    "                 for a device) and reason (empty when ok).\n"
    "  -h, --help     Shows this help and exits.\n"
    "  -v, --version  Shows the version and exits.\n"
    "\n"
    "The device map is used only when it and its folder belong to you (or root)\n"
    "and nobody else may write them; it must be a regular file of at most 1 MiB.\n"
    "\n"
    "Exit status:\n"
    "  0  listed (and every number named can be opened now)\n"
    "  1  a number named cannot be opened now (or its server does not answer),\n"
    "     or the device map is not used\n"
    "  2  a bad command line\n"
    "  4  standard output could not be written\n"
    "\n"
    "Output is UTF-8; names from the system that are not UTF-8 show each byte as\n"
    "its Latin-1 character.\n";

int Refuse(const std::string& why) {
    std::fprintf(stderr, "pmv-ports: %s\nTry 'pmv-ports --help' for more information.\n",
                 why.c_str());
    return kExitUsage;
}

QString Text(const std::string& bytes) {
    return QString::fromStdString(pmv::BytesToUtf8(bytes));
}

QJsonValue TextOrNull(const std::string& bytes) {
    return bytes.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(Text(bytes));
}

/// A network port's answer: nullopt for a device, else empty when its
/// server answered, or why not.
using TAnswer = std::optional<std::string>;

TAnswer AskServer(const ComPortStatus& s) {
    if (!s.identity.present || !pmv::platform::IsNetPortName(s.identity.node))
        return std::nullopt;
    std::string why;
    return pmv::platform::NetPortAnswers(s.identity.node, kProbeMs, &why) ? std::string() : why;
}

QJsonObject JsonObject(const ComPortStatus& s, const TAnswer& answer) {
    const auto& id = s.identity;
    QJsonArray holders;
    for (const pmv::platform::DeviceHolder& h : s.holders)
        holders.append(QJsonObject{{"pid", h.pid}, {"name", Text(h.name)}});
    QJsonObject o;
    o.insert("com", id.comNumber);
    o.insert("present", id.present);
    o.insert("device", TextOrNull(id.present ? id.node : id.device));
    o.insert("by_id", TextOrNull(id.byId));
    o.insert("description", TextOrNull(id.Description()));
    o.insert("holders", holders);
    o.insert("access", QString::fromLatin1(pmv::platform::ComAccessName(s.access)));
    o.insert("publisher", id.publisherPid == 0
                              ? QJsonValue(QJsonValue::Null)
                              : QJsonValue(QJsonObject{{"pid", id.publisherPid},
                                                       {"name", Text(id.publisherName)}}));
    o.insert("map_device", TextOrNull(id.mapDevice));
    o.insert("answers", answer ? QJsonValue(answer->empty()) : QJsonValue(QJsonValue::Null));
    o.insert("reason", Text(answer && !answer->empty() ? *answer : s.reason));
    return o;
}

std::string TextLine(const ComPortStatus& s, const TAnswer& answer) {
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
        if (answer)
            line += answer->empty() ? "; answers" : "; does not answer (" + *answer + ")";
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
    if (wanted.empty()) {
        for (const ComPortStatus& s : all)
            shown.push_back(&s);
    } else {
        for (const int n : wanted)
            shown.push_back(&all[static_cast<std::size_t>(n - 1)]);
    }
    bool allOk = true;
    std::vector<TAnswer> answers;
    for (const ComPortStatus* s : shown) {
        answers.push_back(AskServer(*s));
        if (!wanted.empty())
            allOk = allOk && s->access == ComAccess::Ok && answers.back().value_or("").empty();
    }
    std::string out;
    if (json) {
        QJsonArray array;
        for (std::size_t i = 0; i < shown.size(); ++i)
            array.append(JsonObject(*shown[i], answers[i]));
        out = QJsonDocument(array).toJson(QJsonDocument::Compact).toStdString() + "\n";
    } else {
        for (std::size_t i = 0; i < shown.size(); ++i)
            out += pmv::BytesToUtf8(TextLine(*shown[i], answers[i])) + "\n";
    }
    errno = 0;
    if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "pmv-ports: cannot write the list: %s\n",
                     std::strerror(errno != 0 ? errno : EIO));
        return kExitOutput;
    }
    return allOk && mapError.empty() ? 0 : kExitNotUsable;
}
