#include "config/Recovery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pmv {
namespace {

constexpr const char* kRecovered = ".recovered";
constexpr int kMaxCopies = 99;

// "pump" for "pump.ini" (any case of the extension), else the name itself.
std::string Stem(const std::string& name) {
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".ini") == 0)
        return name.substr(0, name.size() - 4);
    return name;
}

std::string CopyName(const std::string& stem, int number) {
    return stem + kRecovered + (number == 1 ? "" : "-" + std::to_string(number)) + ".ini";
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += static_cast<std::size_t>(w);
    }
    return true;
}

bool DiskFull(int err) {
    return err == ENOSPC || err == EDQUOT;
}

// Writes bytes as "<stem>.recovered[-n].ini" in folder under the first free
// name: written whole to a file of its own, then linked, so that a name that
// exists is never replaced.
TRecoveryResult WriteCopy(const std::string& folder, const std::string& stem,
                          const std::string& bytes) {
    TRecoveryResult result;
    const std::string base = folder + "/" + stem;
    result.Message = "Cannot create file " + base + kRecovered + ".ini";
    const std::string temp = base + kRecovered + "." + std::to_string(::getpid()) + ".tmp";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return result;
    bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const int err = errno;
    ok = ::close(fd) == 0 && ok;
    for (int number = 1; ok && number <= kMaxCopies; ++number) {
        const std::string path = CopyName(base, number);
        if (::link(temp.c_str(), path.c_str()) == 0) {
            result = {true, path, {}};
            break;
        }
        if (errno != EEXIST)
            break;
    }
    if (!ok && DiskFull(err))
        result.Message += ": the disk is full";
    ::unlink(temp.c_str());
    return result;
}

} // namespace

TRecoveryResult WriteRecoveryCopy(const std::string& configPath, const std::string& workDir,
                                  const TConfigSet& set) {
    const std::string bytes = WriteConfig(set);
    if (configPath.empty())
        return WriteCopy(workDir, "pmv-host", bytes);
    const auto slash = configPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : configPath.substr(0, slash);
    const std::string stem = Stem(configPath.substr(slash == std::string::npos ? 0 : slash + 1));
    const TRecoveryResult beside = WriteCopy(folder, stem, bytes);
    // A folder the file may be read from but not written to: the working
    // folder, where the next start looks, rather than nothing.
    if (beside.Ok || workDir.empty() || workDir == folder)
        return beside;
    const TRecoveryResult here = WriteCopy(workDir, stem, bytes);
    return here.Ok ? here : beside;
}

std::vector<std::string> FindRecoveryCopies(const std::string& folder,
                                            const std::string& configName) {
    std::vector<std::string> found;
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr)
        return found;
    const std::string prefix = configName.empty() ? std::string() : Stem(configName) + kRecovered;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        // "<stem>.recovered.ini" or "<stem>.recovered-<n>.ini"
        const auto at = name.rfind(kRecovered);
        if (at == std::string::npos || at == 0 || (!prefix.empty() && at + 10 != prefix.size()))
            continue;
        const std::string rest = name.substr(at + std::strlen(kRecovered));
        const bool numbered = rest.size() > 5 && rest[0] == '-' &&
                              rest.compare(rest.size() - 4, 4, ".ini") == 0 &&
                              rest.find_first_not_of("0123456789", 1) == rest.size() - 4;
        if (rest == ".ini" || numbered)
            found.push_back(name);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

TFileStamp StampFile(const std::string& path) {
    TFileStamp stamp;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return stamp;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        stamp.exists = true;
        stamp.size = static_cast<std::uint64_t>(st.st_size);
        stamp.mtime = st.st_mtim;
        // FNV-1a over the content.
        std::uint64_t h = 1469598103934665603ULL;
        char buf[16384];
        ssize_t n = 0;
        while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            for (ssize_t i = 0; i < n; ++i)
                h = (h ^ static_cast<unsigned char>(buf[i])) * 1099511628211ULL;
        stamp.hash = h;
    }
    ::close(fd);
    return stamp;
}

} // namespace pmv
