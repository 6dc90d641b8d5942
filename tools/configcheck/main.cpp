// pmv-configcheck FILE: loads a configuration file as the host does and says
// what the host would say.
//
//   exit 0: one summary line (serial settings, title, number of defined slots)
//   exit 1: the message the host logs for a file that fails its checks
//   exit 2: "Cannot open file FILE" (or a usage line)
#include "comport/LnkText.h"
#include "config/ConfigFile.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pmv-configcheck FILE\n");
        return 2;
    }
    const pmv::TConfigLoadResult r = pmv::LoadConfigFile(argv[1]);
    switch (r.Status) {
    case pmv::TConfigLoadStatus::CannotOpen:
        std::printf("%s\n", r.Message.c_str());
        return 2;
    case pmv::TConfigLoadStatus::Invalid:
        std::printf("%s\n", r.Message.c_str());
        return 1;
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
        r.Set.Title.c_str(), defined, pmv::SlotCount);
    return 0;
}
