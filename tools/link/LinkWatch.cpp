#include "tools/link/LinkWatch.h"

#include "app/link/WatchCsv.h"
#include "config/TextCodec.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>

namespace pmv::linkcli {

namespace {

constexpr int kTimeWidth = 29; // 2026-12-07T22:56:04.123+01:00
constexpr int kValueWidth = 10;

std::string Padded(std::string text, std::size_t width) {
    // Widths count characters: UTF-8 continuation bytes take no column.
    const auto columns = std::size_t(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
    if (columns < width)
        text.append(width - columns, ' ');
    return text;
}

} // namespace

TWatchPrinter::TWatchPrinter(const TCmdTable& table, const std::vector<int>& watched,
                             TFormat format, std::FILE* out)
    : m_format(format), m_out(out) {
    for (int s : watched)
        m_wordWidth = std::max(m_wordWidth, int(EightBitToUtf8(table[s].cmd_str).size()));
}

bool TWatchPrinter::Header() {
    switch (m_format) {
    case TFormat::Table:
        return Write(Padded("TIME", kTimeWidth) + "  SLOT  " + Padded("COMMAND", m_wordWidth) +
                     "  " + Padded("VALUE", kValueWidth) + "  STATUS\n");
    case TFormat::Csv:
        return Write(TWatchCsv::kHeader);
    case TFormat::Json:
        return true;
    }
    return true;
}

std::string TWatchPrinter::Line(const TWatchSample& s) const {
    switch (m_format) {
    case TFormat::Table: {
        char slot[16];
        std::snprintf(slot, sizeof slot, "%4d", s.slot + 1);
        return Padded(Rfc3339Millis(s.time), kTimeWidth) + "  " + slot + "  " +
               Padded(EightBitToUtf8(s.word), std::size_t(m_wordWidth)) + "  " +
               Padded(EightBitToUtf8(s.value), kValueWidth) + "  " + WatchStatusText(s.status) +
               "\n";
    }
    case TFormat::Csv:
        return WatchCsvRow(s);
    case TFormat::Json: {
        QJsonObject o;
        o.insert(QStringLiteral("time"), QString::fromStdString(Rfc3339Millis(s.time)));
        o.insert(QStringLiteral("slot"), s.slot + 1);
        o.insert(QStringLiteral("command"), QString::fromStdString(EightBitToUtf8(s.word)));
        o.insert(QStringLiteral("value"), QString::fromStdString(EightBitToUtf8(s.value)));
        if (s.number)
            o.insert(QStringLiteral("number"), *s.number);
        o.insert(QStringLiteral("status"), QString::fromLatin1(WatchStatusText(s.status)));
        return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + "\n";
    }
    }
    return {};
}

bool TWatchPrinter::Print(const TWatchSample& sample) {
    return Write(Line(sample));
}

bool TWatchPrinter::Write(const std::string& text) {
    if (m_error != 0)
        return false;
    errno = 0;
    if (std::fputs(text.c_str(), m_out) < 0 || std::fflush(m_out) != 0) {
        m_error = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

} // namespace pmv::linkcli
