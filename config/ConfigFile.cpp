#include "config/ConfigFile.h"

#include "comport/LnkText.h"
#include "config/IntText.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

namespace pmv {

namespace {

// ---------------------------------------------------------------------------
// Splitting into lines

struct TLine {
    std::string_view text; // at most MaxConfigLineLength bytes
    bool overlong = false; // the line was longer and is cut short in text
};

// Collects the lines of a text fed in chunks of any size. All lines are
// counted; only the first ConfigLineCount are kept.
class TLineCollector {
public:
    TLineCollector() { kept_.reserve(ConfigLineCount); }

    // Returns false once the text has ended at a NUL byte; later bytes are ignored.
    bool Feed(std::string_view chunk) {
        std::size_t i = 0;
        const std::size_t n = chunk.size();
        while (i < n && !ended_) {
            if (pendingCR_) {
                pendingCR_ = false;
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
                ended_ = true;
            } else {
                EndLine();
                pendingCR_ = (c == '\r');
            }
        }
        return !ended_;
    }

    // Ends the text: an unterminated last line counts, an empty one does not.
    void Finish() {
        if (curLen_ > 0)
            EndLine();
    }

    std::int64_t Count() const { return count_; }

    std::vector<TLine> Lines() const {
        std::vector<TLine> lines;
        lines.reserve(kept_.size());
        for (const TKept& k : kept_)
            lines.push_back({std::string_view(store_).substr(k.offset, k.length), k.overlong});
        return lines;
    }

private:
    struct TKept {
        std::size_t offset;
        std::size_t length;
        bool overlong;
    };

    bool Keeping() const { return count_ < ConfigLineCount; }

    void Append(std::string_view run) {
        if (run.empty())
            return;
        if (Keeping() && curLen_ < MaxConfigLineLength) {
            const std::size_t take = std::min(run.size(), MaxConfigLineLength - curLen_);
            store_.append(run.data(), take);
        }
        curLen_ += run.size();
    }

    void EndLine() {
        if (Keeping()) {
            const std::size_t len = std::min(curLen_, MaxConfigLineLength);
            kept_.push_back({store_.size() - len, len, curLen_ > MaxConfigLineLength});
        }
        ++count_;
        curLen_ = 0;
    }

    std::string store_;
    std::vector<TKept> kept_;
    std::int64_t count_ = 0;
    std::size_t curLen_ = 0;
    bool pendingCR_ = false;
    bool ended_ = false;
};

// ---------------------------------------------------------------------------
// The rules for one line

// The value after "key: ", or false when the line does not begin with it.
bool ValueAfterKey(const TLine& line, std::string_view key, std::string_view& value) {
    if (line.overlong)
        return false;
    const std::string_view t = line.text;
    if (t.size() < key.size() + 2 || t.substr(0, key.size()) != key || t[key.size()] != ':' ||
        t[key.size() + 1] != ' ')
        return false;
    value = t.substr(key.size() + 2);
    return true;
}

bool ParseIntField(const TLine& line, std::string_view key, std::int32_t min, std::int32_t max,
                   std::int32_t& out) {
    std::string_view value;
    if (!ValueAfterKey(line, key, value))
        return false;
    const auto v = TryStrToInt(value);
    if (!v || *v < min || *v > max)
        return false;
    out = *v;
    return true;
}

// The index in choices of the line's integer value.
bool ParseIntChoiceField(const TLine& line, std::string_view key,
                         std::span<const std::int32_t> choices, int& index) {
    std::string_view value;
    if (!ValueAfterKey(line, key, value))
        return false;
    const auto v = TryStrToInt(value);
    if (!v)
        return false;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (choices[i] == *v) {
            index = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

// The index in choices of the line's text value (exact, case-sensitive).
bool ParseTextChoiceField(const TLine& line, std::string_view key,
                          std::span<const std::string_view> choices, int& index) {
    std::string_view value;
    if (!ValueAfterKey(line, key, value))
        return false;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (choices[i] == value) {
            index = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

bool ParseTextField(const TLine& line, std::string_view key, std::size_t minLen, std::size_t maxLen,
                    std::string& out) {
    std::string_view value;
    if (!ValueAfterKey(line, key, value) || value.size() < minLen || value.size() > maxLen)
        return false;
    out.assign(value);
    return true;
}

bool ParseColourField(const TLine& line, std::string_view key, std::int32_t& out) {
    return ParseIntField(line, key, INT32_MIN, INT32_MAX, out);
}

bool IsBlank(const TLine& line) {
    return !line.overlong && line.text.empty();
}

// ---------------------------------------------------------------------------
// The checks in file order

constexpr std::int32_t kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr QORLNK::TBaudRate kBaudRateSettings[] = {
    QORLNK::br1200,  QORLNK::br2400,  QORLNK::br4800,  QORLNK::br9600,
    QORLNK::br19200, QORLNK::br38400, QORLNK::br57600, QORLNK::br115200};
constexpr std::int32_t kDataBits[] = {7, 8};
constexpr QORLNK::TDataBits kDataBitsSettings[] = {QORLNK::db7, QORLNK::db8};
constexpr std::string_view kParities[] = {"none", "odd", "even"};
constexpr QORLNK::TParity kParitySettings[] = {QORLNK::paNone, QORLNK::paOdd, QORLNK::paEven};
constexpr std::int32_t kStopBits[] = {1, 2};
constexpr QORLNK::TStopBits kStopBitsSettings[] = {QORLNK::sb1, QORLNK::sb2};

constexpr std::int32_t kValueMax = 65535;
constexpr int kPortMax = 32;

std::string FieldMessage(std::string_view key) {
    return "ERROR: - invalid " + std::string(key) + ": field";
}

std::string BlockMessage(std::string_view what, int block, int line) {
    return "ERROR: - invalid " + std::string(what) + " field in command #" + std::to_string(block) +
           " (line #" + std::to_string(line) + ")";
}

// Runs every check in order. Each failure goes to fail(message, line), which
// returns true to go on with the next check or false to stop. Returns true
// when no check failed.
template <class Fail>
bool CheckLines(std::int64_t count, const std::vector<TLine>& L, TConfigSet& set, Fail fail) {
    if (count != ConfigLineCount) {
        fail("ERROR: - invalid confguration file size, got " + std::to_string(count) +
                 " lines, expected " + std::to_string(ConfigLineCount),
             -1);
        return false;
    }
    bool ok = true;
    auto failed = [&](std::string message, int line) {
        ok = false;
        return fail(std::move(message), line);
    };

    for (int n : {1, 4, 10, 12, 21}) {
        if (!IsBlank(L[n]) && !failed("ERROR: - line #" + std::to_string(n) + " not blank", n))
            return false;
    }
    if ((L[0].overlong || L[0].text != ConfigHeader) && !failed("ERROR: - invalid header", 0))
        return false;

    std::int32_t major = 0, minor = 0;
    const bool haveMajor = ParseIntField(L[2], "vers_major", 0, 999, major);
    if (!haveMajor && !failed(FieldMessage("vers_major"), 2))
        return false;
    const bool haveMinor = ParseIntField(L[3], "vers_minor", 0, 999, minor);
    if (!haveMinor && !failed(FieldMessage("vers_minor"), 3))
        return false;
    if (haveMajor && haveMinor && (major != ConfigVersionMajor || minor != ConfigVersionMinor) &&
        !failed("ERROR: - invalid configuration file version, got V" + std::to_string(major) + "." +
                    std::to_string(minor) + ", expected V" + std::to_string(ConfigVersionMajor) +
                    "." + std::to_string(ConfigVersionMinor),
                3))
        return false;

    std::int32_t port = 0;
    if (ParseIntField(L[5], "com_port", 1, kPortMax, port))
        set.ComPort = port;
    else if (!failed(FieldMessage("com_port"), 5))
        return false;
    int index = 0;
    if (ParseIntChoiceField(L[6], "baud_rate", kBaudRates, index))
        set.BaudRate = kBaudRateSettings[index];
    else if (!failed(FieldMessage("baud_rate"), 6))
        return false;
    if (ParseIntChoiceField(L[7], "data_bits", kDataBits, index))
        set.DataBits = kDataBitsSettings[index];
    else if (!failed(FieldMessage("data_bits"), 7))
        return false;
    if (ParseTextChoiceField(L[8], "parity", kParities, index))
        set.Parity = kParitySettings[index];
    else if (!failed(FieldMessage("parity"), 8))
        return false;
    if (ParseIntChoiceField(L[9], "stop_bits", kStopBits, index))
        set.StopBits = kStopBitsSettings[index];
    else if (!failed(FieldMessage("stop_bits"), 9))
        return false;

    if (!ParseTextField(L[11], "title", 0, 75, set.Title) && !failed(FieldMessage("title"), 11))
        return false;

    for (int p = 0; p < PageCount; ++p) {
        const std::string key = "page" + std::to_string(p + 1) + "_cap";
        if (!ParseTextField(L[13 + p], key, 1, 24, set.PageCaptions[p]) &&
            !failed(FieldMessage(key), 13 + p))
            return false;
    }

    for (int k = 0; k < SlotCount; ++k) {
        const int first = ConfigBlockFirstLine + ConfigBlockLines * k;
        TCmdRecord& r = set.CmdTable[k];
        std::int32_t kind = 0;
        if (ParseIntField(L[first], "cmd_type", ctCommand, ctParamGetSet, kind))
            r.cmd_type = static_cast<std::int8_t>(kind);
        else if (!failed(BlockMessage("cmd_type:", k, first), first))
            return false;
        if (!ParseTextField(L[first + 1], "cmd_str", 0, 16, r.cmd_str) &&
            !failed(BlockMessage("cmd_str:", k, first + 1), first + 1))
            return false;
        if (!ParseTextField(L[first + 2], "cmd_descr", 0, 32, r.cmd_descr) &&
            !failed(BlockMessage("cmd_descr:", k, first + 2), first + 2))
            return false;
        if (!ParseTextField(L[first + 3], "str", 0, 80, r.str) &&
            !failed(BlockMessage("str:", k, first + 3), first + 3))
            return false;
        if (!ParseIntField(L[first + 4], "val_start", 0, kValueMax, r.val_start) &&
            !failed(BlockMessage("val_start:", k, first + 4), first + 4))
            return false;
        if (!ParseIntField(L[first + 5], "val_min", 0, kValueMax, r.val_min) &&
            !failed(BlockMessage("val_min:", k, first + 5), first + 5))
            return false;
        if (!ParseIntField(L[first + 6], "val_max", 0, kValueMax, r.val_max) &&
            !failed(BlockMessage("val_max:", k, first + 6), first + 6))
            return false;
        if (!ParseIntField(L[first + 7], "val_inc", 0, kValueMax, r.val_inc) &&
            !failed(BlockMessage("val_inc:", k, first + 7), first + 7))
            return false;
        if (!ParseColourField(L[first + 8], "colour", r.colour) &&
            !failed(BlockMessage("colour:", k, first + 8), first + 8))
            return false;
        std::int32_t opts = 0;
        if (ParseIntField(L[first + 9], "opts", 0, 31, opts))
            r.opts = static_cast<std::uint32_t>(opts);
        else if (!failed(BlockMessage("opts", k, first + 9), first + 9))
            return false;
        if (!IsBlank(L[first + 10]) &&
            !failed("ERROR: - line not blank (line #" + std::to_string(first + 10) + ")",
                    first + 10))
            return false;
    }
    return ok;
}

TConfigReadResult CheckCollected(const TLineCollector& c) {
    TConfigReadResult result;
    const std::vector<TLine> lines = c.Lines();
    result.Ok = CheckLines(c.Count(), lines, result.Set, [&](std::string message, int line) {
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
    TLineCollector c;
    c.Feed(bytes);
    c.Finish();
    return CheckCollected(c);
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
    TLineCollector c;
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
    c.Finish();

    TConfigReadResult read = CheckCollected(c);
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

    line(ConfigHeader);
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
    for (int p = 0; p < PageCount; ++p)
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
    const std::vector<TLine> lines = c.Lines();
    std::vector<std::string> warnings;
    std::size_t more = 0;
    TConfigSet scratch;
    CheckLines(c.Count(), lines, scratch, [&](std::string message, int) {
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

std::string WriteFileAtomically(const std::string& path, std::string_view bytes) {
    const std::string error = "Cannot create file " + path;
    if (path.empty())
        return error;

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
        if (!S_ISREG(st.st_mode) || ::access(target.c_str(), W_OK) != 0)
            return error;
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
            return error;
    }
    if (fd < 0)
        return error;

    bool ok = true;
    if (exists)
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    ok = ok && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return error;
    }
    // Make the rename itself durable; a failure here does not undo the save.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

TConfigSaveResult SaveConfigFile(const std::string& path, const TConfigSet& set) {
    TConfigSaveResult result;
    const std::string text = WriteConfig(set);
    result.Message = WriteFileAtomically(path, text);
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
