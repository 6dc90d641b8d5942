#include "app/Mainfrm.h"

#include "app/HostApplication.h"
#include "app/Icons.h"
#include "comport/Lnkcomdlg.h"
#include "comport/Lnkcomport.h"
#include "dialogs/Dlgutils.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWheelEvent>
#include <QWindow>

using namespace pmv;

namespace {

// Layout of the client area (below the menu bar), in pixels.
const QRect ToolBarRect(0, 0, 501, 25);
const QRect PageControlRect(0, 32, 497, 310);
const QRect MemoRect(0, 340, 497, 125);
constexpr int StatusBarHeight = 19;

// Slot geometry on its page and inside its group box.
constexpr int SlotPitchX = 123;
constexpr int SlotPitchY = 47;
const QSize SlotBoxSize(121, 48);
const QRect GetButtonRect(5, 15, 25, 25);
const QRect SetButtonRect(34, 15, 25, 25);
const QRect EditRect(64, 15, 50, 21);

// Separator between tool button groups.
constexpr int ToolSeparatorWidth = 5;

struct TPanelDef {
    int width;
    const char* text;
    const char* name;
};
const TPanelDef PanelDefs[TMainForm::StatusPanelCount] = {
    {130, "", "Port state"},       {20, "Tx", "Tx label"},
    {60, "0", "Tx count"},         {20, "Rx", "Rx label"},
    {60, "0", "Rx count"},         {38, "Rx TO", "Rx timeout label"},
    {30, "0", "Rx timeout count"}, {50, "", "Configuration file"},
};

QString Latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

QString SlotNumberText(int index) {
    return QStringLiteral("Slot %1").arg(index + 1);
}

// Setters that leave a widget alone when nothing changes, so that a full
// refresh of all 192 slots stays cheap.
void SetButton(QPushButton* b, const QString& caption, bool enabled) {
    if (b->text() != caption)
        b->setText(caption);
    b->setEnabled(enabled);
}

void SetEditText(QLineEdit* e, const QString& text) {
    if (e->text() != text) {
        pmv::TEditLimit::SetText(e, text); // whole, whatever the typing limit
        e->setCursorPosition(0);           // show the start of a long text
    }
}

void SetEdit(QLineEdit* e, const QString& text, bool enabled, bool readOnly, int maxLength) {
    // The maximum length limits typing and pasting only; a value the program
    // shows (a long reply, a wide number) stays whole.
    const auto* limit = qobject_cast<const pmv::TEditLimit*>(e->validator());
    if (!limit || limit->MaxLength() != maxLength) {
        delete limit;
        pmv::TEditLimit::Install(e, maxLength);
    }
    SetEditText(e, text);
    e->setEnabled(enabled);
    e->setReadOnly(readOnly);
}

// Look of the slot panel: tabs with less padding, so that the eight default
// captions fit side by side, and group boxes whose frame runs through the
// middle of an indented title.
class TPanelStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_TabBarTabHSpace)
            return 12;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        QRect r = QProxyStyle::subControlRect(control, option, sub, widget);
        if (control == CC_GroupBox && sub == SC_GroupBoxLabel)
            r.translate(GroupTitleIndent, 0);
        return r;
    }

    // An etched frame whose top line runs through the middle of the title.
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        if (control != CC_GroupBox || !box) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const bool hasTitle = !box->text.isEmpty();
        QRect label =
            hasTitle ? subControlRect(CC_GroupBox, option, SC_GroupBoxLabel, widget) : QRect();
        // A title too long for the box ends in an ellipsis before the frame.
        const int room = box->rect.width() - label.left() - GroupTitleIndent;
        QString title = box->text;
        if (hasTitle && label.width() > room) {
            title = box->fontMetrics.elidedText(title, Qt::ElideRight, room);
            label.setWidth(room);
        }
        painter->save();
        if (hasTitle)
            painter->setClipRegion(QRegion(box->rect) - label.adjusted(-2, 0, 1, 0));
        const QRect frame = box->rect.adjusted(0, box->fontMetrics.height() / 2, -2, -2);
        painter->setBrush(Qt::NoBrush);
        painter->setPen(box->palette.color(QPalette::Light));
        painter->drawRect(frame.translated(1, 1));
        painter->setPen(box->palette.color(QPalette::Mid));
        painter->drawRect(frame);
        painter->restore();
        if (hasTitle) {
            int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic;
            if (!styleHint(SH_UnderlineShortcut, option, widget))
                flags |= Qt::TextHideMnemonic;
            drawItemText(painter, label, flags, box->palette, box->state & State_Enabled, title,
                         QPalette::WindowText);
        }
    }

private:
    static constexpr int GroupTitleIndent = 6;
};

QColor GreyTextColour() {
    return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

} // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(MakeIcon(TIcon::Application));
    // Small sans font at 8 points, set before the children exist so that
    // nothing has to be re-propagated.
    QFont f = QApplication::font();
    f.setPointSize(8);
    setFont(f);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(ClientWidth, ClientHeight);
    setCentralWidget(client);

    BuildComponents();
    BuildLink();
    BuildMenus();
    BuildToolBar();
    BuildPages();
    for (int i = 0; i < SlotCount; ++i)
        BuildSlot(i);
    BuildLogAndStatusBar();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // Start state of the command set and its snapshot.
    ConfigFileName.clear();
    ConfigTitle.clear();
    SavedConfig.SavedTitle.clear();
    for (int p = 0; p < PageCount; ++p)
        SavedConfig.SavedPageCaptions[p] = PageCaption(p);
    SavedConfig.SavedPort = LNKCOMPort->Port();
    SavedConfig.SavedBaudRate = LNKCOMPort->BaudRate();
    SavedConfig.SavedParity = LNKCOMPort->Parity();
    for (int i = 0; i < SlotCount; ++i) {
        ClearSlot(i);
        ShowSlot(i);
    }
    for (auto& r : SavedConfig.SavedCmdTable)
        r = TCmdRecord{};
    TxCount = RxCount = RxTOCount = 0;
    ClipCmd = TCmdRecord{};
    ClipCutPending = false;
    ClipSource = 0;
    Paste1->setEnabled(false);
}

TMainForm::~TMainForm() {
    FDestroying = true;
    if (FWheelSource)
        FWheelSource->removeEventFilter(this);
}

// ---- Construction -----------------------------------------------------------------

void TMainForm::BuildComponents() {
    LNKCOMPort = new QORLNK::TLNKCOMPort(this);
    LNKCOMPort->setObjectName(QStringLiteral("LNKCOMPort"));
    LNKCOMDlg = new QORLNK::TLNKCOMDlg(this);
    LNKCOMDlg->setObjectName(QStringLiteral("LNKCOMDlg"));
    LNKCOMDlg->SetTitle("COM Port Settings");
    LNKCOMDlg->SetPort1(1);
    LNKCOMDlg->SetReadOnlyAttribs({QORLNK::roDataBits, QORLNK::roStopBits});
    RxTimer = new QTimer(this);
    RxTimer->setObjectName(QStringLiteral("RxTimer"));
    RxTimer->setInterval(200);
    RxTimer->setSingleShot(false);
}

void TMainForm::BuildMenus() {
    struct TItemDef {
        QAction** action;
        const char* name;
        const char* caption;
        const char* hint;
        void (TMainForm::*handler)();
    };
    auto addItems = [this](QMenu* menu, std::initializer_list<TItemDef> items) {
        for (const TItemDef& d : items) {
            if (!d.action) {
                QAction* sep = menu->addSeparator();
                sep->setObjectName(QString::fromLatin1(d.name));
                continue;
            }
            auto* a = new QAction(QString::fromLatin1(d.caption), this);
            a->setObjectName(QString::fromLatin1(d.name));
            if (*d.hint) {
                a->setStatusTip(QString::fromLatin1(d.hint));
                a->setToolTip(QString::fromLatin1(d.hint));
            }
            if (d.handler)
                connect(a, &QAction::triggered, this,
                        [this, h = d.handler] { RunGuarded([&] { (this->*h)(); }); });
            menu->addAction(a);
            *d.action = a;
        }
    };

    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu"));
    FileMenu = bar->addMenu(QStringLiteral("&File"));
    FileMenu->setObjectName(QStringLiteral("FileMenu"));
    addItems(FileMenu, {
                           {&LogIn, "LogIn", "&Log In", "", &TMainForm::LogInClick},
                           {nullptr, "N3", nullptr, nullptr, nullptr},
                           {&LoadConfig, "LoadConfig", "&Load Config", "Load Configuration",
                            &TMainForm::LoadConfigClick},
                           {&SaveConfig, "SaveConfig", "&Save Config", "Save Configuration",
                            &TMainForm::SaveConfigClick},
                           {&EditTitle, "EditTitle", "Edit Title", "", &TMainForm::EditTitleClick},
                           {nullptr, "N4", nullptr, nullptr, nullptr},
                           {&Exit, "Exit", "E&xit", "", &TMainForm::ExitClick},
                       });
    COMMenu = bar->addMenu(QStringLiteral("&COM"));
    COMMenu->setObjectName(QStringLiteral("COMMenu"));
    addItems(COMMenu,
             {
                 {&COMSettings, "COMSettings", "&Settings", "COM Settings",
                  &TMainForm::COMSettingsClick},
                 {&COMOpen, "COMOpen", "&Open", "Open COM Port", &TMainForm::COMOpenClick},
                 {&COMClose, "COMClose", "&Close", "Close COM Port", &TMainForm::COMCloseClick},
             });
    CommandsMenu = bar->addMenu(QStringLiteral("&Commands"));
    CommandsMenu->setObjectName(QStringLiteral("CommandsMenu"));
    addItems(
        CommandsMenu,
        {
            {&DeleteAllCommands, "DeleteAllCommands", "&Delete All Commands", "",
             &TMainForm::DeleteAllCommandsClick},
            {nullptr, "N2", nullptr, nullptr, nullptr},
            {&SetAllParameterDefaults, "SetAllParameterDefaults", "&Set All Parameter Defaults",
             "Set all Parameter Defaults", &TMainForm::SetAllParameterDefaultsClick},
            {&StoreAllParameterDefaults, "StoreAllParameterDefaults",
             "&Store All Parameter Defaults", "Store all Parameter Defaults",
             &TMainForm::StoreAllParameterDefaultsClick},
            {&GetAllParameters, "GetAllParameters", "&Get All Target Parameters",
             "Get all Parameters Values from Target", &TMainForm::GetAllParametersClick},
            {&SetAllParameters, "SetAllParameters", "&Set All Target Parameters",
             "Set all Target Parameter Values", &TMainForm::SetAllParametersClick},
        });
    OptionsMenu = bar->addMenu(QStringLiteral("&Options"));
    OptionsMenu->setObjectName(QStringLiteral("OptionsMenu"));
    // No handlers: the items toggle their own check marks, which are read by
    // position when they matter (OptionChecked).
    addItems(OptionsMenu,
             {
                 {&ShowTransmissions, "ShowTransmissions", "&Show Transmissions", "", nullptr},
                 {&ShowUnframedReceptions, "ShowUnframedReceptions", "Show &Unframed Receptions",
                  "", nullptr},
                 {&ShowCommandDescription, "ShowCommandDescription", "Show Command Description", "",
                  nullptr},
             });
    for (QAction* a : {ShowTransmissions, ShowUnframedReceptions, ShowCommandDescription})
        a->setCheckable(true);
    ShowCommandDescription->setChecked(true);
    HelpMenu = bar->addMenu(QStringLiteral("&Help"));
    HelpMenu->setObjectName(QStringLiteral("HelpMenu"));
    addItems(HelpMenu, {{&About, "About", "&About", "", &TMainForm::AboutClick}});

    const std::pair<QAction*, TIcon> icons[] = {
        {LogIn, TIcon::LogIn},
        {LoadConfig, TIcon::LoadConfig},
        {SaveConfig, TIcon::SaveConfig},
        {EditTitle, TIcon::EditTitle},
        {Exit, TIcon::Exit},
        {COMSettings, TIcon::COMSettings},
        {COMOpen, TIcon::COMOpen},
        {COMClose, TIcon::COMClose},
        {DeleteAllCommands, TIcon::DeleteAllCommands},
        {SetAllParameterDefaults, TIcon::SetAllParameterDefaults},
        {StoreAllParameterDefaults, TIcon::StoreAllParameterDefaults},
        {GetAllParameters, TIcon::GetAllParameters},
        {SetAllParameters, TIcon::SetAllParameters},
        {About, TIcon::About},
    };
    for (const auto& [action, icon] : icons)
        action->setIcon(MakeIcon(icon));

    // Slot popup menu.
    CmdPopupMenu = new QMenu(this);
    CmdPopupMenu->setObjectName(QStringLiteral("CmdPopupMenu"));
    addItems(CmdPopupMenu,
             {
                 {&Edit, "Edit", "&Edit", "", &TMainForm::EditClick},
                 {&Copy, "Copy", "&Copy", "", &TMainForm::CopyClick},
                 {&Cut, "Cut", "&Cut", "", &TMainForm::CutClick},
                 {&Paste1, "Paste1", "&Paste", "", &TMainForm::Paste1Click},
                 {&Delete, "Delete", "Del&ete", "", &TMainForm::DeleteClick},
                 {&Colour, "Colour", "C&olour", "", &TMainForm::ColourClick},
                 {&Disable1, "Disable1", "Di&sable/Enable", "", &TMainForm::Disable1Click},
                 {nullptr, "N1", nullptr, nullptr, nullptr},
                 {&Default, "Default", "&Set Parameter Default", "", &TMainForm::DefaultClick},
                 {&StoreParameterDefault1, "StoreParameterDefault1", "&Store Parameter Default", "",
                  &TMainForm::StoreParameterDefault1Click},
             });

    // Page popup menu.
    TabNamingPopupMenu = new QMenu(this);
    TabNamingPopupMenu->setObjectName(QStringLiteral("TabNamingPopupMenu"));
    addItems(TabNamingPopupMenu, {{&Rename, "Rename", "&Rename", "", &TMainForm::RenameClick}});
}

void TMainForm::BuildToolBar() {
    MainToolBar = new QToolBar(centralWidget());
    MainToolBar->setObjectName(QStringLiteral("MainToolBar"));
    MainToolBar->setGeometry(ToolBarRect);
    MainToolBar->setMovable(false);
    MainToolBar->setFloatable(false);
    MainToolBar->setIconSize(QSize(16, 16));
    MainToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    MainToolBar->setContentsMargins(0, 0, 0, 0);

    struct TButtonDef {
        QAction* action; // null: separator
        const char* name;
    };
    const TButtonDef buttons[] = {
        {Exit, "ExitToolButton"},
        {nullptr, "ToolButton2"},
        {LoadConfig, "LoadConfigToolButton"},
        {SaveConfig, "SaveConfigToolButton"},
        {COMSettings, "COMPortSettingsToolButton"},
        {COMOpen, "COMPortOpenToolButton"},
        {COMClose, "COMPortCloseToolButton"},
        {About, "HelpAboutToolButton"},
        {nullptr, "ToolButton6"},
        {SetAllParameterDefaults, "SetAllParameterDefaultsToolButton"},
        {StoreAllParameterDefaults, "StoreAllParameterDefaultsToolButton"},
        {GetAllParameters, "GetAllTargetParametersToolButton"},
        {SetAllParameters, "SetAllTargetParametersToolButton"},
    };
    for (const TButtonDef& d : buttons) {
        const QString name = QString::fromLatin1(d.name);
        if (!d.action) {
            QAction* sep = MainToolBar->addSeparator();
            sep->setObjectName(name);
            QWidget* w = MainToolBar->widgetForAction(sep);
            w->setObjectName(name);
            w->setFixedWidth(ToolSeparatorWidth);
            continue;
        }
        MainToolBar->addAction(d.action);
        QWidget* w = MainToolBar->widgetForAction(d.action);
        w->setObjectName(name);
        const QString hint = d.action->statusTip();
        w->setAccessibleName(hint.isEmpty() ? QString(d.action->text()).remove(QLatin1Char('&'))
                                            : hint);
        if (hint.isEmpty()) {
            // An item without a hint gives its tool button no tooltip.
            FNoHintButtons.append(w);
            w->installEventFilter(this);
        }
    }
}

void TMainForm::BuildPages() {
    CmdsPageControl = new QTabWidget(centralWidget());
    CmdsPageControl->setObjectName(QStringLiteral("CmdsPageControl"));
    CmdsPageControl->setGeometry(PageControlRect);
    CmdsPageControl->setContextMenuPolicy(Qt::CustomContextMenu);
    FPanelStyle = new TPanelStyle;
    FPanelStyle->setParent(this);
    CmdsPageControl->tabBar()->setStyle(FPanelStyle);
    connect(CmdsPageControl, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        TabNamingPopupMenu->popup(CmdsPageControl->mapToGlobal(pos));
    });
    const TPageCaptions captions = DefaultPageCaptions();
    for (int p = 0; p < PageCount; ++p) {
        auto* page = new QWidget;
        page->setObjectName(QStringLiteral("CmdPage%1TabSheet").arg(p + 1));
        CmdsPageControl->addTab(page, Latin1(captions[p]));
        CmdPageTabSheets[p] = page;
    }
    CmdsPageControl->setCurrentIndex(0);
}

void TMainForm::BuildSlot(int index) {
    const QString n = QString::number(index + 1);
    const QString number = SlotNumberText(index);
    QWidget* page = CmdPageTabSheets[SlotPage(index)];

    auto* box = new QGroupBox(page);
    box->setObjectName(QLatin1String("Cmd") + n + QLatin1String("GroupBox"));
    box->setGeometry(
        QRect(QPoint(SlotPitchX * SlotColumn(index), SlotPitchY * SlotRow(index)), SlotBoxSize));
    box->setAccessibleName(number);
    box->setStyle(FPanelStyle);
    box->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(box, &QWidget::customContextMenuRequested, this,
            [this, box](const QPoint& pos) { CmdPopupMenu->popup(box->mapToGlobal(pos)); });

    auto* get = new QPushButton(box);
    get->setObjectName(QLatin1String("Cmd") + n + QLatin1String("GetButton"));
    get->setGeometry(GetButtonRect);
    get->setAccessibleName(number + QLatin1String(" Get"));
    get->setEnabled(false);
    connect(get, &QPushButton::clicked, this,
            [this, index] { RunGuarded([&] { SlotGetButtonClick(index); }); });

    auto* set = new QPushButton(box);
    set->setObjectName(QLatin1String("Cmd") + n + QLatin1String("SetButton"));
    set->setGeometry(SetButtonRect);
    set->setAccessibleName(number + QLatin1String(" Set"));
    set->setEnabled(false);
    connect(set, &QPushButton::clicked, this,
            [this, index] { RunGuarded([&] { SlotSetButtonClick(index); }); });

    auto* edit = new QLineEdit(box);
    edit->setObjectName(QLatin1String("Cmd") + n + QLatin1String("Edit"));
    edit->setGeometry(EditRect);
    edit->setAccessibleName(number + QLatin1String(" value"));
    pmv::TEditLimit::Install(edit, NumericEditMaxLength);
    edit->setEnabled(false);

    // Tab order within the slot follows creation: Get, Set, edit.
    SlotCtrls[index] = TSlotCtrls{box, get, set, edit};
    for (QWidget* w : {static_cast<QWidget*>(box), static_cast<QWidget*>(get),
                       static_cast<QWidget*>(set), static_cast<QWidget*>(edit)}) {
        FSlotOfWidget.insert(w, index);
        w->installEventFilter(this);
    }
}

void TMainForm::BuildLogAndStatusBar() {
    Memo = new QPlainTextEdit(centralWidget());
    Memo->setObjectName(QStringLiteral("Memo"));
    Memo->setGeometry(MemoRect);
    Memo->setReadOnly(true);
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo->setAccessibleName(QStringLiteral("Log"));
    Memo->viewport()->installEventFilter(this);

    // Created last so that it lies over the log's bottom pixel row.
    StatusBar = new QStatusBar(centralWidget());
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setGeometry(0, ClientHeight - StatusBarHeight, ClientWidth, StatusBarHeight);
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setContentsMargins(0, 0, 0, 0);
    StatusBar->setAccessibleName(QStringLiteral("Status bar"));
    StatusBar->installEventFilter(this);
    if (QLayout* l = StatusBar->layout()) {
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(0);
    }
    for (int i = 0; i < StatusPanelCount; ++i) {
        auto* panel = new QLabel(QString::fromLatin1(PanelDefs[i].text));
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panel->setFixedSize(PanelDefs[i].width, StatusBarHeight);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setIndent(2);
        panel->setAccessibleName(QString::fromLatin1(PanelDefs[i].name));
        StatusBar->addWidget(panel);
        StatusPanels[i] = panel;
    }
}

// ---- Slots --------------------------------------------------------------------------

void TMainForm::ClearSlot(int index) {
    if (index < 0 || index >= SlotCount)
        return;
    ClearRecord(CmdTable[index]);
    SetButton(SlotCtrls[index].get, QString(), false);
    SetButton(SlotCtrls[index].set, QString(), false);
}

void TMainForm::ShowSlot(int index) {
    if (index < 0 || index >= SlotCount)
        return;
    const TCmdRecord& r = CmdTable[index];
    const TSlotCtrls& c = SlotCtrls[index];

    if (!r.defined()) {
        // Button captions, read-only state, maximum length and colours stay.
        c.get->setEnabled(false);
        c.set->setEnabled(false);
        c.edit->setEnabled(false);
        SetEditText(c.edit, QString());
        SetSlotCaption(index, QString());
        return;
    }

    SetSlotCaption(index, Latin1(r.cmd_descr.empty() ? r.cmd_str : r.cmd_descr));
    // The edit keeps the system window-text colour: only the caption is coloured.

    const QString value = QString::number(r.val_start);
    switch (r.cmd_type) {
    case ctCommand:
        SetButton(c.get, QString(), false);
        SetButton(c.set, QStringLiteral("Tx"), true);
        SetEdit(c.edit, QString(), false, false, NumericEditMaxLength);
        break;
    case ctCommandValue:
        SetButton(c.get, QString(), false);
        SetButton(c.set, QStringLiteral("Tx"), true);
        SetEdit(c.edit, value, true, false, NumericEditMaxLength);
        break;
    case ctCommandString:
        SetButton(c.get, QString(), false);
        SetButton(c.set, QStringLiteral("Tx"), true);
        SetEdit(c.edit, Latin1(r.str), true, false, StringEditMaxLength);
        break;
    case ctParamGet:
        SetButton(c.get, QStringLiteral("G"), true);
        SetButton(c.set, QString(), false);
        SetEdit(c.edit, QStringLiteral("0"), true, true, NumericEditMaxLength);
        break;
    case ctParamSet:
        SetButton(c.get, QString(), false);
        SetButton(c.set, QStringLiteral("S"), true);
        SetEdit(c.edit, value, true, false, NumericEditMaxLength);
        break;
    case ctParamGetSet:
        SetButton(c.get, QStringLiteral("G"), true);
        SetButton(c.set, QStringLiteral("S"), true);
        SetEdit(c.edit, value, true, false, NumericEditMaxLength);
        break;
    default:
        // An unknown kind leaves the buttons and the edit as they are.
        break;
    }

    if (r.has(pmv::Disabled)) {
        c.get->setEnabled(false);
        c.set->setEnabled(false);
        c.edit->setEnabled(false);
        SetSlotCaptionColour(index, GreyTextColour());
    } else {
        SetSlotCaptionColour(index, SlotColourToQColor(r.colour, QApplication::palette()));
    }
}

void TMainForm::SetSlotCaption(int index, const QString& caption) {
    if (FSlotCaption[index] == caption)
        return;
    FSlotCaption[index] = caption;
    const TSlotCtrls& c = SlotCtrls[index];
    c.box->setTitle(caption);
    c.box->setAccessibleDescription(caption);
    c.get->setAccessibleDescription(caption);
    c.set->setAccessibleDescription(caption);
    c.edit->setAccessibleDescription(caption);
}

void TMainForm::SetSlotCaptionColour(int index, const QColor& colour) {
    if (index < 0 || index >= SlotCount)
        return;
    const QRgb rgb = colour.rgba();
    if (FSlotCaptionColourSet[index] && FSlotCaptionRgb[index] == rgb)
        return;
    FSlotCaptionColourSet[index] = true;
    FSlotCaptionRgb[index] = rgb;
    // The title is drawn in the group box's window-text colour; the buttons
    // and the edit use other palette roles and keep the system colours.
    QGroupBox* box = SlotCtrls[index].box;
    QPalette p = box->palette();
    p.setColor(QPalette::WindowText, colour);
    box->setPalette(p);
}

QColor TMainForm::SlotCaptionColour(int index) const {
    if (index < 0 || index >= SlotCount)
        return QColor();
    return SlotCtrls[index].box->palette().color(QPalette::WindowText);
}

int TMainForm::SlotOf(const QObject* widget) const {
    return FSlotOfWidget.value(widget, -1);
}

// ---- Helpers ------------------------------------------------------------------------

std::string TMainForm::PageCaption(int page) const {
    if (page < 0 || page >= PageCount)
        return {};
    return CmdsPageControl->tabText(page).toLatin1().toStdString();
}

void TMainForm::SetPageCaption(int page, const std::string& caption) {
    if (page < 0 || page >= PageCount)
        return;
    CmdsPageControl->setTabText(page, Latin1(caption));
}

void TMainForm::SetStatusPanel(int i, const QString& text) {
    if (i >= 0 && i < StatusPanelCount)
        StatusPanels[i]->setText(text);
}

QString TMainForm::StatusPanel(int i) const {
    if (i < 0 || i >= StatusPanelCount)
        return {};
    return StatusPanels[i]->text();
}

void TMainForm::Log(const QString& line) {
    // One call, one line: control characters (a frame's trailing carriage
    // return, bytes received outside replies) are shown as their symbols
    // instead of breaking the line.
    QString shown = line;
    for (QChar& c : shown) {
        const char16_t u = c.unicode();
        if (u < 0x20 && u != u'\t')
            c = QChar(char16_t(0x2400 + u));
        else if (u == 0x7F)
            c = QChar(char16_t(0x2421));
    }
    Memo->appendPlainText(shown);
}

bool TMainForm::OptionChecked(int pos) const {
    const QList<QAction*> items = OptionsMenu->actions();
    return pos >= 0 && pos < items.size() && items[pos]->isChecked();
}

QString TMainForm::TitleCaption(const std::string& title) {
    if (title.empty())
        return QString::asprintf("QXM300 Controller Host V%d.%d", VersionMajor, VersionMinor);
    return QString::asprintf("QXM300 Controller Host V%d.%d: \"", VersionMajor, VersionMinor) +
           Latin1(title) + QLatin1Char('"');
}

QString TMainForm::StartCaption() {
    return QString::asprintf("%s V%d.%d", "PMV Controller Host", VersionMajor, VersionMinor);
}

// ---- Window events ------------------------------------------------------------------

void TMainForm::FormShow() {
    setWindowTitle(StartCaption());
    SetStatusPanel(0, QStringLiteral("COM closed"));
    CmdsPageControl->setCurrentIndex(0);
}

void TMainForm::ExitClick() {
    LNKCOMPort->Close();
    close();
}

void TMainForm::SlotMouseDown(int index) {
    SelectedSlot = index;
}

void TMainForm::CentreOnScreen() {
    QScreen* s = screen();
    if (!s)
        s = QGuiApplication::primaryScreen();
    if (!s)
        return;
    const QRect avail = s->availableGeometry();
    QRect r = frameGeometry();
    r.moveCenter(avail.center());
    move(r.topLeft());
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return; // restored from the task bar: not a new show
    if (!FShown) {
        FShown = true;
        CentreOnScreen();
        // The wheel is taken at the window's entry point, so that it reaches
        // the window's handlers wherever the pointer is.
        if (QWindow* w = windowHandle()) {
            FWheelSource = w;
            w->installEventFilter(this);
        }
    }
    RunGuarded([this] { FormShow(); });
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // A close query that fails keeps the window open.
    bool canClose = false;
    RunGuarded([&] {
        bool query = true;
        FormCloseQuery(query);
        canClose = query;
    });
    if (canClose)
        event->accept();
    else
        event->ignore();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (FDestroying)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        const int index = SlotOf(watched);
        if (index >= 0) {
            RunGuarded([&] { SlotMouseDown(index); });
        } else if (event->type() == QEvent::MouseButtonDblClick) {
            if (watched == StatusBar)
                RunGuarded([this] { StatusBarDblClick(); });
            else if (Memo && watched == Memo->viewport())
                RunGuarded([this] { MemoDblClick(); });
        }
        break;
    }
    case QEvent::FocusOut: {
        const int index = SlotOf(watched);
        if (index >= 0 && watched == SlotCtrls[index].edit) {
            // Switching to another application or opening a menu is not
            // leaving the edit.
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                RunGuarded([&] { SlotEditExit(index); });
        }
        break;
    }
    case QEvent::KeyPress: {
        const int index = SlotOf(watched);
        if (index >= 0 && watched == SlotCtrls[index].edit)
            RunGuarded([&] { SlotEditKeyDown(index, static_cast<QKeyEvent*>(event)); });
        break;
    }
    case QEvent::ContextMenu: {
        // A disabled widget lets the request through to its group box, so
        // that the slot popup also opens over the widgets of an undefined slot.
        const int index = SlotOf(watched);
        auto* w = qobject_cast<QWidget*>(watched);
        if (index >= 0 && w && w != SlotCtrls[index].box && !w->isEnabled()) {
            CmdPopupMenu->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        }
        break;
    }
    case QEvent::Wheel:
        if (watched == FWheelSource) {
            const int dy = static_cast<QWheelEvent*>(event)->angleDelta().y();
            if (dy == 0)
                break;
            bool handled = false;
            RunGuarded([&] {
                if (dy > 0)
                    FormMouseWheelUp(handled);
                else
                    FormMouseWheelDown(handled);
            });
            return handled;
        }
        break;
    case QEvent::ToolTip:
        if (FNoHintButtons.contains(watched))
            return true;
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}
