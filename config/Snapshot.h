// Snapshots: the target's parameter values as they stood before a write,
// kept as a configuration file (so a snapshot loads and compares like any
// configuration) in a folder beside the configuration file.
//
//   <folder of the configuration>/snapshots/2025-12-07_194233_COM25.ini
//
// The snapshot holds the command set with the values read in place of the
// file values (val_start). A parameter whose value is not known (no reply,
// not an integer, outside the file's 0..65535) keeps its file value but
// leaves Get All and Set All, so that nothing loaded from the snapshot sends
// a value the target never held.
#pragma once

#include "config/Comparison.h"
#include "config/ConfigFile.h"

#include <ctime>
#include <string>
#include <vector>

namespace pmv {

inline constexpr const char* kSnapshotFolderName = "snapshots";

// The snapshot folder beside a configuration file (a path as bytes).
std::string SnapshotFolder(const std::string& configPath);

// "2025-12-07_194233_COM25.ini" for a local time and a port number.
std::string SnapshotFileName(const std::tm& local, int port);

struct TSnapshotSet {
    TConfigSet set;
    int kept = 0;             // values read and kept
    std::vector<int> leftOut; // slots whose value is not known
};

// The set a snapshot holds: set with the values of the comparison's rows.
TSnapshotSet MakeSnapshotSet(const TConfigSet& set, const TSetComparison& read);

struct TSnapshotWrite {
    bool ok = false;
    std::string path;    // where it was written
    std::string message; // why not: "Cannot create folder %s", "Cannot create file %s"
    std::vector<std::string> warnings; // written, but it would not load back
};

// Creates the folder when needed and writes the set under a name not yet
// taken (a suffix -2, -3 ... after the time when it is), its texts in
// encoding (that of the configuration file).
TSnapshotWrite WriteSnapshot(const std::string& folder, const std::string& fileName,
                             const TConfigSet& set,
                             TTextEncoding encoding = TTextEncoding::EightBit);

} // namespace pmv
