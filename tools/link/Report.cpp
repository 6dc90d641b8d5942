#include "tools/link/Report.h"

#include "config/TextCodec.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace pmv::linkcli {

namespace {

std::string LocalTime(std::chrono::system_clock::time_point t, bool dateToo) {
    const std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    ::localtime_r(&s, &local);
    char buf[40];
    if (!dateToo) {
        std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
        return buf;
    }
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string text = buf; // ...+0100 -> ...+01:00
    if (text.size() > 2)
        text.insert(text.size() - 2, ":");
    return text;
}

QString Latin(const std::string& eightBit) {
    return QString::fromLatin1(eightBit.data(), static_cast<qsizetype>(eightBit.size()));
}

QString Path(const std::string& bytes) {
    return QString::fromStdString(BytesToUtf8(bytes));
}

QJsonValue LatinOrNull(const std::optional<std::string>& text) {
    return text ? QJsonValue(Latin(*text)) : QJsonValue(QJsonValue::Null);
}

// "SPD=1600 (1500 expected); SN (timeout)" (8-bit).
std::string DifferingText(const TUnitRecord& r) {
    std::string text;
    for (const TUnitDifference& d : r.differing) {
        if (!text.empty())
            text += "; ";
        text += d.word;
        if (d.target)
            text += "=" + *d.target;
        if (d.status == "differs")
            text += d.expected ? " (" + *d.expected + " expected)" : std::string();
        else
            text += " (" + d.status + ")";
    }
    return text;
}

// "SPD=1500;ACC=200" (8-bit).
std::string ValuesText(const TUnitRecord& r) {
    std::string text;
    for (const auto& [word, value] : r.values)
        text += (text.empty() ? "" : ";") + word + "=" + value;
    return text;
}

// The value of the i-th identity word; none when not read (or not in time).
std::optional<std::string> IdentityValue(const TUnitRecord& r, std::size_t i) {
    return i < r.identity.size() ? r.identity[i].second : std::nullopt;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

constexpr std::size_t kResultWidth = 7; // "timeout"

} // namespace

std::string DeviceLabel(const std::string& device, const std::string& byId) {
    return byId.empty() ? device : byId.substr(byId.rfind('/') + 1);
}

TRowFormat::TRowFormat(std::vector<std::string> identityWords, std::size_t deviceWidth)
    : m_words(std::move(identityWords)), m_deviceWidth(std::max<std::size_t>(deviceWidth, 6)) {}

std::string TRowFormat::Header(TFormat format) const {
    std::string line;
    switch (format) {
    case TFormat::Json:
        return {};
    case TFormat::Csv:
        line = "time,command,port,device,by_id";
        for (const std::string& w : m_words)
            line += "," + CsvField(w);
        line += ",result,reason,differing,values,requests,elapsed_ms\r\n";
        return EightBitToUtf8(line);
    case TFormat::Table:
        line = "TIME      PORT   " + Pad("DEVICE", m_deviceWidth) + "  ";
        for (const std::string& w : m_words)
            line += Pad(w, std::max<std::size_t>(w.size(), 8)) + "  ";
        line += Pad("RESULT", kResultWidth) + "  DETAILS";
        return EightBitToUtf8(line) + "\n";
    }
    return {};
}

std::string TRowFormat::Row(const TUnitRecord& r, TFormat format) const {
    const std::string port = "COM" + std::to_string(r.com);
    switch (format) {
    case TFormat::Json: {
        QJsonObject identity;
        for (std::size_t i = 0; i < m_words.size(); ++i)
            identity.insert(Latin(m_words[i]), LatinOrNull(IdentityValue(r, i)));
        QJsonArray differing;
        for (const TUnitDifference& d : r.differing)
            differing.append(QJsonObject{{"slot", d.slot + 1},
                                         {"command", Latin(d.word)},
                                         {"expected", LatinOrNull(d.expected)},
                                         {"target", LatinOrNull(d.target)},
                                         {"status", QString::fromStdString(d.status)}});
        QJsonObject values;
        for (const auto& [word, value] : r.values)
            values.insert(Latin(word), Latin(value));
        const QJsonObject o{
            {"time", QString::fromStdString(LocalTime(r.time, true))},
            {"command", QString::fromStdString(r.command)},
            {"port", QString::fromStdString(port)},
            {"device", Path(r.device)},
            {"by_id", r.byId.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(Path(r.byId))},
            {"identity", identity},
            {"result", UnitResultText(r.result)},
            {"reason", QString::fromStdString(EightBitToUtf8(r.reason))},
            {"differing", differing},
            {"values", values},
            {"requests", r.requests},
            {"elapsed_ms", static_cast<qint64>(r.elapsed.count())}};
        return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + "\n";
    }
    case TFormat::Csv: {
        // Paths are bytes, the rest 8-bit text: each converted by its rule.
        std::string line = LocalTime(r.time, true) + "," + r.command + "," + port + "," +
                           CsvField(BytesToUtf8(r.device)) + "," + CsvField(BytesToUtf8(r.byId));
        std::string rest;
        for (std::size_t i = 0; i < m_words.size(); ++i)
            rest += "," + CsvField(IdentityValue(r, i).value_or(""));
        rest += std::string(",") + UnitResultText(r.result) + "," + CsvField(r.reason) + "," +
                CsvField(DifferingText(r)) + "," + CsvField(ValuesText(r)) + "," +
                std::to_string(r.requests) + "," + std::to_string(r.elapsed.count()) + "\r\n";
        return line + EightBitToUtf8(rest);
    }
    case TFormat::Table: {
        std::string line = LocalTime(r.time, false) + "  " + Pad(port, 5) + "  ";
        std::string device = BytesToUtf8(DeviceLabel(r.device, r.byId));
        line += device +
                std::string(m_deviceWidth > device.size() ? m_deviceWidth - device.size() : 0, ' ');
        std::string rest = "  ";
        for (std::size_t i = 0; i < m_words.size(); ++i) {
            const std::string value = IdentityValue(r, i).value_or("-");
            rest += Pad(value, std::max<std::size_t>(m_words[i].size(), 8)) + "  ";
        }
        rest += Pad(UnitResultText(r.result), kResultWidth) + "  " + r.reason;
        if (const std::string differing = DifferingText(r); !differing.empty())
            rest += (r.reason.empty() ? "" : ": ") + differing;
        while (!rest.empty() && rest.back() == ' ')
            rest.pop_back();
        return line + EightBitToUtf8(rest) + "\n";
    }
    }
    return {};
}

// ---- Report file --------------------------------------------------------------------

TReportFile::~TReportFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

TFormat TReportFile::FormatOf(const std::string& path) {
    for (const char* ext : {".json", ".jsonl"}) {
        const std::string e = ext;
        if (path.size() > e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0)
            return TFormat::Json;
    }
    return TFormat::Csv;
}

std::string TReportFile::Open(const std::string& path, const TRowFormat& format,
                              bool* headerMismatch) {
    *headerMismatch = false;
    m_format = FormatOf(path);
    m_rows = &format;
    m_fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (m_fd < 0)
        return std::strerror(errno);
    if (m_format != TFormat::Csv)
        return {};
    const std::string header = format.Header(TFormat::Csv);
    ::flock(m_fd, LOCK_EX);
    std::string first;
    char buf[4096];
    const ssize_t n = ::pread(m_fd, buf, sizeof buf, 0);
    std::string why;
    if (n < 0) {
        why = std::strerror(errno);
    } else if (n == 0) {
        if (!WriteLocked(header))
            why = std::strerror(m_error);
    } else {
        first.assign(buf, static_cast<std::size_t>(n));
        first = first.substr(0, first.find('\n') + 1);
        if (first != header) {
            *headerMismatch = true;
            why = "it has other columns (written with other --identity words, or not a report)";
        }
    }
    ::flock(m_fd, LOCK_UN);
    return why;
}

bool TReportFile::WriteLocked(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(m_fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (m_error == 0)
                m_error = w < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

bool TReportFile::Append(const TUnitRecord& record) {
    if (m_fd < 0 || m_rows == nullptr)
        return false;
    ::flock(m_fd, LOCK_EX);
    const bool ok = WriteLocked(m_rows->Row(record, m_format));
    ::flock(m_fd, LOCK_UN);
    return ok;
}

} // namespace pmv::linkcli
