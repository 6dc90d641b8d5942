// Internal: the device map file and the publication files beside it, read
// and written so that nobody but this user (and root) can steer them.
//
// The map and its folder are used only when they belong to this user or
// root and nobody else may write them, as ssh treats its configuration;
// otherwise ReadMap gives one error naming the path and why, and no number
// is present. The map must be a regular file of at most kMaxMapBytes, and
// is never opened otherwise (a FIFO would block, a device has side effects
// on open). Its lines are parsed once and kept while the file's identity and
// times stay the same, so that asking for each COM number in turn reads it
// once. Files created beside it are created in the checked folder without
// following symbolic links.
#pragma once

#include "platform/DeviceMap.h"

#include <array>
#include <cstddef>
#include <string>
#include <sys/types.h>

namespace pmv::platform::detail {

/// Largest map file read; a larger one is refused as a whole.
constexpr std::size_t kMaxMapBytes = 1024 * 1024;

/// A publication file "<map>.COMn.pub": the line it publishes, its
/// publisher and whether the publisher still holds its lock.
struct TPublicationFile {
    bool exists = false; ///< a well-formed file for this number is there
    bool alive = false;  ///< its publisher holds the lock
    std::string device;
    int pid = 0;
    std::string name; ///< the publisher's name (/proc/PID/comm)
    std::string id;   ///< the publication's own random mark
};

/// One read of the map and the publications beside it.
struct TMapRead {
    /// Why the map is not used ("device map X not used: ..."); when set,
    /// nothing else is.
    std::string error;
    std::array<std::string, kMaxComNumber + 1> lines; ///< the operator's line per number
    std::array<TPublicationFile, kMaxComNumber + 1> pubs;
};

TMapRead ReadMap(const std::string& mapPath);

/// Why the map at mapPath is not used, or empty (as TMapRead::error).
std::string MapError(const std::string& mapPath);

/// The map's folder, opened and checked as ReadMap checks it, for files to
/// be created beside the map; created (mode 0700) when missing. Its path
/// goes to *dir and the map's base name to *base. -1 with a message in
/// *error on failure.
int OpenMapFolder(const std::string& mapPath, std::string* dir, std::string* base,
                  std::string* error);

/// Opens (O_CREAT with flags) the regular file name in the map folder
/// dirFd, never through a symbolic link, and checks that it is this user's.
/// -1 with a message in *error on failure (errno kept).
int OpenBesideMap(int dirFd, const std::string& dir, const std::string& name, int flags,
                  std::string* error);

/// The text of the map file name in its checked folder dirFd (empty when
/// there is none), for an editor of the map; false with a message when it
/// is not a regular file of at most kMaxMapBytes.
bool ReadMapText(int dirFd, const std::string& dir, const std::string& name, std::string* text,
                 std::string* error);

/// "commap.COM25.pub" for the map base name "commap".
std::string PublicationName(const std::string& mapBase, int n);

/// Parses "COMn=path" (n in 1..kMaxComNumber, an absolute path or a
/// network port, NetPort.h); false for anything else.
bool ParseMapLine(const std::string& rawLine, int& n, std::string& path);

} // namespace pmv::platform::detail
