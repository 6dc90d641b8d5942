// Recovery copies and the identity of a configuration file on disk.
//
// When the program is ended by a signal (a logout, kill, Ctrl-C in the
// terminal that started it) with changes not saved, the window writes them
// as a recovery copy beside the configuration file, never over it:
// "pump.ini" gets "pump.recovered.ini" (then "pump.recovered-2.ini", ...;
// a configuration never saved gets "pmv-host.recovered.ini", and one whose
// folder cannot be written its copy, in the working folder). The next start,
// and the next load of that file, name the copy in the log.
//
// A file stamp tells whether the file on disk is still the one the window
// loaded or last saved (its size, time and content), so that Save can ask
// before it overwrites what another program wrote there meanwhile.
#pragma once

#include "config/ConfigFile.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace pmv {

struct TRecoveryResult {
    bool Ok = false;
    std::string Path;    // when Ok: the copy written
    std::string Message; // when !Ok: "Cannot create file %s" (with the reason for a full disk)
};

// Writes set as a recovery copy of configPath in its folder (in workDir when
// configPath is empty, or when its folder cannot be written), under the
// first free name. Never replaces a file.
TRecoveryResult WriteRecoveryCopy(const std::string& configPath, const std::string& workDir,
                                  const TConfigSet& set);

// The names (without folder, sorted) of the recovery copies in folder; with
// configName ("pump.ini") only those of that file.
std::vector<std::string> FindRecoveryCopies(const std::string& folder,
                                            const std::string& configName = {});

struct TFileStamp {
    bool exists = false;
    std::uint64_t size = 0;
    timespec mtime{};
    std::uint64_t hash = 0; // of the content

    bool operator==(const TFileStamp& o) const {
        return exists == o.exists && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && hash == o.hash;
    }
};

// The stamp of the regular file at path; exists is false for anything else.
TFileStamp StampFile(const std::string& path);

} // namespace pmv
