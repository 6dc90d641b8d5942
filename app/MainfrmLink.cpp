// The target link on the window: the port component, its settings dialog and
// the reply timer; the link that binds them to the request engine; the slot
// events, Get All and Set All, value entry and port control. The handlers only
// translate between widgets and the engine (app/link), which holds the
// protocol and the request state.
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "app/MainfrmLinkAdapters.h"
#include "app/SlotPanel.h"
#include "app/link/CompareRun.h"
#include "app/link/PortLink.h"
#include "app/link/PortWatch.h"
#include "app/link/WatchRun.h"
#include "comport/Lnkcomdlg.h"
#include "comport/Lnkcomport.h"

#include <QMenu>
#include <QTimer>

// The components come first among the window's children.
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
}

// The engine with the port, the timer and the window's widgets, and the
// per-slot handler family Cmd<N>...: the panel reports each event with the
// slot index.
void TMainForm::BuildLink() {
    m_linkView = std::make_unique<TFormLinkView>(TFormLinkView::TWidgets{
        Memo, StatusBar, Action("ShowTransmissions"), Action("ShowUnframedReceptions"),
        Action("ShowCommandDescription"), CmdsPageControl, this});
    m_watchLinkView = std::make_unique<pmv::TWatchView>(*m_linkView);
    m_runView = std::make_unique<pmv::TRunView>(*m_watchLinkView);
    m_link = std::make_unique<pmv::TPortLink>(
        m_doc.Table(), *LNKCOMPort, *RxTimer, *m_runView,
        [](const std::string& what) { pmv::ShowError(pmv::ExceptionText(what.c_str())); });

    // A port whose device vanishes is closed, shown as lost, and opened
    // again when the same device is back.
    m_watchView =
        std::make_unique<TFormWatchView>(Memo, StatusBar, [this] { return OpenPortStatusText(); });
    m_watch = std::make_unique<pmv::TPortWatch>(*LNKCOMPort, *m_watchView);

    // The operator's requests wait for a watch's request in flight, if any.
    pmv::TRequestEngine& engine = m_link->Engine();
    TSlotPanel* panel = CmdsPageControl;
    const auto request = [this](std::function<void()> f) {
        WhenLinkFree([f = std::move(f)] { pmv::RunGuarded(f); });
    };
    connect(panel, &TSlotPanel::GetClicked, this,
            [&engine, request](int i) { request([&engine, i] { engine.GetButtonClick(i); }); });
    connect(panel, &TSlotPanel::SetClicked, this,
            [&engine, request](int i) { request([&engine, i] { engine.SetButtonClick(i); }); });
    connect(panel, &TSlotPanel::EditExited, this,
            [&engine, request](int i) { request([&engine, i] { engine.CommitCmdValue(i); }); });
    connect(panel, &TSlotPanel::EditKeyPressed, this, [&engine, request](int i, int key) {
        if (const int vk = VirtualKeyOf(key))
            request([&engine, i, vk] { engine.CmdEditKey(i, vk); });
    });
    connect(panel, &TSlotPanel::SlotMenuRequested, CmdPopupMenu,
            [this](const QPoint& pos) { CmdPopupMenu->popup(pos); });
    connect(panel, &TSlotPanel::PageMenuRequested, TabNamingPopupMenu,
            [this](const QPoint& pos) { TabNamingPopupMenu->popup(pos); });
    BuildCompare();
    BuildWatch();
}

// ---- Value entry with the wheel, runs ---------------------------------------------

void TMainForm::FormMouseWheelUp(bool& Handled) {
    Handled = m_link->Engine().MouseWheelUp(CmdsPageControl->SelectedSlot());
}

void TMainForm::FormMouseWheelDown(bool& Handled) {
    Handled = m_link->Engine().MouseWheelDown(CmdsPageControl->SelectedSlot());
}

void TMainForm::GetAllParametersClick() {
    WhenLinkFree([this] { pmv::RunGuarded([this] { m_link->Engine().GetAllParameters(); }); });
}

void TMainForm::SetAllParametersClick() {
    WhenLinkFree([this] { pmv::RunGuarded([this] { SetAllWithSnapshot(); }); });
}

// ---- COM menu -----------------------------------------------------------------------

void TMainForm::COMSettingsClick() {
    const pmv::TSerialSettings before = PortSettings();
    LNKCOMDlg->SetPort1(LNKCOMPort->Port());
    LNKCOMDlg->SetBaudRate(LNKCOMPort->BaudRate());
    LNKCOMDlg->SetDataBits(LNKCOMPort->DataBits());
    LNKCOMDlg->SetParity(LNKCOMPort->Parity());
    LNKCOMDlg->SetStopBits(LNKCOMPort->StopBits());
    // Centred over the window's outer rectangle; each half rounds toward zero.
    const QRect outer = frameGeometry();
    const int x = outer.left() + outer.width() / 2 - LNKCOMPort->GetCOMDlgWidth() / 2;
    const int y = outer.top() + outer.height() / 2 - LNKCOMPort->GetCOMDlgHeight() / 2;
    LNKCOMDlg->Execute(x, y);
    // A cancelled dialog hands back what it was given. The status line keeps
    // the settings the port was opened with.
    LNKCOMPort->SetPort1(LNKCOMDlg->Port());
    LNKCOMPort->SetBaudRate(LNKCOMDlg->BaudRate());
    LNKCOMPort->SetDataBits(LNKCOMDlg->DataBits());
    LNKCOMPort->SetParity(LNKCOMDlg->Parity());
    LNKCOMPort->SetStopBits(LNKCOMDlg->StopBits());
    m_doc.SetSerial(PortSettings());
    // New settings are the operator's own choice: a lost device is no
    // longer waited for.
    if (PortSettings() != before && m_watch->Stop())
        StatusBar->SetPanel(0, QStringLiteral("COM closed"));
}

QString TMainForm::OpenPortStatusText() const {
    return QString::asprintf(
        "COM%d: %s %s %s %s", LNKCOMPort->Port(), LNKCOMPort->GetBaudRateStr().c_str(),
        LNKCOMPort->GetDataBitsStr().c_str(), LNKCOMPort->GetParityStr().c_str(),
        LNKCOMPort->GetStopBitsStr().c_str());
}

bool TMainForm::OpenPortOrSayWhy(const QString& failureLine) {
    const std::string reason = pmv::OpenComPort(*LNKCOMPort);
    if (LNKCOMPort->GetOpened())
        return true;
    Memo->AppendLine(failureLine);
    // The reason belongs to the failure line above it and carries no error
    // mark of its own: "COM7 (/dev/ttyUSB0): in use by minicom (pid 4242)".
    Memo->AppendLine(DeviceText(reason));
    return false;
}

void TMainForm::COMOpenClick() {
    m_watch->Stop(); // the operator's own open ends any wait for a lost device
    if (OpenPortOrSayWhy(QStringLiteral("Error: - Unable to open COM port")))
        StatusBar->SetPanel(0, OpenPortStatusText());
    else
        StatusBar->SetPanel(0, QStringLiteral("COM closed"));
}

// A request outstanding at this moment still ends with its time-out. A port
// closed because its device is gone is closed already: Close ends the wait
// for the device.
void TMainForm::COMCloseClick() {
    if (m_watch->Stop()) {
        StatusBar->SetPanel(0, QStringLiteral("COM closed"));
        return;
    }
    if (!LNKCOMPort->GetOpened())
        return;
    LNKCOMPort->Close();
    StatusBar->SetPanel(0, QStringLiteral("COM closed"));
}

// ---- Status bar and log -------------------------------------------------------------

void TMainForm::StatusBarDblClick() {
    m_link->Engine().ResetCounters();
}

void TMainForm::MemoDblClick() {
    Memo->Clear();
}
