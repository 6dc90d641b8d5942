// The command set as a document: everything a configuration file holds (the
// 192 records, the title, the 8 page captions, the serial settings), the name
// of the file it was loaded from or saved to, the snapshot taken then, and the
// slot clipboard of the popup menu. No widgets.
//
// Every operation changes the document and returns what changed, so that a
// view shows exactly that:
//
//   window handler -> TCommandSet operation -> TSetChange -> the window shows
//                     it (clears and shows slots, sets captions, enables Paste)
//
// The window keeps what is only on the screen: the selected slot, the slots'
// edit texts (values typed, replies), the log. The request engine reads the
// records through Table(), which stays at one address for the document's life.
//
// Questions to the operator (confirmations, dialogs) stay with the window: a
// document operation runs once the operator has answered.
#pragma once

#include "config/CmdRecord.h"
#include "config/ConfigFile.h"
#include "config/ConfigState.h"
#include "config/ParamDefaults.h"

#include <bitset>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pmv {

using TSlotSet = std::bitset<kSlotCount>;

// What an operation changed. A slot in `cleared` is also in `shown`; a view
// empties its buttons first (ClearSlot), then shows the record (ShowSlot).
struct TSetChange {
    TSlotSet records; // records whose fields changed
    TSlotSet cleared; // slots cleared: buttons emptied, then shown
    TSlotSet shown;   // slots to show afresh from their records (edit text included)
    TSlotSet colour;  // slots whose caption colour alone is to be shown
    bool captions = false;
    bool title = false;
    bool settings = false; // serial settings
    bool fileName = false;
    bool clipboard = false; // what Paste would paste, or whether it can

    // Everything but the clipboard: a set replaced as a whole.
    static TSetChange All();
    TSetChange& operator|=(const TSetChange& o);
    bool Empty() const;
};

// The serial settings of a configuration: the port component's settings.
struct TSerialSettings {
    int ComPort = 1;
    QORLNK::TBaudRate BaudRate = QORLNK::br9600;
    QORLNK::TDataBits DataBits = QORLNK::db8;
    QORLNK::TParity Parity = QORLNK::paNone;
    QORLNK::TStopBits StopBits = QORLNK::sb1;

    bool operator==(const TSerialSettings&) const = default;
};

TSerialSettings SerialSettingsOf(const TConfigSet& set);

class TCommandSet {
public:
    // The start state: all slots undefined, captions "Cmds 1" .. "Cmds 8",
    // no title, no file, the given serial settings, and the snapshot of it.
    explicit TCommandSet(const TSerialSettings& serial = {});

    // ---- State ----------------------------------------------------------------
    const TCmdTable& Table() const { return m_set.CmdTable; }
    // The record of a slot; an empty record for an index outside 0..191.
    const TCmdRecord& Record(int index) const;
    const std::string& Title() const { return m_set.Title; }
    const TPageCaptions& PageCaptions() const { return m_set.PageCaptions; }
    TSerialSettings Serial() const { return SerialSettingsOf(m_set); }
    // The whole set: what a save writes.
    const TConfigSet& Config() const { return m_set; }
    // Path of the file last loaded or saved (bytes in the file-name
    // encoding); empty before.
    const std::string& FileName() const { return m_fileName; }
    const TSavedConfig& Saved() const { return m_saved; }
    // How the file last loaded stored its texts (8-bit unless it was UTF-8).
    TTextEncoding Encoding() const { return m_encoding; }

    // The close query's comparison with the snapshot: the first difference.
    TConfigModification FindModification() const;
    bool IsModified() const { return static_cast<bool>(FindModification()); }
    // "Create New Configuration File?" or "Update Configuration File <name>?".
    std::string CloseQuestion() const { return CloseQueryPrompt(m_fileName); }

    // ---- The whole set ------------------------------------------------------------
    // Puts a set read from path into effect and takes its snapshot; encoding:
    // how the file stored its texts, which the saves keep.
    TSetChange Load(const TConfigSet& set, std::string path,
                    TTextEncoding encoding = TTextEncoding::EightBit);
    // Writes the set to path in the file's encoding; on success path becomes
    // the file name and the snapshot is taken. On failure nothing changes
    // (Message says why).
    TConfigSaveResult Save(const std::string& path, TSetChange* change = nullptr);
    TSetChange SetSerial(const TSerialSettings& serial);
    TSetChange SetTitle(std::string title);
    // An empty caption keeps the old one: a page always has a name.
    TSetChange RenamePage(int page, std::string caption);
    // "&Delete All Commands": every slot cleared (Disabled flags kept).
    TSetChange DeleteAll();

    // ---- One slot (indexes outside 0..191 change nothing) ---------------------------
    TSetChange SetRecord(int index, const TCmdRecord& record); // the command editor's OK
    TSetChange Copy(int index);
    // As Copy; the next paste clears this slot.
    TSetChange Cut(int index);
    // The clipboard into the slot; after a cut, the cut slot is cleared (unless
    // it is the slot pasted into: the definition stays where it is).
    TSetChange Paste(int index);
    TSetChange Delete(int index);
    TSetChange SetColour(int index, std::int32_t colour);
    TSetChange ToggleDisabled(int index);

    bool CanPaste() const { return m_clipValid; }
    const TCmdRecord& Clipboard() const { return m_clip; }
    bool CutPending() const { return m_cutPending; }
    int ClipSource() const { return m_clipSource; }

    // ---- Parameter defaults ---------------------------------------------------------
    // "&Set Parameter Default" / "&Set All Parameter Defaults": nothing
    // changes; the slots are shown afresh (their edits show the defaults).
    TSetChange ShowDefault(int index) const;
    TSetChange ShowAllDefaults() const;
    // "&Store Parameter Default": for kinds 3, 4 and 5, val_start becomes the
    // edit text's integer. Throws EConvertError (nothing stored) when the
    // text is not one. The display is not refreshed.
    TSetChange StoreDefault(int index, std::string_view editText);
    // "&Store All Parameter Defaults": in slot order; the first text that is
    // not an integer throws, the slots before it stay stored.
    TSetChange StoreAllDefaults(const TSlotEditTexts& editTexts);

    // ---- Values from elsewhere ------------------------------------------------------
    // Values taken into slots as their defaults (a comparison's target
    // values): the integer goes to val_start of a parameter (kinds 3, 4, 5),
    // unchecked as a stored default is. A text that is not an integer, or a
    // slot of another kind, is skipped and listed in `skipped`.
    TSetChange TakeValues(const std::vector<std::pair<int, std::string>>& values,
                          std::vector<int>* skipped = nullptr);

private:
    TSetChange ClearOne(int index);

    TConfigSet m_set;
    std::string m_fileName;
    TTextEncoding m_encoding = TTextEncoding::EightBit;
    TSavedConfig m_saved;
    TCmdRecord m_clip;
    bool m_clipValid = false;
    bool m_cutPending = false;
    int m_clipSource = 0;
};

} // namespace pmv
