#include "app/Mainfrm.h"

#include "app/CompareForm.h"
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/Icons.h"
#include "app/MainfrmLinkAdapters.h"
#include "app/RepaintPacer.h"
#include "app/SlotPanel.h"
#include "app/TrafficForm.h"
#include "app/link/CompareRun.h"
#include "app/link/PortLink.h"
#include "app/link/PortWatch.h"
#include "comport/Lnkcomport.h"
#include "dialogs/Dlgutils.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QKeySequence>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QShowEvent>
#include <QWheelEvent>
#include <QWindow>

#include <optional>
#include <utility>

using namespace pmv;

namespace {

// Layout of the client area (below the menu bar), in pixels.
constexpr int kClientWidth = 501;
constexpr int kClientHeight = 483;
const QRect kToolBarRect(0, 0, 501, 25);
const QRect kPageControlRect(0, 32, 497, 310);
const QRect kMemoRect(0, 340, 497, 125);
constexpr int kStatusBarHeight = 19;

// One menu item; an item without a caption is a separator.
struct TItemDef {
    const char* name;
    const char* caption;
    const char* hint;
    void (TMainForm::*handler)();
    std::optional<TIcon> icon;
};

} // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(MakeIcon(TIcon::Application));
    // The small font the layout is drawn for (8 points, 11 pixels), set
    // before the children exist so that nothing has to be re-propagated.
    setFont(pmv::DialogFont());

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);

    BuildComponents();
    BuildMenus();
    (new TMainToolBar(*this, client))->setGeometry(kToolBarRect);
    CmdsPageControl = new TSlotPanel(client);
    CmdsPageControl->setGeometry(kPageControlRect);
    Memo = new TLogView(client);
    Memo->setGeometry(kMemoRect);
    // Created last so that it lies over the log's bottom pixel row.
    StatusBar = new TStatusLine(client);
    StatusBar->setGeometry(0, kClientHeight - kStatusBarHeight, kClientWidth, kStatusBarHeight);
    connect(Memo, &TLogView::DoubleClicked, this,
            [this] { RunGuarded([this] { MemoDblClick(); }); });
    connect(StatusBar, &TStatusLine::DoubleClicked, this,
            [this] { RunGuarded([this] { StatusBarDblClick(); }); });
    BuildLink();
    BuildLog();
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    m_pacer = new TRepaintPacer(this);

    // Start state of the command set and its snapshot, with the port's
    // settings; every slot cleared and shown, "&Paste" disabled.
    m_doc = TCommandSet(PortSettings());
    TSetChange all = TSetChange::All();
    all.clipboard = true;
    ShowChange(all);
}

TMainForm::~TMainForm() {
    m_destroying = true;
    // The comparison window shows the command set, which goes with the window's members.
    delete m_compareForm;
    delete m_trafficForm; // stops its recording first
    if (m_wheelSource)
        m_wheelSource->removeEventFilter(this);
    // The widgets outlive the link: nothing they report may reach it now.
    for (QObject* w : {static_cast<QObject*>(CmdsPageControl), static_cast<QObject*>(StatusBar)})
        w->disconnect(this);
}

// ---- Construction -----------------------------------------------------------------

void TMainForm::BuildMenus() {
    auto addItems = [this](QMenu* menu, std::initializer_list<TItemDef> items) {
        for (const TItemDef& d : items) {
            if (!d.caption) {
                menu->addSeparator()->setObjectName(QString::fromLatin1(d.name));
                continue;
            }
            // Captions are source text (UTF-8: "Compare with File…").
            auto* a = new QAction(QString::fromUtf8(d.caption), this);
            a->setObjectName(QString::fromLatin1(d.name));
            if (*d.hint) {
                a->setStatusTip(QString::fromLatin1(d.hint));
                a->setToolTip(QString::fromLatin1(d.hint));
            }
            if (d.icon)
                a->setIcon(MakeIcon(*d.icon));
            if (d.handler)
                connect(a, &QAction::triggered, this,
                        [this, h = d.handler] { RunGuarded([&] { (this->*h)(); }); });
            menu->addAction(a);
        }
    };
    auto addMenu = [this](const char* caption, const char* name) {
        QMenu* menu = menuBar()->addMenu(QString::fromLatin1(caption));
        menu->setObjectName(QString::fromLatin1(name));
        return menu;
    };
    using F = TMainForm;

    menuBar()->setObjectName(QStringLiteral("MainMenu"));
    addItems(addMenu("&File", "FileMenu"),
             {
                 {"LogIn", "&Log In", "", &F::LogInClick, TIcon::LogIn},
                 {"N3", nullptr, nullptr, nullptr, {}},
                 {"LoadConfig", "&Load Config", "Load Configuration", &F::LoadConfigClick,
                  TIcon::LoadConfig},
                 {"SaveConfig", "&Save Config", "Save Configuration", &F::SaveConfigClick,
                  TIcon::SaveConfig},
                 {"EditTitle", "Edit Title", "", &F::EditTitleClick, TIcon::EditTitle},
                 {"N4", nullptr, nullptr, nullptr, {}},
                 {"Exit", "E&xit", "", &F::ExitClick, TIcon::Exit},
             });
    addItems(
        addMenu("&COM", "COMMenu"),
        {
            {"COMSettings", "&Settings", "COM Settings", &F::COMSettingsClick, TIcon::COMSettings},
            {"COMOpen", "&Open", "Open COM Port", &F::COMOpenClick, TIcon::COMOpen},
            {"COMClose", "&Close", "Close COM Port", &F::COMCloseClick, TIcon::COMClose},
            // Added after the specified items.
            {"NTraffic", nullptr, nullptr, nullptr, {}},
            {"Traffic", "&Traffic\u2026", "Show the bytes sent and received", &F::TrafficClick, {}},
        });
    addItems(
        addMenu("&Commands", "CommandsMenu"),
        {
            {"DeleteAllCommands", "&Delete All Commands", "", &F::DeleteAllCommandsClick,
             TIcon::DeleteAllCommands},
            {"N2", nullptr, nullptr, nullptr, {}},
            {"SetAllParameterDefaults", "&Set All Parameter Defaults", "Set all Parameter Defaults",
             &F::SetAllParameterDefaultsClick, TIcon::SetAllParameterDefaults},
            {"StoreAllParameterDefaults", "&Store All Parameter Defaults",
             "Store all Parameter Defaults", &F::StoreAllParameterDefaultsClick,
             TIcon::StoreAllParameterDefaults},
            {"GetAllParameters", "&Get All Target Parameters",
             "Get all Parameters Values from Target", &F::GetAllParametersClick,
             TIcon::GetAllParameters},
            {"SetAllParameters", "&Set All Target Parameters", "Set all Target Parameter Values",
             &F::SetAllParametersClick, TIcon::SetAllParameters},
            // Added after the specified items.
            {"N5", nullptr, nullptr, nullptr, {}},
            {"CompareWithTarget",
             "Compare with Target",
             "Compare the parameters with the target's values",
             &F::CompareWithTargetClick,
             {}},
            {"CompareWithFile",
             "Compare with File\u2026",
             "Compare the parameters with another configuration file",
             &F::CompareWithFileClick,
             {}},
        });
    // No handlers: the items toggle their own check marks, which the link
    // reads when they matter.
    OptionsMenu = addMenu("&Options", "OptionsMenu");
    addItems(OptionsMenu,
             {
                 {"ShowTransmissions", "&Show Transmissions", "", nullptr, {}},
                 {"ShowUnframedReceptions", "Show &Unframed Receptions", "", nullptr, {}},
                 {"ShowCommandDescription", "Show Command Description", "", nullptr, {}},
                 // Added after the specified items.
                 {"TimeStamps", "Time Stamps", "", nullptr, {}},
             });
    for (QAction* a : OptionsMenu->actions())
        a->setCheckable(true);
    Action("ShowCommandDescription")->setChecked(true);
    addItems(addMenu("&Help", "HelpMenu"), {{"About", "&About", "", &F::AboutClick, TIcon::About}});

    // The platform's standard keys for open, save, quit and help (Ctrl+O,
    // Ctrl+S, Ctrl+Q and F1 on Linux), beside the captions' mnemonics, which
    // are Alt+letter and stay as they are. The about box is the program's
    // only help.
    const std::pair<const char*, QKeySequence::StandardKey> shortcuts[] = {
        {"LoadConfig", QKeySequence::Open},
        {"SaveConfig", QKeySequence::Save},
        {"Exit", QKeySequence::Quit},
        {"About", QKeySequence::HelpContents},
    };
    for (const auto& [name, key] : shortcuts)
        Action(name)->setShortcuts(key);

    CmdPopupMenu = new QMenu(this);
    CmdPopupMenu->setObjectName(QStringLiteral("CmdPopupMenu"));
    addItems(CmdPopupMenu, {
                               {"Edit", "&Edit", "", &F::EditClick, {}},
                               {"Copy", "&Copy", "", &F::CopyClick, {}},
                               {"Cut", "&Cut", "", &F::CutClick, {}},
                               {"Paste1", "&Paste", "", &F::Paste1Click, {}},
                               {"Delete", "Del&ete", "", &F::DeleteClick, {}},
                               {"Colour", "C&olour", "", &F::ColourClick, {}},
                               {"Disable1", "Di&sable/Enable", "", &F::Disable1Click, {}},
                               {"N1", nullptr, nullptr, nullptr, {}},
                               {"Default", "&Set Parameter Default", "", &F::DefaultClick, {}},
                               {"StoreParameterDefault1",
                                "&Store Parameter Default",
                                "",
                                &F::StoreParameterDefault1Click,
                                {}},
                           });
    Paste1 = Action("Paste1");

    TabNamingPopupMenu = new QMenu(this);
    TabNamingPopupMenu->setObjectName(QStringLiteral("TabNamingPopupMenu"));
    addItems(TabNamingPopupMenu, {{"Rename", "&Rename", "", &F::RenameClick, {}}});
}

// ---- The command set ----------------------------------------------------------------

QAction* TMainForm::Action(const char* name) const {
    auto* a = findChild<QAction*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
    Q_ASSERT(a);
    return a;
}

void TMainForm::SetSlot(int index, const TCmdRecord& record) {
    ShowChange(m_doc.SetRecord(index, record));
}

QString TMainForm::FileName() const {
    const std::string& path = m_doc.FileName();
    return QFile::decodeName(QByteArray(path.data(), qsizetype(path.size())));
}

void TMainForm::ShowSlot(int index) {
    CmdsPageControl->ShowSlot(index, m_doc.Record(index));
}

void TMainForm::ShowChange(const TSetChange& change) {
    for (int i = 0; i < kSlotCount; ++i) {
        if (change.cleared[i])
            CmdsPageControl->ClearSlot(i);
    }
    if (change.captions) {
        for (int p = 0; p < kPageCount; ++p)
            CmdsPageControl->SetPageCaption(p, m_doc.PageCaptions()[p]);
    }
    for (int i = 0; i < kSlotCount; ++i) {
        if (change.shown[i]) {
            ShowSlot(i);
        } else if (change.colour[i] && !m_doc.Record(i).has(pmv::Disabled)) {
            // A disabled slot keeps its grey caption; the colour shows once
            // it is enabled again.
            CmdsPageControl->SetCaptionColour(
                i, SlotColourToQColor(m_doc.Record(i).colour, QApplication::palette()));
        }
    }
    if (change.clipboard)
        Paste1->setEnabled(m_doc.CanPaste());
    if (change.records.any())
        ComparedSlotsChanged(change.records);
}

TSerialSettings TMainForm::PortSettings() const {
    return {LNKCOMPort->Port(), LNKCOMPort->BaudRate(), LNKCOMPort->DataBits(),
            LNKCOMPort->Parity(), LNKCOMPort->StopBits()};
}

// ---- Helpers ------------------------------------------------------------------------

QString TMainForm::TitleCaption(const std::string& title) {
    if (title.empty())
        return QString::asprintf("QXM300 Controller Host V%d.%d", kVersionMajor, kVersionMinor);
    return QString::asprintf("QXM300 Controller Host V%d.%d: \"", kVersionMajor, kVersionMinor) +
           FromLatin1(title) + QLatin1Char('"');
}

QString TMainForm::StartCaption() {
    return QString::asprintf("%s V%d.%d", "PMV Controller Host", kVersionMajor, kVersionMinor);
}

// ---- Window events ------------------------------------------------------------------

void TMainForm::FormShow() {
    setWindowTitle(StartCaption());
    StatusBar->SetPanel(0, QStringLiteral("COM closed"));
    CmdsPageControl->setCurrentIndex(0);
}

void TMainForm::ExitClick() {
    m_watch->Stop();
    LNKCOMPort->Close();
    close();
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
    if (!m_shown) {
        m_shown = true;
        CentreOnScreen();
        // The wheel is taken at the window's entry point, so that it reaches
        // the window's handlers wherever the pointer is.
        if (QWindow* w = windowHandle()) {
            m_wheelSource = w;
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

// The wheel anywhere over the window.
bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (m_destroying)
        return false;
    if (event->type() == QEvent::Wheel && watched == m_wheelSource) {
        if (const int dy = static_cast<QWheelEvent*>(event)->angleDelta().y()) {
            bool handled = false;
            RunGuarded([&] {
                if (dy > 0)
                    FormMouseWheelUp(handled);
                else
                    FormMouseWheelDown(handled);
            });
            return handled;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
