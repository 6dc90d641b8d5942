// The log's time stamps and "Save Log As…", and the traffic window: what the
// window adds to its log and to the COM menu after the designed items.
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "app/TrafficForm.h"
#include "app/link/PortLink.h"

#include <QAction>

void TMainForm::BuildLog() {
    // Read by the log for each line from the moment it is checked.
    connect(Action("TimeStamps"), &QAction::toggled, Memo, &TLogView::SetTimeStamps);
    connect(Memo->SaveLogAsItem(), &QAction::triggered, this,
            [this] { pmv::RunGuarded([this] { SaveLogAsClick(); }); });
}

// The whole log as it stands, the lines still waiting for their batch
// included, as UTF-8 text.
void TMainForm::SaveLogAsClick() {
    const QString path = m_dialogs.AskSaveTextFile(this, QStringLiteral("Save Log As"));
    if (path.isEmpty())
        return;
    Memo->Flush();
    QString text = Memo->toPlainText();
    if (!text.isEmpty())
        text += QLatin1Char('\n');
    const QString failure = WriteTextFile(path, text);
    if (!failure.isEmpty())
        pmv::ShowError(failure);
}

void TMainForm::TrafficClick() {
    if (!m_trafficForm) {
        m_trafficForm = new TTrafficForm(
            this, [this](pmv::TTrafficLog* log) { m_link->SetTraffic(log); },
            [this] {
                return m_dialogs.AskSaveTextFile(m_trafficForm, QStringLiteral("Save Traffic"));
            });
    }
    m_trafficForm->show();
    m_trafficForm->raise();
    m_trafficForm->activateWindow();
}
