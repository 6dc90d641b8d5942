// pmv-configcheck FILE: loads a configuration file as the host does and says
// what the host would say.
//
//   exit 0: one summary line on stdout (serial settings, title, number of
//           defined slots)
//   exit 1: the message the host logs for a file that fails its checks, on
//           stderr
//   exit 2: "Cannot open file FILE" on stderr, or a bad command line
#include "comport/LnkText.h"
#include "config/CmdRecord.h"
#include "config/ConfigFile.h"
#include "config/TextCodec.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kExitInvalid = 1;
constexpr int kExitCannotOpen = 2;
constexpr int kExitUsage = 2;

constexpr const char kHelp[] =
    "Usage: pmv-configcheck [options] [--] FILE\n"
    "Loads the configuration file FILE as PMV-Host does and says what the host would say:\n"
    "a one-line summary on standard output when the host would accept the file, else the\n"
    "message the host logs, on standard error.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Shows this help and exits.\n"
    "  -v, --version  Shows the version and exits.\n"
    "  --             Ends the options (for a FILE whose name starts with '-').\n"
    "\n"
    "Exit status:\n"
    "  0  the host accepts the file\n"
    "  1  the file fails the host's checks\n"
    "  2  the file cannot be read, or a bad command line\n";

int Refuse(const std::string& why) {
    std::fprintf(stderr,
                 "pmv-configcheck: %s\nTry 'pmv-configcheck --help' for more information.\n",
                 why.c_str());
    return kExitUsage;
}

int Check(const char* file) {
    const pmv::TConfigLoadResult r = pmv::LoadConfigFile(file);
    switch (r.Status) {
    case pmv::TConfigLoadStatus::CannotOpen:
        std::fprintf(stderr, "%s\n", r.Message.c_str());
        return kExitCannotOpen;
    case pmv::TConfigLoadStatus::Invalid:
        std::fprintf(stderr, "%s\n", r.Message.c_str());
        return kExitInvalid;
    case pmv::TConfigLoadStatus::Ok:
        break;
    }
    int defined = 0;
    for (const pmv::TCmdRecord& c : r.Set.CmdTable)
        defined += c.defined() ? 1 : 0;
    std::printf(
        "COM%d: %s %s %s %s, title \"%s\", %d of %d slots defined\n", r.Set.ComPort,
        QORLNK::BaudRateStr(r.Set.BaudRate).c_str(), QORLNK::DataBitsStr(r.Set.DataBits).c_str(),
        QORLNK::ParityStr(r.Set.Parity).c_str(), QORLNK::StopBitsStr(r.Set.StopBits).c_str(),
        pmv::EightBitToUtf8(r.Set.Title).c_str(), defined, pmv::kSlotCount);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const char* file = nullptr;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool isOption = !optionsEnded && arg[0] == '-' && arg[1] != '\0';
        if (isOption && std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
        } else if (isOption && (!std::strcmp(arg, "-h") || !std::strcmp(arg, "--help"))) {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (isOption && (!std::strcmp(arg, "-v") || !std::strcmp(arg, "--version"))) {
            std::printf("pmv-configcheck %d.%d\n", pmv::kVersionMajor, pmv::kVersionMinor);
            return 0;
        } else if (isOption) {
            return Refuse(std::string("unknown option '") + arg + "'");
        } else if (file) {
            return Refuse(std::string("more than one FILE ('") + arg + "')");
        } else {
            file = arg;
        }
    }
    if (!file)
        return Refuse("no FILE given");
    return Check(file);
}
