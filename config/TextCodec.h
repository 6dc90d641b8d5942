// The one text codec of the program.
//
// Texts inside the program are 8-bit, one byte per character, as the
// configuration file format stores them and the window shows them: byte n is
// the character U+00nn (Latin-1). Everything written for people and scripts
// (tables, CSV, JSON, log files) is UTF-8 made from that text, and UTF-8 that
// comes in (a command line, a configuration saved by a Linux editor) is taken
// in when each of its characters has an 8-bit form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pmv {

// How a configuration file's texts were stored: as the 8-bit bytes
// themselves, or as their UTF-8 form.
enum class TTextEncoding { EightBit, Utf8 };

// The UTF-8 form of 8-bit text. Never fails.
std::string EightBitToUtf8(std::string_view text);

enum class TUtf8Status {
    Ok,         // every character has an 8-bit form
    NotUtf8,    // the bytes are not valid UTF-8
    DoesNotFit, // a character above U+00FF; Unfit() names the first
};

// UTF-8 to 8-bit text, fed in pieces of any size (a character may span two
// pieces). Once the status is no longer Ok, Feed appends nothing more.
class TUtf8Decoder {
public:
    // Appends the 8-bit form of the complete characters in bytes to out.
    void Feed(std::string_view bytes, std::string& out);
    // Ends the input: a character left incomplete makes it NotUtf8.
    TUtf8Status Finish();

    TUtf8Status Status() const { return m_status; }
    // True once a byte above 0x7F was taken in.
    bool HadNonAscii() const { return m_nonAscii; }
    // The first character that has no 8-bit form.
    char32_t Unfit() const { return m_unfit; }

private:
    TUtf8Status m_status = TUtf8Status::Ok;
    char32_t m_code = 0; // the character being put together
    int m_left = 0;      // continuation bytes it still needs
    char32_t m_min = 0;  // its smallest legal value (no overlong forms)
    bool m_nonAscii = false;
    char32_t m_unfit = 0;
};

struct TUtf8Conversion {
    TUtf8Status status = TUtf8Status::Ok;
    std::string text;   // the 8-bit text when Ok
    char32_t unfit = 0; // when DoesNotFit
};

// The whole of bytes at once.
TUtf8Conversion Utf8ToEightBit(std::string_view bytes);

// Bytes from the system (a file name, a device path, a process name) for
// UTF-8 output: valid UTF-8 as it is, anything else byte for byte as 8-bit
// characters, so that nothing invalid is written and nothing is dropped.
std::string BytesToUtf8(std::string_view bytes);

// "U+20AC" and the character itself in UTF-8, for messages: "'€' (U+20AC)".
std::string DescribeCharacter(char32_t c);

// The first byte below 0x20 in text, or -1.
int FirstControlCharacter(std::string_view text);

} // namespace pmv
