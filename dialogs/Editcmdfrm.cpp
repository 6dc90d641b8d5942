#include "dialogs/Editcmdfrm.h"

#include "config/IntText.h"
#include "dialogs/Dlgutils.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>

#include <algorithm>
#include <climits>

namespace pmv {

namespace {

// What each kind enables (the text edits, the kind list and "Disabled" are
// always enabled) and whether the Value group is drawn grey.
struct TKindEnabling {
    bool str;
    bool valueGroupGrey;
    bool values;
    bool incInSetAll;
    bool incInGetAll;
    bool updateEditOnGet;
    bool txOnValueChange;
};

constexpr TKindEnabling kKindEnabling[] = {
    /* ctCommand       */ {false, true, false, false, false, false, false},
    /* ctCommandValue  */ {false, false, true, false, false, false, true},
    /* ctCommandString */ {true, false, false, false, false, false, false},
    /* ctParamGet      */ {false, true, false, false, true, true, false},
    /* ctParamSet      */ {false, false, true, true, false, false, true},
    /* ctParamGetSet   */ {false, false, true, true, true, true, true},
};

QLineEdit* MakeLabeledEdit(QWidget* parent, const char* name, int left, int top, int width,
                           const char* caption, int maxLength, QLabel*& label) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(left, top, width, 21);
    TEditLimit::Install(edit, maxLength);
    label = new QLabel(QLatin1String(caption), parent);
    label->setObjectName(QLatin1String(name) + QLatin1String("SubLabel"));
    label->setGeometry(left, top - 16, width, 13);
    label->setBuddy(edit);
    return edit;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, int left, int top, int width,
                        const char* caption) {
    auto* box = new QCheckBox(QLatin1String(caption), parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(left, top, width, 17);
    return box;
}

QGroupBox* MakeGroupBox(QWidget* parent, const char* name, int left, int top, int width, int height,
                        const char* caption) {
    auto* box = new QGroupBox(QLatin1String(caption), parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(left, top, width, height);
    return box;
}

QPushButton* MakeButton(QWidget* parent, const char* name, int left, const QIcon& icon,
                        const char* caption) {
    auto* b = new QPushButton(icon, QLatin1String(caption), parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(left, 232, 65, 25);
    return b;
}

std::int32_t ClampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

} // namespace

TEditCmdForm::TEditCmdForm(QWidget* owner, int index, const TCmdRecord& source)
    : QDialog(owner), FSourceCmd(source), FCmd(source), FCmdIndex(index),
      FColorChooser(&TEditCmdForm::RunColorDialog) {
    setObjectName(QStringLiteral("EditCmdForm"));
    setWindowTitle(QStringLiteral("Configure Command"));
    MakeFixedDialog(this, 272, 264);

    CmdGroupBox = MakeGroupBox(this, "CmdGroupBox", 8, 0, 257, 97, "Command");
    CmdTypeLabel = new QLabel(QStringLiteral("Type"), CmdGroupBox);
    CmdTypeLabel->setObjectName(QStringLiteral("CmdTypeLabel"));
    CmdTypeLabel->setGeometry(8, 16, 129, 13);
    CmdTypeComboBox = new QComboBox(CmdGroupBox);
    CmdTypeComboBox->setObjectName(QStringLiteral("CmdTypeComboBox"));
    CmdTypeComboBox->setGeometry(8, 32, 129, 21);
    CmdTypeComboBox->addItems({QStringLiteral("Command"), QStringLiteral("Command = value"),
                               QStringLiteral("Command = string"), QStringLiteral("Param Get"),
                               QStringLiteral("Param Set"), QStringLiteral("Param Get/Set")});
    // The wheel takes the focus first, so an edit still holding typed text
    // commits it before the kind change refreshes the controls.
    CmdTypeComboBox->setFocusPolicy(Qt::WheelFocus);
    CmdTypeLabel->setBuddy(CmdTypeComboBox);
    CmdStrLabeledEdit = MakeLabeledEdit(CmdGroupBox, "CmdStrLabeledEdit", 144, 32, 105, "Cmd",
                                        kCmdStrMaxLength, CmdStrLabeledEditSubLabel);
    CmdDescriptionLabeledEdit =
        MakeLabeledEdit(CmdGroupBox, "CmdDescriptionLabeledEdit", 8, 72, 145, "Description",
                        kCmdDescrMaxLength, CmdDescriptionLabeledEditSubLabel);
    CmdDescriptionLabeledEditSubLabel->setToolTip(
        QStringLiteral("Double click to choose the command colour"));
    StrLabeledEdit = MakeLabeledEdit(CmdGroupBox, "StrLabeledEdit", 160, 72, 89, "String",
                                     kStrMaxLength, StrLabeledEditSubLabel);

    ValGroupBox = MakeGroupBox(this, "ValGroupBox", 8, 96, 257, 57, "Value");
    ValDefaultLabeledEdit =
        MakeLabeledEdit(ValGroupBox, "ValDefaultLabeledEdit", 8, 32, 57, "Default", kValueMaxLength,
                        ValDefaultLabeledEditSubLabel);
    ValMinLabeledEdit = MakeLabeledEdit(ValGroupBox, "ValMinLabeledEdit", 72, 32, 57, "Min.",
                                        kValueMaxLength, ValMinLabeledEditSubLabel);
    ValMaxLabeledEdit = MakeLabeledEdit(ValGroupBox, "ValMaxLabeledEdit", 136, 32, 57, "Max.",
                                        kValueMaxLength, ValMaxLabeledEditSubLabel);
    ValIncLabeledEdit = MakeLabeledEdit(ValGroupBox, "ValIncLabeledEdit", 200, 32, 49, "Inc.",
                                        kValueMaxLength, ValIncLabeledEditSubLabel);

    OptionsGroupBox = MakeGroupBox(this, "OptionsGroupBox", 8, 152, 257, 73, "Options");
    OptionsGroupBox->setToolTip(QStringLiteral("Double click to tick or clear all options"));
    IncInSetAllCheckBox =
        MakeCheckBox(OptionsGroupBox, "IncInSetAllCheckBox", 8, 16, 116, "Inc. in Set All");
    IncInGetAllCheckBox =
        MakeCheckBox(OptionsGroupBox, "IncInGetAllCheckBox", 128, 16, 124, "Inc. in Get All");
    UpdateEditOnGetCheckBox =
        MakeCheckBox(OptionsGroupBox, "UpdateEditOnGetCheckBox", 8, 32, 116, "Update Edit on Get");
    TxOnValueChangeCheckBox = MakeCheckBox(OptionsGroupBox, "TxOnValueChangeCheckBox", 128, 32, 124,
                                           "Tx on Value Change");
    DisabledCheckBox = MakeCheckBox(OptionsGroupBox, "DisabledCheckBox", 8, 48, 116, "Disabled");

    OKBitBtn =
        MakeButton(this, "OKBitBtn", 8, style()->standardIcon(QStyle::SP_DialogOkButton), "OK");
    OKBitBtn->setDefault(true);
    DefaultsButton = MakeButton(this, "DefaultsButton", 80, QIcon(), "Defaults");
    CancelBitBtn = MakeButton(this, "CancelBitBtn", 152,
                              style()->standardIcon(QStyle::SP_DialogCancelButton), "Cancel");
    connect(OKBitBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBitBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(DefaultsButton, &QPushButton::clicked, this, &TEditCmdForm::DefaultsButtonClick);
    connect(CmdTypeComboBox, &QComboBox::activated, this, &TEditCmdForm::CmdTypeComboBoxChange);

    QWidget* const order[] = {CmdStrLabeledEdit,       CmdDescriptionLabeledEdit,
                              StrLabeledEdit,          CmdTypeComboBox,
                              ValDefaultLabeledEdit,   ValMinLabeledEdit,
                              ValMaxLabeledEdit,       ValIncLabeledEdit,
                              IncInSetAllCheckBox,     IncInGetAllCheckBox,
                              UpdateEditOnGetCheckBox, TxOnValueChangeCheckBox,
                              DisabledCheckBox,        OKBitBtn,
                              DefaultsButton,          CancelBitBtn};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    FExitHandlers = {
        {CmdStrLabeledEdit, &TEditCmdForm::CmdStrLabeledEditExit},
        {CmdDescriptionLabeledEdit, &TEditCmdForm::CmdDescriptionLabeledEditExit},
        {StrLabeledEdit, &TEditCmdForm::StringEditExit},
        {ValDefaultLabeledEdit, &TEditCmdForm::ValDefaultLabeledEditExit},
        {ValMinLabeledEdit, &TEditCmdForm::ValMinLabeledEditExit},
        {ValMaxLabeledEdit, &TEditCmdForm::ValMaxLabeledEditExit},
        {ValIncLabeledEdit, &TEditCmdForm::ValIncLabeledEditExit},
        {IncInSetAllCheckBox, &TEditCmdForm::IncInSetAllCheckBoxExit},
        {IncInGetAllCheckBox, &TEditCmdForm::IncInGetAllCheckBoxExit},
        {UpdateEditOnGetCheckBox, &TEditCmdForm::UpdateEditOnGetCheckBoxExit},
        {TxOnValueChangeCheckBox, &TEditCmdForm::TxOnValueChangeCheckBoxExit},
        {DisabledCheckBox, &TEditCmdForm::DisabledCheckBoxExit},
    };
    for (const auto& h : FExitHandlers)
        h.first->installEventFilter(this);
    OptionsGroupBox->installEventFilter(this);
    CmdDescriptionLabeledEditSubLabel->installEventFilter(this);

    // The controls show the copy from the start, so that the close-time
    // commits are harmless even for a form that was never shown.
    ShowCmd(FCmd);
    CmdStrLabeledEdit->setFocus();
}

std::optional<QColor> TEditCmdForm::RunColorDialog(QWidget* parent, QColor initial) {
    QColorDialog dialog(initial, parent);
    dialog.setWindowTitle(QStringLiteral("Command Colour"));
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedColor();
}

void TEditCmdForm::SetDescriptionColour(std::int32_t colour) {
    FDescriptionColour = colour;
    QPalette pal = CmdDescriptionLabeledEdit->palette();
    const QColor c = SlotColourToQColor(colour, pal);
    pal.setColor(QPalette::Active, QPalette::Text, c);
    pal.setColor(QPalette::Inactive, QPalette::Text, c);
    CmdDescriptionLabeledEdit->setPalette(pal);
}

void TEditCmdForm::ShowCmd(const TCmdRecord& r) {
    TEditLimit::SetText(CmdStrLabeledEdit, FromLatin1(r.cmd_str));
    TEditLimit::SetText(CmdDescriptionLabeledEdit, FromLatin1(r.cmd_descr));
    SetDescriptionColour(r.colour);
    TEditLimit::SetText(StrLabeledEdit, FromLatin1(r.str));

    TEditLimit::SetText(ValDefaultLabeledEdit, QString::number(r.val_start));
    TEditLimit::SetText(ValMinLabeledEdit, QString::number(r.val_min));
    TEditLimit::SetText(ValMaxLabeledEdit, QString::number(r.val_max));
    TEditLimit::SetText(ValIncLabeledEdit, QString::number(r.val_inc));

    IncInSetAllCheckBox->setChecked(r.has(IncInSetAll));
    IncInGetAllCheckBox->setChecked(r.has(IncInGetAll));
    UpdateEditOnGetCheckBox->setChecked(r.has(UpdateEditOnGet));
    TxOnValueChangeCheckBox->setChecked(r.has(TxOnValueChange));
    DisabledCheckBox->setChecked(r.has(Disabled));

    CmdTypeComboBox->setCurrentIndex(r.cmd_type);

    // A kind outside the list selects nothing and enables as a plain command.
    const int kind = CmdTypeComboBox->currentIndex();
    const TKindEnabling& e = kKindEnabling[kind >= 0 && kind < 6 ? kind : 0];
    StrLabeledEdit->setEnabled(e.str);
    StrLabeledEditSubLabel->setEnabled(e.str);
    QPalette valPal = ValGroupBox->palette();
    const QColor valText = e.valueGroupGrey
                               ? palette().color(QPalette::Disabled, QPalette::WindowText)
                               : palette().color(QPalette::Active, QPalette::WindowText);
    valPal.setColor(QPalette::Active, QPalette::WindowText, valText);
    valPal.setColor(QPalette::Inactive, QPalette::WindowText, valText);
    ValGroupBox->setPalette(valPal);
    for (QWidget* w : {static_cast<QWidget*>(ValDefaultLabeledEdit),
                       static_cast<QWidget*>(ValDefaultLabeledEditSubLabel),
                       static_cast<QWidget*>(ValMinLabeledEdit),
                       static_cast<QWidget*>(ValMinLabeledEditSubLabel),
                       static_cast<QWidget*>(ValMaxLabeledEdit),
                       static_cast<QWidget*>(ValMaxLabeledEditSubLabel),
                       static_cast<QWidget*>(ValIncLabeledEdit),
                       static_cast<QWidget*>(ValIncLabeledEditSubLabel)})
        w->setEnabled(e.values);
    IncInSetAllCheckBox->setEnabled(e.incInSetAll);
    IncInGetAllCheckBox->setEnabled(e.incInGetAll);
    UpdateEditOnGetCheckBox->setEnabled(e.updateEditOnGet);
    TxOnValueChangeCheckBox->setEnabled(e.txOnValueChange);
}

void TEditCmdForm::FormShow() {
    setWindowTitle(QStringLiteral("Configure Command #%1").arg(FCmdIndex + 1));
    ShowCmd(FCmd);
}

void TEditCmdForm::CmdTypeComboBoxChange() {
    FCmd.cmd_type = static_cast<std::int8_t>(CmdTypeComboBox->currentIndex());
    ShowCmd(FCmd);
}

void TEditCmdForm::DefaultsButtonClick() {
    FCmd = FSourceCmd;
    ShowCmd(FSourceCmd);
}

void TEditCmdForm::OptionsGroupBoxDblClick() {
    QCheckBox* const boxes[] = {IncInSetAllCheckBox, IncInGetAllCheckBox, UpdateEditOnGetCheckBox,
                                TxOnValueChangeCheckBox};
    bool anyUnchecked = false;
    for (QCheckBox* b : boxes)
        if (b->isEnabled() && !b->isChecked())
            anyUnchecked = true;
    for (QCheckBox* b : boxes)
        if (b->isEnabled())
            b->setChecked(anyUnchecked);
}

void TEditCmdForm::CmdDescriptionLabeledEditSubLabelDblClick() {
    if (!FColorChooser)
        return;
    const std::optional<QColor> c = FColorChooser(
        this, SlotColourToQColor(FDescriptionColour, CmdDescriptionLabeledEdit->palette()));
    if (c && c->isValid())
        SetDescriptionColour(QColorToSlotColour(*c));
}

void TEditCmdForm::CmdStrLabeledEditExit() {
    FCmd.cmd_str = ToLatin1(CmdStrLabeledEdit->text());
}

void TEditCmdForm::CmdDescriptionLabeledEditExit() {
    FCmd.cmd_descr = ToLatin1(CmdDescriptionLabeledEdit->text());
    FCmd.colour = FDescriptionColour;
}

void TEditCmdForm::StringEditExit() {
    FCmd.str = ToLatin1(StrLabeledEdit->text());
}

void TEditCmdForm::CommitValue(QLineEdit* edit, std::int32_t& field, std::int32_t min,
                               std::int32_t max, std::int32_t def) {
    field = StrToIntClamped(ToLatin1(edit->text()), min, max, def);
    TEditLimit::SetText(edit, QString::number(field));
}

void TEditCmdForm::ValDefaultLabeledEditExit() {
    CommitValue(ValDefaultLabeledEdit, FCmd.val_start, FCmd.val_min, FCmd.val_max,
                FSourceCmd.val_start);
}

void TEditCmdForm::ValMinLabeledEditExit() {
    CommitValue(ValMinLabeledEdit, FCmd.val_min, 0, FCmd.val_max, FSourceCmd.val_min);
    ValDefaultLabeledEditExit();
    ValIncLabeledEditExit();
}

void TEditCmdForm::ValMaxLabeledEditExit() {
    CommitValue(ValMaxLabeledEdit, FCmd.val_max, FCmd.val_min, 65535, FSourceCmd.val_max);
    ValDefaultLabeledEditExit();
    ValIncLabeledEditExit();
}

void TEditCmdForm::ValIncLabeledEditExit() {
    const std::int32_t span = ClampToInt32(static_cast<std::int64_t>(FCmd.val_max) - FCmd.val_min);
    CommitValue(ValIncLabeledEdit, FCmd.val_inc, 0, span, FSourceCmd.val_inc);
}

void TEditCmdForm::CommitFlag(QCheckBox* box, std::uint32_t flag) {
    if (box->isChecked())
        FCmd.opts |= flag;
    else
        FCmd.opts &= ~flag;
}

void TEditCmdForm::IncInSetAllCheckBoxExit() {
    CommitFlag(IncInSetAllCheckBox, IncInSetAll);
}

void TEditCmdForm::IncInGetAllCheckBoxExit() {
    CommitFlag(IncInGetAllCheckBox, IncInGetAll);
}

void TEditCmdForm::UpdateEditOnGetCheckBoxExit() {
    CommitFlag(UpdateEditOnGetCheckBox, UpdateEditOnGet);
}

void TEditCmdForm::TxOnValueChangeCheckBoxExit() {
    CommitFlag(TxOnValueChangeCheckBox, TxOnValueChange);
}

void TEditCmdForm::DisabledCheckBoxExit() {
    CommitFlag(DisabledCheckBox, Disabled);
}

void TEditCmdForm::done(int result) {
    CmdStrLabeledEditExit();
    CmdDescriptionLabeledEditExit();
    StringEditExit();
    ValMaxLabeledEditExit();
    ValMinLabeledEditExit();
    ValDefaultLabeledEditExit();
    ValIncLabeledEditExit();
    IncInSetAllCheckBoxExit();
    IncInGetAllCheckBoxExit();
    UpdateEditOnGetCheckBoxExit();
    TxOnValueChangeCheckBoxExit();
    DisabledCheckBoxExit();
    QDialog::done(result);
}

void TEditCmdForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        FormShow();
    QDialog::showEvent(event);
}

bool TEditCmdForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == OptionsGroupBox) {
            OptionsGroupBoxDblClick();
            return true;
        }
        if (watched == CmdDescriptionLabeledEditSubLabel) {
            CmdDescriptionLabeledEditSubLabelDblClick();
            return true;
        }
    } else if (IsControlExit(event)) {
        for (const auto& h : FExitHandlers)
            if (h.first == watched)
                (this->*h.second)();
    }
    return QDialog::eventFilter(watched, event);
}

bool EditCmd(QWidget* owner, int index, TCmdRecord& record) {
    if (index < 0 || index >= kSlotCount)
        return false;
    TEditCmdForm form(owner, index, record);
    if (form.exec() != QDialog::Accepted)
        return false;
    record = form.GetCmd();
    return true;
}

} // namespace pmv
