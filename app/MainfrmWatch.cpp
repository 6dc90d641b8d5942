// The watch window: chosen readings polled through the window's own request
// engine (pmv::TWatchRun, app/link/), shown in the watch window's table and
// recorded to a CSV file (pmv::TWatchCsv). This file only moves between
// them, the log and the window.
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "app/WatchForm.h"
#include "app/link/PortLink.h"
#include "app/link/WatchCsv.h"
#include "app/link/WatchRun.h"

#include <QFile>

using namespace pmv;

namespace {

QString Latin1(const std::string& text) {
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// "5  SPD  Speed setpoint" for the list, "SPD  Speed setpoint" for the table.
TWatchForm::TChoice ChoiceOf(const TCmdRecord& rec, int slot, bool numbered = true) {
    QString text = Latin1(rec.cmd_str);
    if (numbered)
        text = QStringLiteral("%1  %2").arg(slot + 1).arg(text);
    if (!rec.cmd_descr.empty())
        text += QStringLiteral("  ") + Latin1(rec.cmd_descr);
    return {slot, text};
}

} // namespace

void TMainForm::BuildWatch() {
    m_watchRun = std::make_unique<TWatchRun>(m_doc.Table(), m_link->Engine(), *m_watchLinkView);
    m_watchCsv = std::make_unique<TWatchCsv>();
    // The watch's replies belong to its window and its file, not to the log.
    m_watchLinkView->SetQuiet(true);
    m_watchRun->AddListener([this](const TWatchSample& s) {
        if (m_watchCsv->Recording() && !m_watchCsv->Write(s))
            WatchRecordingFailed();
        if (m_watchForm)
            m_watchForm->ShowSample(s);
    });
    m_watchRun->onStopped = [this](const std::string& why) {
        if (!m_watchForm)
            return;
        RefreshWatchChoices();
        m_watchForm->SetRunning(false);
        m_watchForm->SetStatus(why.empty() ? QStringLiteral("Stopped.")
                                           : QStringLiteral("Stopped: %1").arg(Latin1(why)));
    };
}

void TMainForm::WhenLinkFree(std::function<void()> request) {
    m_watchRun->WhenFree(std::move(request));
}

TWatchForm* TMainForm::ShowWatchWindow() {
    if (!m_watchForm) {
        m_watchForm = new TWatchForm(this);
        m_watchForm->setFont(font());
        connect(m_watchForm, &TWatchForm::StartClicked, this,
                [this] { RunGuarded([this] { WatchStartClick(); }); });
        connect(m_watchForm, &TWatchForm::StopClicked, this,
                [this] { RunGuarded([this] { m_watchRun->Stop(); }); });
        connect(m_watchForm, &TWatchForm::RecordClicked, this,
                [this] { RunGuarded([this] { WatchRecordClick(); }); });
        // Closing the window ends the watch after its request in flight,
        // and the recording with it.
        connect(m_watchForm, &TWatchForm::Closed, this, [this] {
            m_watchRun->Stop();
            m_watchCsv->Close();
            m_watchForm->SetRecording({});
        });
    }
    RefreshWatchChoices();
    return m_watchForm;
}

// The slots offered follow the command set while no watch runs.
void TMainForm::RefreshWatchChoices() {
    if (!m_watchForm || m_watchRun->Running())
        return;
    std::vector<TWatchForm::TChoice> choices;
    for (int slot : WatchableSlots(m_doc.Table()))
        choices.push_back(ChoiceOf(m_doc.Record(slot), slot));
    m_watchForm->SetChoices(choices);
}

void TMainForm::WatchClick() {
    TWatchForm* form = ShowWatchWindow();
    form->show();
    form->raise();
    form->activateWindow();
}

void TMainForm::WatchStartClick() {
    const std::vector<int> chosen = m_watchForm->CheckedSlots();
    const std::string why = m_watchRun->Start(chosen, m_watchForm->PeriodMs());
    if (!why.empty()) {
        m_watchForm->SetStatus(Latin1(why));
        return;
    }
    std::vector<TWatchForm::TChoice> watched;
    for (int slot : chosen)
        watched.push_back(ChoiceOf(m_doc.Record(slot), slot, false));
    m_watchForm->SetWatched(watched);
    m_watchForm->SetRunning(true);
    m_watchForm->SetStatus(QStringLiteral("Watching %1 slot(s) every %2 ms.")
                               .arg(chosen.size())
                               .arg(m_watchForm->PeriodMs()));
}

void TMainForm::WatchRecordClick() {
    if (m_watchCsv->Recording()) {
        m_watchCsv->Close();
        m_watchForm->SetRecording({});
        return;
    }
    const QString path = m_watchForm->AskRecordFile();
    if (path.isEmpty())
        return;
    if (!m_watchCsv->Open(QFile::encodeName(path).toStdString())) {
        m_watchForm->SetStatus(QString::fromLocal8Bit(m_watchCsv->Error()));
        return;
    }
    m_watchForm->SetRecording(path);
}

void TMainForm::WatchRecordingFailed() {
    const QString why = QString::fromLocal8Bit(m_watchCsv->Error());
    Memo->AppendLine(QStringLiteral("ERROR: - watch recording stopped: ") + why);
    if (m_watchForm) {
        m_watchForm->SetRecording({});
        m_watchForm->SetStatus(QStringLiteral("Recording stopped: ") + why);
    }
}

void TMainForm::ForgetWatch() {
    m_watchRun->Stop();
    RefreshWatchChoices();
}

pmv::TWatchRun& TMainForm::Watch() {
    return *m_watchRun;
}
