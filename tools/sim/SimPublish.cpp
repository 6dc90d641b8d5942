#include "tools/sim/SimPublish.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qxmsim {

namespace {

bool Fail(std::string* error, const std::string& what) {
    if (error)
        *error = what + ": " + std::strerror(errno);
    return false;
}

// "COMn=path" (blanks around the key allowed) -> n and path.
bool ParseLine(const std::string& line, int& n, std::string& path) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    std::string key = line.substr(0, eq);
    while (!key.empty() && (key.front() == ' ' || key.front() == '\t'))
        key.erase(0, 1);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
        key.pop_back();
    if (key.size() < 4 || key.size() > 5 || strncasecmp(key.c_str(), "COM", 3) != 0)
        return false;
    n = 0;
    for (std::size_t i = 3; i < key.size(); ++i) {
        if (key[i] < '0' || key[i] > '9')
            return false;
        n = n * 10 + (key[i] - '0');
    }
    path = line.substr(eq + 1);
    return true;
}

bool MakeDirs(const std::string& dir) {
    if (dir.empty())
        return true;
    std::string part;
    std::istringstream in(dir);
    std::string piece;
    if (dir[0] == '/')
        part = "/";
    while (std::getline(in, piece, '/')) {
        if (piece.empty())
            continue;
        part += piece;
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        part += '/';
    }
    return true;
}

// Rewrites the file without the line for COMn (only if it names `onlyIf`,
// when that is not empty) and, when `device` is not empty, with a new one.
bool Edit(const std::string& file, int n, const std::string& device, const std::string& onlyIf,
          std::string* error) {
    const std::size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : file.substr(0, slash);
    if (!MakeDirs(dir))
        return Fail(error, "cannot create " + dir);
    const std::string lockName = file + ".lock";
    const int lockFd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0)
        return Fail(error, "cannot open " + lockName);
    while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }

    std::vector<std::string> keep;
    {
        std::ifstream in(file);
        std::string line, path;
        int m = 0;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (ParseLine(line, m, path) && m == n && (onlyIf.empty() || path == onlyIf))
                continue;
            keep.push_back(line);
        }
    }
    if (!device.empty())
        keep.push_back("COM" + std::to_string(n) + "=" + device);

    bool ok = true;
    std::string temp = file + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        ok = Fail(error, "cannot create " + temp);
    } else {
        std::string text;
        for (const std::string& l : keep)
            text += l + '\n';
        const char* p = text.data();
        std::size_t left = text.size();
        while (ok && left > 0) {
            const ssize_t w = ::write(fd, p, left);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                ok = Fail(error, "cannot write " + temp);
            else {
                p += w;
                left -= static_cast<std::size_t>(w);
            }
        }
        ::fchmod(fd, 0644);
        if (::close(fd) != 0 && ok)
            ok = Fail(error, "cannot write " + temp);
        if (ok && ::rename(temp.c_str(), file.c_str()) != 0)
            ok = Fail(error, "cannot replace " + file);
        if (!ok)
            ::unlink(temp.c_str());
    }
    ::close(lockFd);
    return ok;
}

} // namespace

std::string DefaultMapPath() {
    const char* explicitPath = std::getenv("PMV_COMMAP");
    if (explicitPath && *explicitPath)
        return explicitPath;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg)
        base = xdg;
    else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/pmv-host/commap";
}

bool PublishPort(const std::string& mapFile, int n, const std::string& device,
                 std::string* error) {
    return Edit(mapFile, n, device, {}, error);
}

bool UnpublishPort(const std::string& mapFile, int n, const std::string& device,
                   std::string* error) {
    return Edit(mapFile, n, {}, device, error);
}

} // namespace qxmsim
