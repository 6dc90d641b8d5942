#include "app/link/WatchCsv.h"

#include "config/TextCodec.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace pmv {

std::string Rfc3339Millis(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    long millis = static_cast<long>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --secs;
    }
    std::tm tm{};
    localtime_r(&secs, &tm);
    const long offset = tm.tm_gmtoff / 60;
    char out[80];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  millis, offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return out;
}

std::string CsvQuoted(std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(field);
    std::string out = "\"";
    for (char c : field) {
        if (c == '"')
            out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string WatchCsvRow(const TWatchSample& sample) {
    std::string row = Rfc3339Millis(sample.time);
    row += ',';
    row += std::to_string(sample.slot + 1);
    row += ',';
    row += CsvQuoted(EightBitToUtf8(sample.word));
    row += ',';
    row += CsvQuoted(EightBitToUtf8(sample.value));
    row += ',';
    row += WatchStatusText(sample.status);
    row += "\r\n";
    return row;
}

TWatchCsv::~TWatchCsv() {
    Close();
}

bool TWatchCsv::Open(const std::string& path) {
    Close();
    m_path = path;
    m_error.clear();
    m_rows = 0;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_fd < 0) {
        m_error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    return WriteAll(kHeader);
}

bool TWatchCsv::Write(const TWatchSample& sample) {
    if (m_fd < 0)
        return false;
    m_row = WatchCsvRow(sample);
    if (!WriteAll(m_row))
        return false;
    ++m_rows;
    return true;
}

bool TWatchCsv::WriteAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = "cannot write " + m_path + ": " + std::strerror(n < 0 ? errno : EIO);
            Close();
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

void TWatchCsv::Close() {
    if (m_fd >= 0) {
        if (::close(m_fd) != 0 && m_error.empty())
            m_error = "cannot write " + m_path + ": " + std::strerror(errno);
        m_fd = -1;
    }
}

} // namespace pmv
