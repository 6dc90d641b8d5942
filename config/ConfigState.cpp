#include "config/ConfigState.h"

namespace pmv {

TConfigModification FindConfigModification(const std::string& title,
                                           const TPageCaptions& pageCaptions, int port,
                                           int baudRate, int parity, const TCmdTable& table,
                                           const TSavedConfig& saved) {
    if (title != saved.SavedTitle)
        return {TConfigChange::Title, -1};
    for (int p = 0; p < kPageCount; ++p) {
        if (pageCaptions[p] != saved.SavedPageCaptions[p])
            return {TConfigChange::PageCaption, p};
    }
    if (port != saved.SavedPort)
        return {TConfigChange::Port, -1};
    if (baudRate != saved.SavedBaudRate)
        return {TConfigChange::BaudRate, -1};
    if (parity != saved.SavedParity)
        return {TConfigChange::Parity, -1};
    for (int i = 0; i < kSlotCount; ++i) {
        if (table[i] != saved.SavedCmdTable[i])
            return {TConfigChange::CmdRecord, i};
    }
    return {};
}

TSavedConfig MakeSavedConfig(const TConfigSet& set) {
    TSavedConfig s;
    s.SavedTitle = set.Title;
    s.SavedPageCaptions = set.PageCaptions;
    s.SavedCmdTable = set.CmdTable;
    s.SavedPort = set.ComPort;
    s.SavedBaudRate = static_cast<int>(set.BaudRate);
    s.SavedParity = static_cast<int>(set.Parity);
    return s;
}

std::string CloseQueryPrompt(const std::string& configFileName) {
    if (configFileName.empty())
        return "Create New Configuration File?";
    return "Update Configuration File " + ConfigFileBaseName(configFileName) + "?";
}

} // namespace pmv
