// Parameter defaults: moving values between a slot's val_start and its edit
// field. The window supplies the edit texts and shows what these return; none
// of this talks to the target.
#pragma once

#include "config/CmdRecord.h"

#include <array>
#include <string>
#include <string_view>

namespace pmv {

using TSlotEditTexts = std::array<std::string, kSlotCount>;

// Kinds 3, 4 and 5 (ctParamGet, ctParamSet, ctParamGetSet) carry a default
// that the store operations take from the edit field.
constexpr bool IsParamKind(std::int8_t kind) {
    return kind == ctParamGet || kind == ctParamSet || kind == ctParamGetSet;
}

// The text a slot's edit field shows when the slot is displayed afresh:
// val_start in decimal for kinds 1, 4 and 5, str for kind 2, "0" for kind 3,
// nothing for kind 0 and for an undefined slot.
std::string SlotDefaultEditText(const TCmdRecord& r);

// "&Store Parameter Default": for a parameter kind, val_start becomes
// StrToInt(editText), without any range check; other kinds are left alone.
// Throws EConvertError (val_start unchanged) when the text is not an integer.
void StoreParameterDefault(TCmdRecord& r, std::string_view editText);

// "&Store All Parameter Defaults": StoreParameterDefault for slots 0..191 in
// order. The first text that is not an integer ends the run with its
// EConvertError: the slots before it are stored, it and those after it are not.
void StoreAllParameterDefaults(TCmdTable& table, const TSlotEditTexts& editTexts);

// "&Set All Parameter Defaults": the edit texts of all slots as displayed afresh.
TSlotEditTexts AllDefaultEditTexts(const TCmdTable& table);

inline constexpr const char* kAllDefaultsSetLogLine =
    "All Parameter values set to their default values";
inline constexpr const char* kAllDefaultsStoredLogLine = "All Parameter default values stored";
inline constexpr const char* kSetAllReminderLogLine =
    "WARNING: To update the target parameters, use the \"Set All Target Parameters\" command";

} // namespace pmv
