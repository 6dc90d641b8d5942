// COM > "Port Map…": the port map window, one per main window, not modal.
// What it changes is the device map file, which the settings dialog's
// presence marks and the next open read anew; the window needs nothing else
// of the main window but its question box.
#include "app/Mainfrm.h"
#include "app/PortMapForm.h"

#include <QMessageBox>

void TMainForm::PortMapClick() {
    if (!m_portMapForm) {
        m_portMapForm = new TPortMapForm(
            [this](const QString& question) {
                return m_dialogs.AskWarning(m_portMapForm, question,
                                            QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
            },
            this);
        m_portMapForm->setFont(font());
    } else {
        m_portMapForm->Refresh();
    }
    m_portMapForm->show();
    m_portMapForm->raise();
    m_portMapForm->activateWindow();
}
