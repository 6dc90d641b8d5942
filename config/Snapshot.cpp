#include "config/Snapshot.h"

#include "config/IntText.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pmv {

namespace {

constexpr std::int32_t kFileValueMax = 65535;

} // namespace

std::string SnapshotFolder(const std::string& configPath) {
    const std::size_t slash = configPath.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : configPath.substr(0, slash));
    return (folder == "/" ? "" : folder) + "/" + kSnapshotFolderName;
}

std::string SnapshotFileName(const std::tm& local, int port) {
    char name[64];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d_%02d%02d%02d_COM%d.ini", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, port);
    return name;
}

TSnapshotSet MakeSnapshotSet(const TConfigSet& set, const TSetComparison& read) {
    TSnapshotSet s;
    s.set = set;
    for (const TCompareRow& row : read.Rows()) {
        TCmdRecord& rec = s.set.CmdTable[row.slot];
        const bool known = row.other && (row.status == TCompareStatus::Same ||
                                         row.status == TCompareStatus::Differs ||
                                         row.status == TCompareStatus::Late);
        const std::optional<std::int32_t> v = known ? TryStrToInt(*row.other) : std::nullopt;
        if (v && *v >= 0 && *v <= kFileValueMax) {
            rec.val_start = *v;
            ++s.kept;
        } else {
            rec.opts &= ~(IncInGetAll | IncInSetAll);
            s.leftOut.push_back(row.slot);
        }
    }
    return s;
}

TSnapshotWrite WriteSnapshot(const std::string& folder, const std::string& fileName,
                             const TConfigSet& set, TTextEncoding encoding) {
    TSnapshotWrite w;
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        w.message = "Cannot create folder " + folder;
        return w;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        w.message = "Cannot create folder " + folder;
        return w;
    }
    // Reserve a name nobody has taken; the text then replaces the empty file.
    const std::string stem = fileName.substr(0, fileName.rfind('.'));
    const std::string ext = fileName.substr(stem.size());
    for (int n = 1; n <= 100 && w.path.empty(); ++n) {
        const std::string path =
            folder + "/" + (n == 1 ? fileName : stem + "-" + std::to_string(n) + ext);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            w.path = path;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (w.path.empty()) {
        w.message = "Cannot create file " + folder + "/" + fileName;
        return w;
    }
    const std::string text = WriteConfig(set);
    w.message =
        WriteFileAtomically(w.path, encoding == TTextEncoding::Utf8 ? EightBitToUtf8(text) : text);
    if (!w.message.empty()) {
        ::unlink(w.path.c_str());
        return w;
    }
    w.ok = true;
    w.warnings = ConfigReadBackWarnings(text);
    return w;
}

} // namespace pmv
