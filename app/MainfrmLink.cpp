// The target link on the window: slot requests, Get All and Set All, value
// entry (edit exit, keys, mouse wheel) and port control. The handlers only
// translate between widgets and the request engine (app/link), which holds
// the protocol and the request state.
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "app/MainfrmLinkAdapters.h"
#include "comport/Lnkcomdlg.h"
#include "comport/Lnkcomport.h"
#include "dialogs/Dlgutils.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include <exception>

void TMainFormLinkDeleter::operator()(TMainFormLink* link) const {
    delete link;
}

void TMainForm::BuildLink() {
    FLink.reset(new TMainFormLink(*this));
}

pmv::TRequestEngine& TMainForm::LinkEngine() const {
    return FLink->Engine;
}

void TMainForm::SetSlotEditText(int index, const QString& text) {
    if (index < 0 || index >= pmv::SlotCount)
        return;
    QLineEdit* e = SlotCtrls[index].edit;
    if (e->text() == text)
        return;
    pmv::TEditLimit::SetText(e, text);
    e->setCursorPosition(0); // show the start of a long text
}

int TMainForm::SlotEditMaxLength(int index) const {
    if (index < 0 || index >= pmv::SlotCount)
        return 0;
    const QLineEdit* e = SlotCtrls[index].edit;
    if (const auto* limit = qobject_cast<const pmv::TEditLimit*>(e->validator()))
        return limit->MaxLength();
    return e->maxLength();
}

// ---- Port events --------------------------------------------------------------------

// Runs on the user-interface thread inside the receive thread's synchronized
// call, which waits for it: nothing may escape to the worker, and nothing
// here may wait for the operator (errors are shown once the call is over).
void TMainForm::LNKCOMPortRxChar(QORLNK::TLNKCOMRxThread* /*Sender*/, char ch) {
    QString error;
    try {
        FLink->Engine.RxChar(static_cast<std::uint8_t>(ch));
        return;
    } catch (const std::exception& e) {
        error = pmv::ExceptionText(e.what());
    } catch (...) {
    }
    QTimer::singleShot(0, this, [error] { pmv::ShowError(error); });
}

void TMainForm::RxTimerTimer() {
    FLink->Engine.RxTimerTimer();
}

// ---- Slots --------------------------------------------------------------------------

void TMainForm::SlotGetButtonClick(int index) {
    FLink->Engine.GetButtonClick(index);
}

void TMainForm::SlotSetButtonClick(int index) {
    FLink->Engine.SetButtonClick(index);
}

void TMainForm::SlotEditExit(int index) {
    FLink->Engine.CommitCmdValue(index);
}

// The key is not consumed: the edit handles it as well afterwards.
void TMainForm::SlotEditKeyDown(int index, QKeyEvent* event) {
    if (const int key = VirtualKeyOf(event->key()))
        FLink->Engine.CmdEditKey(index, key);
}

void TMainForm::FormMouseWheelUp(bool& Handled) {
    Handled = FLink->Engine.MouseWheelUp(SelectedSlot);
}

void TMainForm::FormMouseWheelDown(bool& Handled) {
    Handled = FLink->Engine.MouseWheelDown(SelectedSlot);
}

// ---- Commands menu ------------------------------------------------------------------

void TMainForm::GetAllParametersClick() {
    FLink->Engine.GetAllParameters();
}

void TMainForm::SetAllParametersClick() {
    FLink->Engine.SetAllParameters();
}

// ---- COM menu -----------------------------------------------------------------------

void TMainForm::COMSettingsClick() {
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
}

QString TMainForm::OpenPortStatusText() const {
    return QString::asprintf(
        "COM%d: %s %s %s %s", LNKCOMPort->Port(), LNKCOMPort->GetBaudRateStr().c_str(),
        LNKCOMPort->GetDataBitsStr().c_str(), LNKCOMPort->GetParityStr().c_str(),
        LNKCOMPort->GetStopBitsStr().c_str());
}

void TMainForm::COMOpenClick() {
    LNKCOMPort->Open();
    if (LNKCOMPort->GetOpened()) {
        SetStatusPanel(0, OpenPortStatusText());
    } else {
        SetStatusPanel(0, QStringLiteral("COM closed"));
        Log(QStringLiteral("Error: - Unable to open COM port"));
    }
}

// A request outstanding at this moment still ends with its time-out.
void TMainForm::COMCloseClick() {
    if (!LNKCOMPort->GetOpened())
        return;
    LNKCOMPort->Close();
    SetStatusPanel(0, QStringLiteral("COM closed"));
}

// ---- Status bar and log -------------------------------------------------------------

void TMainForm::StatusBarDblClick() {
    FLink->Engine.ResetCounters();
}

void TMainForm::MemoDblClick() {
    Memo->clear();
}
