#include "config/ConfigFile.h"

#include "comport/LnkText.h"
#include "config/IntText.h"
#include "config/TextCodec.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <span>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace pmv {

namespace {

// ---------------------------------------------------------------------------
// Splitting into lines
//
// A line of up to kLineKept bytes is kept as it is. A longer line can only be
// a valid integer item, padded with blanks or zeros, so of a longer line every
// run of more than kRunKept blanks or zeros is shortened to kRunKept bytes.
// That changes no integer's value or validity: a leading run stays a leading
// run, and a run of kRunKept zeros after a significant digit overflows 32 bits
// as the longer run did. A line that is still longer than kLineKept is no item
// at all and nothing of it is kept. So a text of any size costs at most
// kConfigLineCount * kLineKept bytes.

constexpr std::size_t kRunKept = 64;
constexpr std::size_t kLineKept = 256;

static_assert(kRunKept >= 10, "ten decimal digits already overflow 32 bits");
// The longest valid integer line, shortened: "vers_major:" (11 bytes), a run
// of blanks, a sign or "0x" (2), a run of zeros and up to 10 digits.
static_assert(kLineKept >= 11 + kRunKept + 2 + kRunKept + 10);
// The longest valid text line ("str: " and 80 bytes) is kept as it is.
static_assert(kLineKept >= 85);

// What is kept of one line.
enum class TLineForm : std::uint8_t {
    Whole,     // text is the line itself
    Shortened, // text is the line with its long runs of blanks and zeros shortened
    Dropped,   // the line is too long to be any item; text is empty
};

struct TLine {
    std::string_view text = {};
    TLineForm form = TLineForm::Whole;
};

// Collects the lines of a text fed in chunks of any size. All lines are
// counted; only the first kConfigLineCount are kept.
class TLineCollector {
public:
    TLineCollector() { m_kept.reserve(kConfigLineCount); }

    // Returns false once the text has ended at a NUL byte; later bytes are ignored.
    bool Feed(std::string_view chunk) {
        std::size_t i = 0;
        const std::size_t n = chunk.size();
        while (i < n && !m_ended) {
            if (m_pendingCR) {
                m_pendingCR = false;
                if (chunk[i] == '\n') {
                    ++i;
                    continue;
                }
            }
            // Take the run of ordinary bytes up to the next CR, LF or NUL.
            std::size_t j = i;
            while (j < n && chunk[j] != '\r' && chunk[j] != '\n' && chunk[j] != '\0')
                ++j;
            Append(chunk.substr(i, j - i));
            if (j == n)
                break;
            const char c = chunk[j];
            i = j + 1;
            if (c == '\0') {
                m_ended = true;
            } else {
                EndLine();
                m_pendingCR = (c == '\r');
            }
        }
        return !m_ended;
    }

    // Ends the text: an unterminated last line counts, an empty one does not.
    void Finish() {
        if (m_lineOpen)
            EndLine();
    }

    std::int64_t Count() const { return m_count; }

    // Line n (0-based); n < Count() and n < kConfigLineCount.
    TLine Line(std::size_t n) const {
        const TKept& k = m_kept[n];
        return {std::string_view(m_store).substr(k.offset, k.length), k.form};
    }

private:
    struct TKept {
        std::size_t offset;
        std::size_t length;
        TLineForm form;
    };

    bool Keeping() const { return m_count < kConfigLineCount; }

    // Adds bytes without line ends to the current line.
    void Append(std::string_view bytes) {
        if (bytes.empty())
            return;
        m_lineOpen = true;
        if (!Keeping())
            return;
        switch (m_form) {
        case TLineForm::Whole:
            if (m_store.size() - m_lineStart + bytes.size() <= kLineKept) {
                m_store.append(bytes);
                return;
            }
            Shorten();
            AppendShortened(bytes);
            return;
        case TLineForm::Shortened:
            AppendShortened(bytes);
            return;
        case TLineForm::Dropped:
            return;
        }
    }

    // Replaces the current line, kept whole so far, by its shortened form.
    void Shorten() {
        const std::string whole = m_store.substr(m_lineStart);
        m_store.resize(m_lineStart);
        m_form = TLineForm::Shortened;
        AppendShortened(whole);
    }

    void AppendShortened(std::string_view bytes) {
        for (const char c : bytes) {
            if (m_form == TLineForm::Dropped)
                return;
            if (c == m_runByte) {
                if (m_runLength == kRunKept)
                    continue;
                ++m_runLength;
            } else {
                m_runByte = (c == ' ' || c == '0') ? c : '\0'; // no NUL reaches a line
                m_runLength = 1;
            }
            if (m_store.size() - m_lineStart == kLineKept) {
                m_store.resize(m_lineStart);
                m_form = TLineForm::Dropped;
            } else {
                m_store.push_back(c);
            }
        }
    }

    void EndLine() {
        if (Keeping())
            m_kept.push_back({m_lineStart, m_store.size() - m_lineStart, m_form});
        ++m_count;
        m_lineStart = m_store.size();
        m_form = TLineForm::Whole;
        m_runByte = '\0';
        m_runLength = 0;
        m_lineOpen = false;
    }

    std::string m_store; // the kept lines, one after the other
    std::vector<TKept> m_kept;
    std::int64_t m_count = 0;
    // The current line.
    std::size_t m_lineStart = 0;
    TLineForm m_form = TLineForm::Whole;
    char m_runByte = '\0'; // blank or zero of the run being shortened, else NUL
    std::size_t m_runLength = 0;
    bool m_lineOpen = false;
    bool m_pendingCR = false;
    bool m_ended = false;
};

// ---------------------------------------------------------------------------
// The rules for one line

// One accepted value of a choice item: its number (baud rate, data bits, stop
// bits) or its word (parity), and the ordinal of the setting it selects.
struct TChoice {
    std::int32_t number = 0;
    std::string_view word = {};
    int setting = 0;
};

// The value after "key: "; false when the text does not begin with it.
bool ValueAfterKey(std::string_view text, std::string_view key, std::string_view& value) {
    if (text.size() < key.size() + 2 || !text.starts_with(key) || text[key.size()] != ':' ||
        text[key.size() + 1] != ' ')
        return false;
    value = text.substr(key.size() + 2);
    return true;
}

// A text value needs the whole line.
bool TextValue(const TLine& line, std::string_view key, std::string_view& value) {
    return line.form == TLineForm::Whole && ValueAfterKey(line.text, key, value);
}

// An integer reads the same from a shortened line as from the line itself.
bool IntValue(const TLine& line, std::string_view key, std::int32_t& number) {
    std::string_view value;
    if (line.form == TLineForm::Dropped || !ValueAfterKey(line.text, key, value))
        return false;
    const auto v = TryStrToInt(value);
    if (!v)
        return false;
    number = *v;
    return true;
}

bool ParseIntField(const TLine& line, std::string_view key, std::int32_t min, std::int32_t max,
                   std::int32_t& number) {
    return IntValue(line, key, number) && number >= min && number <= max;
}

// Any 32-bit value.
bool ParseColourField(const TLine& line, std::string_view key, std::int32_t& number) {
    return IntValue(line, key, number);
}

// The setting of the choice whose number is the line's integer.
bool ParseIntChoiceField(const TLine& line, std::string_view key, std::span<const TChoice> choices,
                         std::int32_t& setting) {
    std::int32_t number = 0;
    if (!IntValue(line, key, number))
        return false;
    for (const TChoice& c : choices) {
        if (c.number == number) {
            setting = c.setting;
            return true;
        }
    }
    return false;
}

// The setting of the choice whose word is the line's text (exact, case-sensitive).
bool ParseTextChoiceField(const TLine& line, std::string_view key, std::span<const TChoice> choices,
                          std::int32_t& setting) {
    std::string_view word;
    if (!TextValue(line, key, word))
        return false;
    for (const TChoice& c : choices) {
        if (c.word == word) {
            setting = c.setting;
            return true;
        }
    }
    return false;
}

bool ParseTextField(const TLine& line, std::string_view key, std::size_t minLength,
                    std::size_t maxLength, std::string_view& text) {
    return TextValue(line, key, text) && text.size() >= minLength && text.size() <= maxLength;
}

// ---------------------------------------------------------------------------
// The checks in file order: one row per line

enum class TRule : std::uint8_t {
    Blank,      // the line must be empty
    Header,     // the line must be kConfigHeader
    Version,    // no line of its own: lines 2 and 3 must have given ConfigVersion*
    Int,        // ParseIntField with min..max
    Colour,     // ParseColourField
    IntChoice,  // ParseIntChoiceField with choices
    TextChoice, // ParseTextChoiceField with choices
    Text,       // ParseTextField with min..max characters
};

// The value of a line that passed its rule.
struct TValue {
    std::int32_t number = 0; // an integer, or the setting of a choice
    std::string_view text = {};
};

// Where the values go while a file is read.
struct TReadTarget {
    TConfigSet& set;
    TCmdRecord* record = nullptr;   // the command block being read
    std::int32_t versionMajor = -1; // -1 until its line has passed
    std::int32_t versionMinor = -1;
};

using TStore = void (*)(TReadTarget&, const TValue&);

// One row of the tables below: the check of one line (or the version check).
struct TItem {
    int line; // the line number; in a command block the offset in the block
    TRule rule;
    std::string_view key = {};
    std::int32_t min = 0; // Int: the value range; Text: the length range
    std::int32_t max = 0;
    std::span<const TChoice> choices = {};
    TStore store = nullptr;     // puts a passing value in its place
    std::string_view name = {}; // the item as its message names it; empty: key and colon
};

template <class T> void Assign(T& to, const TValue& value) {
    if constexpr (std::is_same_v<T, std::string>)
        to.assign(value.text);
    else
        to = static_cast<T>(value.number);
}

template <auto Field> void ToTarget(TReadTarget& t, const TValue& v) {
    Assign(t.*Field, v);
}

template <auto Field> void ToSet(TReadTarget& t, const TValue& v) {
    Assign(t.set.*Field, v);
}

template <int Page> void ToCaption(TReadTarget& t, const TValue& v) {
    Assign(t.set.PageCaptions[Page], v);
}

template <auto Field> void ToRecord(TReadTarget& t, const TValue& v) {
    Assign(t.record->*Field, v);
}

constexpr TChoice kBaudRates[] = {
    {.number = 1200, .setting = QORLNK::br1200},   {.number = 2400, .setting = QORLNK::br2400},
    {.number = 4800, .setting = QORLNK::br4800},   {.number = 9600, .setting = QORLNK::br9600},
    {.number = 19200, .setting = QORLNK::br19200}, {.number = 38400, .setting = QORLNK::br38400},
    {.number = 57600, .setting = QORLNK::br57600}, {.number = 115200, .setting = QORLNK::br115200},
};
constexpr TChoice kDataBits[] = {
    {.number = 7, .setting = QORLNK::db7},
    {.number = 8, .setting = QORLNK::db8},
};
constexpr TChoice kParities[] = {
    {.word = "none", .setting = QORLNK::paNone},
    {.word = "odd", .setting = QORLNK::paOdd},
    {.word = "even", .setting = QORLNK::paEven},
};
constexpr TChoice kStopBits[] = {
    {.number = 1, .setting = QORLNK::sb1},
    {.number = 2, .setting = QORLNK::sb2},
};

constexpr std::int32_t kValueMax = 65535;
constexpr std::int32_t kPortMax = 32;
constexpr std::int32_t kOptsMax = 31;

// Lines 0 to 21 in the order they are checked: the empty lines first, then
// the header and the items in line order, the version after its two lines.
constexpr TItem kHeadItems[] = {
    {1, TRule::Blank},
    {4, TRule::Blank},
    {10, TRule::Blank},
    {12, TRule::Blank},
    {21, TRule::Blank},
    {0, TRule::Header},
    {2, TRule::Int, "vers_major", 0, 999, {}, ToTarget<&TReadTarget::versionMajor>},
    {3, TRule::Int, "vers_minor", 0, 999, {}, ToTarget<&TReadTarget::versionMinor>},
    {3, TRule::Version},
    {5, TRule::Int, "com_port", 1, kPortMax, {}, ToSet<&TConfigSet::ComPort>},
    {6, TRule::IntChoice, "baud_rate", 0, 0, kBaudRates, ToSet<&TConfigSet::BaudRate>},
    {7, TRule::IntChoice, "data_bits", 0, 0, kDataBits, ToSet<&TConfigSet::DataBits>},
    {8, TRule::TextChoice, "parity", 0, 0, kParities, ToSet<&TConfigSet::Parity>},
    {9, TRule::IntChoice, "stop_bits", 0, 0, kStopBits, ToSet<&TConfigSet::StopBits>},
    {11, TRule::Text, "title", 0, 75, {}, ToSet<&TConfigSet::Title>},
    {13, TRule::Text, "page1_cap", 1, 24, {}, ToCaption<0>},
    {14, TRule::Text, "page2_cap", 1, 24, {}, ToCaption<1>},
    {15, TRule::Text, "page3_cap", 1, 24, {}, ToCaption<2>},
    {16, TRule::Text, "page4_cap", 1, 24, {}, ToCaption<3>},
    {17, TRule::Text, "page5_cap", 1, 24, {}, ToCaption<4>},
    {18, TRule::Text, "page6_cap", 1, 24, {}, ToCaption<5>},
    {19, TRule::Text, "page7_cap", 1, 24, {}, ToCaption<6>},
    {20, TRule::Text, "page8_cap", 1, 24, {}, ToCaption<7>},
};

// The 11 lines of a command block, in offset order.
constexpr TItem kBlockItems[] = {
    {0, TRule::Int, "cmd_type", ctCommand, ctParamGetSet, {}, ToRecord<&TCmdRecord::cmd_type>},
    {1, TRule::Text, "cmd_str", 0, 16, {}, ToRecord<&TCmdRecord::cmd_str>},
    {2, TRule::Text, "cmd_descr", 0, 32, {}, ToRecord<&TCmdRecord::cmd_descr>},
    {3, TRule::Text, "str", 0, 80, {}, ToRecord<&TCmdRecord::str>},
    {4, TRule::Int, "val_start", 0, kValueMax, {}, ToRecord<&TCmdRecord::val_start>},
    {5, TRule::Int, "val_min", 0, kValueMax, {}, ToRecord<&TCmdRecord::val_min>},
    {6, TRule::Int, "val_max", 0, kValueMax, {}, ToRecord<&TCmdRecord::val_max>},
    {7, TRule::Int, "val_inc", 0, kValueMax, {}, ToRecord<&TCmdRecord::val_inc>},
    {8, TRule::Colour, "colour", 0, 0, {}, ToRecord<&TCmdRecord::colour>},
    {9, TRule::Int, "opts", 0, kOptsMax, {}, ToRecord<&TCmdRecord::opts>, "opts"}, // no colon
    {10, TRule::Blank},
};

// Each line 0..lineCount-1 has exactly one row (the version row aside).
constexpr bool CoversEachLineOnce(std::span<const TItem> items, int lineCount) {
    int rows = 0;
    for (const TItem& item : items) {
        if (item.rule == TRule::Version)
            continue;
        if (item.line < 0 || item.line >= lineCount)
            return false;
        for (const TItem& other : items) {
            if (&other != &item && other.rule != TRule::Version && other.line == item.line)
                return false;
        }
        ++rows;
    }
    return rows == lineCount;
}
static_assert(CoversEachLineOnce(kHeadItems, kConfigBlockFirstLine));
static_assert(CoversEachLineOnce(kBlockItems, kConfigBlockLines));

// Checks one line against its row and stores its value; false when it fails.
bool Passes(const TItem& item, const TLine& line, TReadTarget& target) {
    TValue value;
    bool passed = false;
    switch (item.rule) {
    case TRule::Blank:
        return line.form == TLineForm::Whole && line.text.empty();
    case TRule::Header:
        return line.form == TLineForm::Whole && line.text == kConfigHeader;
    case TRule::Version: // tested only when both lines passed
        return target.versionMajor < 0 || target.versionMinor < 0 ||
               (target.versionMajor == ConfigVersionMajor &&
                target.versionMinor == ConfigVersionMinor);
    case TRule::Int:
        passed = ParseIntField(line, item.key, item.min, item.max, value.number);
        break;
    case TRule::Colour:
        passed = ParseColourField(line, item.key, value.number);
        break;
    case TRule::IntChoice:
        passed = ParseIntChoiceField(line, item.key, item.choices, value.number);
        break;
    case TRule::TextChoice:
        passed = ParseTextChoiceField(line, item.key, item.choices, value.number);
        break;
    case TRule::Text:
        passed = ParseTextField(line, item.key, item.min, item.max, value.text);
        break;
    }
    if (passed)
        item.store(target, value);
    return passed;
}

// The message of a failed row; block is -1 before the first command block.
std::string FailMessage(const TItem& item, int block, int line, const TReadTarget& target) {
    const std::string lineNo = std::to_string(line);
    switch (item.rule) {
    case TRule::Blank:
        return block < 0 ? "ERROR: - line #" + lineNo + " not blank"
                         : "ERROR: - line not blank (line #" + lineNo + ")";
    case TRule::Header:
        return "ERROR: - invalid header";
    case TRule::Version:
        return "ERROR: - invalid configuration file version, got V" +
               std::to_string(target.versionMajor) + "." + std::to_string(target.versionMinor) +
               ", expected V" + std::to_string(ConfigVersionMajor) + "." +
               std::to_string(ConfigVersionMinor);
    default:
        break;
    }
    std::string message = "ERROR: - invalid ";
    message += item.name.empty() ? std::string(item.key) + ":" : std::string(item.name);
    message += " field";
    if (block >= 0)
        message += " in command #" + std::to_string(block) + " (line #" + lineNo + ")";
    return message;
}

// Runs every check in order. Each failure goes to fail(message, line), which
// returns true to go on with the next check or false to stop. Returns true
// when no check failed.
template <class Fail> bool CheckLines(const TLineCollector& lines, TConfigSet& set, Fail fail) {
    const std::int64_t count = lines.Count();
    if (count != kConfigLineCount) {
        fail("ERROR: - invalid confguration file size, got " + std::to_string(count) +
                 " lines, expected " + std::to_string(kConfigLineCount),
             -1);
        return false;
    }
    TReadTarget target{set};
    bool ok = true;
    const auto check = [&](const TItem& item, int block, int line) {
        if (Passes(item, lines.Line(line), target))
            return true;
        ok = false;
        return fail(FailMessage(item, block, line, target), line);
    };
    for (const TItem& item : kHeadItems) {
        if (!check(item, -1, item.line))
            return false;
    }
    for (int k = 0; k < kSlotCount; ++k) {
        target.record = &set.CmdTable[k];
        const int first = kConfigBlockFirstLine + kConfigBlockLines * k;
        for (const TItem& item : kBlockItems) {
            if (!check(item, k, first + item.line))
                return false;
        }
    }
    return ok;
}

// The lines of a text as the reader takes them: a text that is valid UTF-8
// and holds characters beyond ASCII, each with an 8-bit form, is read in its
// 8-bit form (a file saved by an editor that writes UTF-8); any other text
// byte for byte. Both forms are collected side by side once the first byte
// beyond ASCII comes, so the text is read once and memory stays bounded.
class TTextLines {
public:
    // Returns false once the text has ended at a NUL byte.
    bool Feed(std::string_view chunk) {
        // What follows a NUL is no part of the text.
        const std::string_view text = chunk.substr(0, std::min(chunk.size(), chunk.find('\0')));
        if (m_utf8.Status() == TUtf8Status::Ok) {
            const bool beyondAscii =
                std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
            if (beyondAscii && !m_utf8.HadNonAscii())
                m_decoded = m_raw; // up to here both forms are the same
            if (m_utf8.HadNonAscii() || beyondAscii) {
                m_piece.clear();
                m_utf8.Feed(text, m_piece);
                m_decoded.Feed(m_piece);
            }
        }
        return m_raw.Feed(chunk);
    }

    // Ends the text; the lines to check and how the text was stored.
    const TLineCollector& Finish(TTextEncoding& encoding) {
        m_raw.Finish();
        if (m_utf8.Finish() == TUtf8Status::Ok && m_utf8.HadNonAscii()) {
            m_decoded.Finish();
            encoding = TTextEncoding::Utf8;
            return m_decoded;
        }
        encoding = TTextEncoding::EightBit;
        return m_raw;
    }

private:
    TLineCollector m_raw;
    TLineCollector m_decoded;
    TUtf8Decoder m_utf8;
    std::string m_piece;
};

TConfigReadResult CheckCollected(const TLineCollector& c) {
    TConfigReadResult result;
    result.Ok = CheckLines(c, result.Set, [&](std::string message, int line) {
        result.Message = std::move(message);
        result.Line = line;
        return false;
    });
    if (!result.Ok)
        result.Set = TConfigSet{};
    return result;
}

// ---------------------------------------------------------------------------
// Files

constexpr std::size_t kReadChunk = 64 * 1024;

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace

TConfigReadResult ReadConfig(std::string_view bytes) {
    TTextLines lines;
    lines.Feed(bytes);
    TTextEncoding encoding;
    TConfigReadResult result = CheckCollected(lines.Finish(encoding));
    result.Encoding = encoding;
    return result;
}

TConfigLoadResult LoadConfigFile(const std::string& path) {
    TConfigLoadResult result;
    result.Status = TConfigLoadStatus::CannotOpen;
    result.Message = "Cannot open file " + path;

    // O_NONBLOCK so that a FIFO cannot block the open; only regular files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return result;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return result;
    }
    TTextLines c;
    std::string chunk(kReadChunk, '\0');
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return result;
        }
        if (n == 0 || !c.Feed(std::string_view(chunk.data(), static_cast<std::size_t>(n))))
            break;
    }
    ::close(fd);
    TConfigReadResult read = CheckCollected(c.Finish(result.Encoding));
    result.Status = read.Ok ? TConfigLoadStatus::Ok : TConfigLoadStatus::Invalid;
    result.Message = std::move(read.Message);
    result.Line = read.Line;
    result.Set = std::move(read.Set);
    return result;
}

std::string WriteConfig(const TConfigSet& set) {
    std::string out;
    out.reserve(96 * 1024);
    auto line = [&out](std::string_view a, std::string_view b = {}) {
        out.append(a);
        out.append(b);
        out.append("\r\n");
    };
    auto intLine = [&line](std::string_view key, std::int64_t v) { line(key, std::to_string(v)); };

    line(kConfigHeader);
    line("");
    intLine("vers_major: ", ConfigVersionMajor);
    intLine("vers_minor: ", ConfigVersionMinor);
    line("");
    intLine("com_port: ", set.ComPort);
    line("baud_rate: ", QORLNK::BaudRateStr(set.BaudRate));
    line("data_bits: ", QORLNK::DataBitsStr(set.DataBits));
    line("parity: ", QORLNK::ParityStr(set.Parity));
    line("stop_bits: ", QORLNK::StopBitsStr(set.StopBits));
    line("");
    line("title: ", set.Title);
    line("");
    for (int p = 0; p < kPageCount; ++p)
        line("page" + std::to_string(p + 1) + "_cap: ", set.PageCaptions[p]);
    line("");
    for (const TCmdRecord& r : set.CmdTable) {
        intLine("cmd_type: ", r.cmd_type);
        line("cmd_str: ", r.cmd_str);
        line("cmd_descr: ", r.cmd_descr);
        line("str: ", r.str);
        intLine("val_start: ", r.val_start);
        intLine("val_min: ", r.val_min);
        intLine("val_max: ", r.val_max);
        intLine("val_inc: ", r.val_inc);
        intLine("colour: ", r.colour);
        intLine("opts: ", static_cast<std::int32_t>(r.opts));
        line("");
    }
    return out;
}

std::vector<std::string> ConfigReadBackWarnings(std::string_view bytes) {
    constexpr std::size_t kMaxWarnings = 20;
    constexpr std::string_view kError = "ERROR: - ";
    TLineCollector c;
    c.Feed(bytes);
    c.Finish();
    std::vector<std::string> warnings;
    std::size_t more = 0;
    TConfigSet scratch;
    CheckLines(c, scratch, [&](std::string message, int) {
        if (warnings.size() == kMaxWarnings) {
            ++more;
            return true;
        }
        if (message.starts_with(kError))
            message.erase(0, kError.size());
        warnings.push_back("WARNING: - saved file will not load again: " + message);
        return true;
    });
    if (more > 0)
        warnings.push_back("WARNING: - saved file will not load again: " + std::to_string(more) +
                           " more invalid lines");
    return warnings;
}

std::string WriteFileAtomically(const std::string& path, std::string_view bytes,
                                std::string* reason) {
    const std::string error = "Cannot create file " + path;
    // The system's word for what failed, for the callers that show it.
    auto failed = [&](const char* why) {
        if (reason)
            *reason = why;
        return error;
    };
    if (path.empty())
        return failed(std::strerror(ENOENT));

    // Write through a symbolic link to the file it names, as an in-place
    // rewrite would, instead of replacing the link.
    std::string target = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }

    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists) {
        // A file that could not be opened for writing is not replaced either.
        if (!S_ISREG(st.st_mode))
            return failed(S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
        if (::access(target.c_str(), W_OK) != 0)
            return failed(std::strerror(errno));
    }

    const std::string folder = FolderOf(target);
    const std::string base =
        target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    std::string temp;
    int fd = -1;
    const auto seed = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = folder + "/." + base + "." + std::to_string(::getpid()) + "." +
               std::to_string((seed + static_cast<unsigned long long>(attempt)) % 1000000007ULL) +
               ".tmp";
        // Mode 0666 less the umask, as a newly created file would get.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return failed(std::strerror(errno));
    }
    if (fd < 0)
        return failed(std::strerror(EEXIST));

    bool ok = true;
    if (exists)
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    ok = ok && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) { // some file systems report a full disk only here
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        // The old file is intact either way; a full disk is worth saying.
        failed(std::strerror(err));
        return err == ENOSPC || err == EDQUOT ? error + ": the disk is full" : error;
    }
    // Make the rename itself durable; a failure here does not undo the save.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

TConfigSaveResult SaveConfigFile(const std::string& path, const TConfigSet& set,
                                 TTextEncoding encoding) {
    TConfigSaveResult result;
    const std::string text = WriteConfig(set);
    result.Message =
        WriteFileAtomically(path, encoding == TTextEncoding::Utf8 ? EightBitToUtf8(text) : text);
    result.Ok = result.Message.empty();
    if (result.Ok)
        result.Warnings = ConfigReadBackWarnings(text);
    return result;
}

std::string ConfigFileBaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace pmv
