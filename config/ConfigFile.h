// The configuration file: reader, writer, and loading and saving by path.
//
// A configuration file is 8-bit text of exactly 2134 lines: a header, the
// version, the five serial settings, the title, the 8 page captions and 192
// command blocks of 11 lines each, every line ended by CR LF. Reading checks
// every line in a fixed order and stops at the first failure with one log
// message; nothing is put into effect unless all lines pass, so the caller
// receives either a complete TConfigSet or a message.
//
// How the main window uses this:
//
//   Load:
//     TConfigLoadResult r = LoadConfigFile(path);
//     switch (r.Status) {
//     case TConfigLoadStatus::CannotOpen: error box with r.Message; break;
//     case TConfigLoadStatus::Invalid:    log r.Message; break;   // nothing changes
//     case TConfigLoadStatus::Ok:         put r.Set into effect,
//                                         SavedConfig = MakeSavedConfig(r.Set); ...
//     }
//
//   Save (SaveConfigFile):
//     TConfigSet s = { CmdTable, ConfigTitle, captions from the pages,
//                      port settings from LNKCOMPort };
//     TConfigSaveResult r = SaveConfigFile(path, s);
//     if (!r.Ok) error box with r.Message;          // the old file is untouched
//     else { SavedConfig = MakeSavedConfig(s); status panel 7; }
//     for (const auto& w : r.Warnings) log w;       // file written, will not load back
//
// Encodings: a file's texts are 8-bit (config/TextCodec.h). A file that is
// valid UTF-8 and holds characters beyond ASCII, each with an 8-bit form, is
// read in that 8-bit form, and the caller saves it back as UTF-8 (Encoding);
// any other file is read byte for byte and saved so.
//
// Paths are byte strings in the local file-name encoding (QFile::encodeName).
#pragma once

#include "comport/LnkTypes.h"
#include "config/CmdRecord.h"
#include "config/TextCodec.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pmv {

constexpr int ConfigVersionMajor = 1;
constexpr int ConfigVersionMinor = 8;
constexpr int kConfigLineCount = 2134;
constexpr int kConfigBlockFirstLine = 22;
constexpr int kConfigBlockLines = 11;
inline constexpr std::string_view kConfigHeader = "QXM300 Controller Host Configuration File";

// One complete command set as a file holds it.
struct TConfigSet {
    TCmdTable CmdTable{};
    std::string Title;
    TPageCaptions PageCaptions = DefaultPageCaptions();
    int ComPort = 1;
    QORLNK::TBaudRate BaudRate = QORLNK::br9600;
    QORLNK::TDataBits DataBits = QORLNK::db8;
    QORLNK::TParity Parity = QORLNK::paNone;
    QORLNK::TStopBits StopBits = QORLNK::sb1;

    bool operator==(const TConfigSet&) const = default;
};

// Outcome of reading a configuration text.
struct TConfigReadResult {
    bool Ok = false;
    std::string Message; // when !Ok: the "ERROR: - ..." line for the log
    int Line = -1;       // when !Ok: 0-based number of the failing line; -1 for the line count
    TConfigSet Set;      // when Ok: the values read
    TTextEncoding Encoding = TTextEncoding::EightBit; // how the text was stored
};

// Reads a whole configuration file given as bytes. Lines end at CR LF, a lone
// LF or a lone CR; a line end at the very end does not start a further line;
// a NUL byte ends the text. UTF-8 text is taken in as said above.
TConfigReadResult ReadConfig(std::string_view bytes);

enum class TConfigLoadStatus {
    Ok,         // Set holds the file's values
    Invalid,    // the file was read and failed a check: log Message
    CannotOpen, // the file could not be read: error box with Message ("Cannot open file %s")
};

struct TConfigLoadResult {
    TConfigLoadStatus Status = TConfigLoadStatus::CannotOpen;
    std::string Message;
    int Line = -1;
    TConfigSet Set;
    TTextEncoding Encoding = TTextEncoding::EightBit; // how the file was stored
};

// Reads and checks the file at path. Directories, files that cannot be read
// and paths that are not regular files give CannotOpen. The file is streamed:
// its lines are counted to the end but only the first 2134 are kept, and of a
// line only what its check can need (a few hundred bytes at most; an integer
// after any number of leading blanks or zeros still reads), so any size is safe.
TConfigLoadResult LoadConfigFile(const std::string& path);

// The 2134 lines of a file, each ended by CR LF. The serial settings are
// written as the port component's Get...Str texts give them. Values are
// written as they stand, also those the reader would refuse.
std::string WriteConfig(const TConfigSet& set);

// Problems that would make ReadConfig refuse a text: one "WARNING: - ..."
// line per failing line (at most 20, then a line with the number of further
// problems). Empty when the text reads back.
std::vector<std::string> ConfigReadBackWarnings(std::string_view bytes);

struct TConfigSaveResult {
    bool Ok = false;
    std::string Message;               // when !Ok: "Cannot create file %s" (+ ": the disk is full")
    std::vector<std::string> Warnings; // when Ok: see ConfigReadBackWarnings
};

// Writes WriteConfig(set) to path, replacing the file atomically: the text
// goes to a temporary file in the same folder, is flushed to the disk and then
// renamed over path. On any failure the old file is left as it was and the
// temporary file is removed. An existing file's permission bits are kept.
// The texts are written in encoding: UTF-8 for a file that came in so.
TConfigSaveResult SaveConfigFile(const std::string& path, const TConfigSet& set,
                                 TTextEncoding encoding = TTextEncoding::EightBit);

// Atomic replacement of path by bytes, as SaveConfigFile does it. Returns an
// empty string on success, else "Cannot create file %s", followed by
// ": the disk is full" when that was why; reason, when given, then gets the
// system's text for the failure ("No such file or directory").
std::string WriteFileAtomically(const std::string& path, std::string_view bytes,
                                std::string* reason = nullptr);

// The file name without its folder, as status panel 7 and the messages show it.
std::string ConfigFileBaseName(const std::string& path);

} // namespace pmv
