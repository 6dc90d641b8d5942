#include "config/TextCodec.h"

#include <cstdio>

namespace pmv {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

} // namespace

std::string EightBitToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text)
        AppendUtf8(out, static_cast<unsigned char>(ch));
    return out;
}

void TUtf8Decoder::Feed(std::string_view bytes, std::string& out) {
    for (const char ch : bytes) {
        if (m_status != TUtf8Status::Ok)
            return;
        const auto b = static_cast<unsigned char>(ch);
        if (m_left > 0) {
            if ((b & 0xC0) != 0x80) {
                m_status = TUtf8Status::NotUtf8;
                return;
            }
            m_code = (m_code << 6) | (b & 0x3F);
            if (--m_left > 0)
                continue;
            if (m_code < m_min || m_code > 0x10FFFF || (m_code >= 0xD800 && m_code <= 0xDFFF)) {
                m_status = TUtf8Status::NotUtf8;
            } else if (m_code > 0xFF) {
                m_status = TUtf8Status::DoesNotFit;
                m_unfit = m_code;
            } else {
                out.push_back(static_cast<char>(m_code));
            }
            continue;
        }
        if (b < 0x80) {
            out.push_back(ch);
            continue;
        }
        m_nonAscii = true;
        if ((b & 0xE0) == 0xC0) {
            m_code = b & 0x1F;
            m_left = 1;
            m_min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            m_code = b & 0x0F;
            m_left = 2;
            m_min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            m_code = b & 0x07;
            m_left = 3;
            m_min = 0x10000;
        } else {
            m_status = TUtf8Status::NotUtf8;
        }
    }
}

TUtf8Status TUtf8Decoder::Finish() {
    if (m_status == TUtf8Status::Ok && m_left > 0)
        m_status = TUtf8Status::NotUtf8;
    return m_status;
}

TUtf8Conversion Utf8ToEightBit(std::string_view bytes) {
    TUtf8Conversion c;
    TUtf8Decoder d;
    c.text.reserve(bytes.size());
    d.Feed(bytes, c.text);
    c.status = d.Finish();
    c.unfit = d.Unfit();
    if (c.status != TUtf8Status::Ok)
        c.text.clear();
    return c;
}

std::string BytesToUtf8(std::string_view bytes) {
    TUtf8Decoder d;
    std::string scratch;
    d.Feed(bytes, scratch);
    return d.Finish() == TUtf8Status::NotUtf8 ? EightBitToUtf8(bytes) : std::string(bytes);
}

std::string DescribeCharacter(char32_t c) {
    std::string out = "'";
    AppendUtf8(out, c);
    char code[16];
    std::snprintf(code, sizeof code, "' (U+%04X)", static_cast<unsigned>(c));
    return out + code;
}

int FirstControlCharacter(std::string_view text) {
    for (const char ch : text)
        if (static_cast<unsigned char>(ch) < 0x20)
            return static_cast<unsigned char>(ch);
    return -1;
}

} // namespace pmv
