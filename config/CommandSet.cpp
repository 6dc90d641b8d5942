#include "config/CommandSet.h"

#include "config/IntText.h"

namespace pmv {

namespace {

bool IsSlotIndex(int index) {
    return index >= 0 && index < kSlotCount;
}

} // namespace

TSetChange TSetChange::All() {
    TSetChange c;
    c.records.set();
    c.cleared.set();
    c.shown.set();
    c.captions = c.title = c.settings = c.fileName = true;
    return c;
}

TSetChange& TSetChange::operator|=(const TSetChange& o) {
    records |= o.records;
    cleared |= o.cleared;
    shown |= o.shown;
    colour |= o.colour;
    captions = captions || o.captions;
    title = title || o.title;
    settings = settings || o.settings;
    fileName = fileName || o.fileName;
    clipboard = clipboard || o.clipboard;
    return *this;
}

bool TSetChange::Empty() const {
    return records.none() && cleared.none() && shown.none() && colour.none() && !captions &&
           !title && !settings && !fileName && !clipboard;
}

TSerialSettings SerialSettingsOf(const TConfigSet& set) {
    return {set.ComPort, set.BaudRate, set.DataBits, set.Parity, set.StopBits};
}

TCommandSet::TCommandSet(const TSerialSettings& serial) {
    SetSerial(serial);
    m_saved = MakeSavedConfig(m_set);
}

const TCmdRecord& TCommandSet::Record(int index) const {
    static const TCmdRecord none;
    return IsSlotIndex(index) ? m_set.CmdTable[index] : none;
}

TConfigModification TCommandSet::FindModification() const {
    return FindConfigModification(m_set.Title, m_set.PageCaptions, m_set.ComPort,
                                  static_cast<int>(m_set.BaudRate), static_cast<int>(m_set.Parity),
                                  m_set.CmdTable, m_saved);
}

// ---- The whole set ------------------------------------------------------------------

TSetChange TCommandSet::Load(const TConfigSet& set, std::string path, TTextEncoding encoding) {
    m_set = set;
    m_fileName = std::move(path);
    m_encoding = encoding;
    m_saved = MakeSavedConfig(m_set);
    return TSetChange::All();
}

TConfigSaveResult TCommandSet::Save(const std::string& path, TSetChange* change) {
    TConfigSaveResult r = SaveConfigFile(path, m_set, m_encoding);
    if (!r.Ok)
        return r;
    m_fileName = path;
    m_saved = MakeSavedConfig(m_set);
    if (change)
        change->fileName = true;
    return r;
}

TSetChange TCommandSet::SetSerial(const TSerialSettings& serial) {
    TSetChange c;
    c.settings = serial != Serial();
    m_set.ComPort = serial.ComPort;
    m_set.BaudRate = serial.BaudRate;
    m_set.DataBits = serial.DataBits;
    m_set.Parity = serial.Parity;
    m_set.StopBits = serial.StopBits;
    return c;
}

TSetChange TCommandSet::SetTitle(std::string title) {
    TSetChange c;
    c.title = true;
    m_set.Title = std::move(title);
    return c;
}

TSetChange TCommandSet::RenamePage(int page, std::string caption) {
    TSetChange c;
    if (page < 0 || page >= kPageCount || caption.empty())
        return c;
    m_set.PageCaptions[page] = std::move(caption);
    c.captions = true;
    return c;
}

TSetChange TCommandSet::DeleteAll() {
    TSetChange c;
    for (int i = 0; i < kSlotCount; ++i)
        c |= ClearOne(i);
    return c;
}

// ---- One slot -----------------------------------------------------------------------

TSetChange TCommandSet::ClearOne(int index) {
    TSetChange c;
    ClearRecord(m_set.CmdTable[index]);
    c.records.set(index);
    c.cleared.set(index);
    c.shown.set(index);
    return c;
}

TSetChange TCommandSet::SetRecord(int index, const TCmdRecord& record) {
    TSetChange c;
    if (!IsSlotIndex(index))
        return c;
    m_set.CmdTable[index] = record;
    c.records.set(index);
    c.shown.set(index);
    return c;
}

TSetChange TCommandSet::Copy(int index) {
    TSetChange c;
    if (!IsSlotIndex(index))
        return c;
    m_clip = m_set.CmdTable[index];
    m_clipValid = true;
    m_cutPending = false;
    m_clipSource = index;
    c.clipboard = true;
    return c;
}

TSetChange TCommandSet::Cut(int index) {
    TSetChange c = Copy(index);
    // The slot stays as it is until the next paste moves its definition.
    if (c.clipboard)
        m_cutPending = true;
    return c;
}

TSetChange TCommandSet::Paste(int index) {
    TSetChange c = SetRecord(index, m_clip);
    if (c.records.none() || !m_cutPending)
        return c;
    m_cutPending = false;
    c.clipboard = true;
    // Pasting a cut slot back where it came from ends the move there:
    // clearing the source now would wipe the definition just pasted.
    if (m_clipSource != index)
        c |= ClearOne(m_clipSource);
    return c;
}

TSetChange TCommandSet::Delete(int index) {
    return IsSlotIndex(index) ? ClearOne(index) : TSetChange{};
}

TSetChange TCommandSet::SetColour(int index, std::int32_t colour) {
    TSetChange c;
    if (!IsSlotIndex(index))
        return c;
    m_set.CmdTable[index].colour = colour;
    c.records.set(index);
    c.colour.set(index);
    return c;
}

TSetChange TCommandSet::ToggleDisabled(int index) {
    TSetChange c;
    if (!IsSlotIndex(index))
        return c;
    m_set.CmdTable[index].opts ^= Disabled;
    c.records.set(index);
    c.shown.set(index);
    return c;
}

// ---- Parameter defaults -------------------------------------------------------------

TSetChange TCommandSet::ShowDefault(int index) const {
    TSetChange c;
    if (IsSlotIndex(index))
        c.shown.set(index);
    return c;
}

TSetChange TCommandSet::ShowAllDefaults() const {
    TSetChange c;
    c.shown.set();
    return c;
}

TSetChange TCommandSet::StoreDefault(int index, std::string_view editText) {
    TSetChange c;
    if (!IsSlotIndex(index))
        return c;
    StoreParameterDefault(m_set.CmdTable[index], editText);
    if (IsParamKind(m_set.CmdTable[index].cmd_type))
        c.records.set(index);
    return c;
}

TSetChange TCommandSet::StoreAllDefaults(const TSlotEditTexts& editTexts) {
    TSetChange c;
    for (int i = 0; i < kSlotCount; ++i)
        c |= StoreDefault(i, editTexts[i]);
    return c;
}

// ---- Values from elsewhere ----------------------------------------------------------

TSetChange TCommandSet::TakeValues(const std::vector<std::pair<int, std::string>>& values,
                                   std::vector<int>* skipped) {
    TSetChange c;
    for (const auto& [index, text] : values) {
        const std::optional<std::int32_t> v = TryStrToInt(text);
        if (!IsSlotIndex(index) || !IsParamKind(m_set.CmdTable[index].cmd_type) || !v) {
            if (skipped)
                skipped->push_back(index);
            continue;
        }
        m_set.CmdTable[index].val_start = *v;
        c.records.set(index);
        c.shown.set(index);
    }
    return c;
}

} // namespace pmv
