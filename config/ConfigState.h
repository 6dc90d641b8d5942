// The saved snapshot and the close-time comparison.
//
// After every successful load or save the window takes a snapshot of the
// command set (MakeSavedConfig); when it is about to close it compares the
// current state with that snapshot (IsConfigModified) and, on a difference,
// asks CloseQueryPrompt's question.
#pragma once

#include "config/CmdRecord.h"
#include "config/ConfigFile.h"

#include <string>

namespace pmv {

// What the close query found first, in the order the comparison runs.
enum class TConfigChange {
    None,
    Title,
    PageCaption, // Index: the page, 0..7
    Port,
    BaudRate,
    Parity,
    CmdRecord, // Index: the slot, 0..191
};

struct TConfigModification {
    TConfigChange Change = TConfigChange::None;
    int Index = -1;

    explicit operator bool() const { return Change != TConfigChange::None; }
};

// Compares the current state with the snapshot: title, then the 8 page
// captions, then port number, baud rate and parity (ordinals of TBaudRate and
// TParity; data bits and stop bits are not compared), then the 192 records.
// Returns the first difference.
TConfigModification FindConfigModification(const std::string& title,
                                           const TPageCaptions& pageCaptions, int port,
                                           int baudRate, int parity, const TCmdTable& table,
                                           const TSavedConfig& saved);

inline bool IsConfigModified(const std::string& title, const TPageCaptions& pageCaptions, int port,
                             int baudRate, int parity, const TCmdTable& table,
                             const TSavedConfig& saved) {
    return static_cast<bool>(
        FindConfigModification(title, pageCaptions, port, baudRate, parity, table, saved));
}

// The snapshot of a command set that has just been loaded or saved.
TSavedConfig MakeSavedConfig(const TConfigSet& set);

// The close query's question: "Create New Configuration File?" when no file
// name is known yet, else "Update Configuration File <name>?" with the file
// name without its folder.
std::string CloseQueryPrompt(const std::string& configFileName);

} // namespace pmv
