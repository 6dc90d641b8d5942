#include "config/ParamDefaults.h"

#include "config/IntText.h"

namespace pmv {

std::string SlotDefaultEditText(const TCmdRecord& r) {
    if (!r.defined())
        return {};
    switch (r.cmd_type) {
    case ctCommandValue:
    case ctParamSet:
    case ctParamGetSet:
        return std::to_string(r.val_start);
    case ctCommandString:
        return r.str;
    case ctParamGet:
        return "0";
    default:
        return {};
    }
}

void StoreParameterDefault(TCmdRecord& r, std::string_view editText) {
    if (IsParamKind(r.cmd_type))
        r.val_start = StrToInt(editText);
}

void StoreAllParameterDefaults(TCmdTable& table, const TSlotEditTexts& editTexts) {
    for (int i = 0; i < kSlotCount; ++i)
        StoreParameterDefault(table[i], editTexts[i]);
}

TSlotEditTexts AllDefaultEditTexts(const TCmdTable& table) {
    TSlotEditTexts texts;
    for (int i = 0; i < kSlotCount; ++i)
        texts[i] = SlotDefaultEditText(table[i]);
    return texts;
}

} // namespace pmv
