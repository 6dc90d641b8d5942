// The comparison of the command set with the target or another file, its
// window, "Send Selected" and "Take Values", and the snapshot of the target
// taken before every write.
//
// The rows and their statuses are pmv::TSetComparison (config/), the requests
// pmv::TCompareRun (app/link/) on the window's own request engine, the
// snapshot files config/Snapshot.h. This file only moves between them, the
// log and the comparison window.
#include "app/CompareForm.h"
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "app/MainfrmLinkAdapters.h"
#include "app/link/CompareRun.h"
#include "app/link/PortLink.h"
#include "app/link/WatchRun.h"
#include "comport/Lnkcomport.h"
#include "config/Snapshot.h"
#include "dialogs/Dlgutils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <utility>

using namespace pmv;

namespace {

QString PathText(const std::string& bytes) {
    return QFile::decodeName(QByteArray(bytes.data(), qsizetype(bytes.size())));
}

QString FileText(const std::string& path) {
    return PathText(ConfigFileBaseName(path));
}

} // namespace

void TMainForm::BuildCompare() {
    m_run = std::make_unique<TCompareRun>(m_doc.Table(), m_link->Engine(), *m_runView);
    m_run->onRow = [this](int row) {
        if (m_compareForm && m_runPurpose != TRunPurpose::SetAllSnapshot)
            m_compareForm->RowChanged(row);
    };
    m_run->onFinished = [this] { CompareRunFinished(); };
}

TCompareForm* TMainForm::ShowCompareWindow() {
    if (!m_compareForm) {
        m_compareForm = new TCompareForm(m_doc, this);
        m_compareForm->setFont(font());
        connect(m_compareForm, &TCompareForm::SendSelectedClicked, this,
                [this] { RunGuarded([this] { SendSelectedClick(); }); });
        connect(m_compareForm, &TCompareForm::TakeValuesClicked, this,
                [this] { RunGuarded([this] { TakeValuesClick(); }); });
        // Closing the window ends what it started after the request in flight.
        connect(m_compareForm, &TCompareForm::Closed, this, [this] {
            if (m_runPurpose != TRunPurpose::SetAllSnapshot)
                m_run->Stop();
        });
    }
    return m_compareForm;
}

// ---- Compare with Target and with a file ----------------------------------------------

void TMainForm::CompareWithTargetClick() {
    if (m_watchRun->Holds()) { // after the watch's request in flight
        WhenLinkFree([this] { RunGuarded([this] { CompareWithTargetClick(); }); });
        return;
    }
    if (m_run->Running()) {
        Memo->AppendLine(QStringLiteral("COM is busy"));
        return;
    }
    m_comparison = TSetComparison(m_doc.Table());
    m_comparisonWithTarget = true;
    const QString file = m_doc.FileName().empty()
                             ? QStringLiteral("The command set")
                             : QStringLiteral("\"%1\"").arg(FileText(m_doc.FileName()));
    TCompareForm* form = ShowCompareWindow();
    form->Show(
        &m_comparison,
        QStringLiteral("%1 compared with the target on COM%2").arg(file).arg(LNKCOMPort->Port()),
        QStringLiteral("Target"), true);
    if (m_comparison.Rows().empty()) {
        form->SetStatus(QStringLiteral("No parameter is marked for Get All."));
        return;
    }
    m_runPurpose = TRunPurpose::Compare;
    form->SetRunning(true);
    form->SetStatus(QStringLiteral("Reading %1 parameters from the target\u2026")
                        .arg(m_comparison.Rows().size()));
    if (!m_run->Read(m_comparison)) {
        form->SetRunning(false);
        form->SetStatus(FromLatin1(m_run->Error()));
        if (m_run->Error() == "COM is busy")
            Memo->AppendLine(QStringLiteral("COM is busy"));
    }
}

void TMainForm::CompareWithFileClick() {
    // Snapshots first: the folder beside the configuration file holds them.
    QString folder = QStringLiteral(".");
    if (!m_doc.FileName().empty()) {
        const QString snapshots = PathText(SnapshotFolder(m_doc.FileName()));
        folder = QDir(snapshots).exists() ? snapshots : QFileInfo(FileName()).absolutePath();
    }
    const QString path = m_dialogs.AskOpenCompareFile(this, folder);
    if (path.isEmpty())
        return;
    if (m_run->Running()) {
        Memo->AppendLine(QStringLiteral("COM is busy"));
        return;
    }
    const TConfigLoadResult r = LoadConfigFile(QFile::encodeName(path).toStdString());
    switch (r.Status) {
    case TConfigLoadStatus::CannotOpen:
        ShowError(PathText(r.Message));
        return;
    case TConfigLoadStatus::Invalid:
        Memo->AppendLine(FromLatin1(r.Message));
        return;
    case TConfigLoadStatus::Ok:
        break;
    }
    m_comparison = TSetComparison(m_doc.Table(), r.Set.CmdTable);
    m_comparisonWithTarget = false;
    const QString file = m_doc.FileName().empty()
                             ? QStringLiteral("The command set")
                             : QStringLiteral("\"%1\"").arg(FileText(m_doc.FileName()));
    ShowCompareWindow()->Show(
        &m_comparison,
        QStringLiteral("%1 compared with \"%2\"").arg(file, QFileInfo(path).fileName()),
        QStringLiteral("Other file"), false);
}

void TMainForm::ForgetComparison() {
    m_run->Forget();
    m_comparison = TSetComparison();
    m_snapshotRead = TSetComparison();
    if (m_compareForm)
        m_compareForm->Clear(QStringLiteral("Another configuration was loaded: compare again."));
}

void TMainForm::ComparedSlotsChanged(const TSlotSet& records) {
    if (!m_compareForm)
        return;
    for (int r = 0; r < int(m_comparison.Rows().size()); ++r) {
        const int slot = m_comparison.Rows()[std::size_t(r)].slot;
        if (records[std::size_t(slot)]) {
            m_comparison.SetFileValue(r, m_doc.Record(slot).val_start);
            m_compareForm->RowChanged(r);
        }
    }
}

// ---- Send Selected and Take Values ----------------------------------------------------

void TMainForm::SendSelectedClick() {
    if (!m_compareForm || !m_comparisonWithTarget)
        return;
    if (m_watchRun->Holds()) { // after the watch's request in flight
        WhenLinkFree([this] { RunGuarded([this] { SendSelectedClick(); }); });
        return;
    }
    if (m_run->Running()) {
        m_compareForm->SetStatus(QStringLiteral("COM is busy"));
        return;
    }
    // What is sent is the set as it is now, edits since the comparison included.
    for (int r = 0; r < int(m_comparison.Rows().size()); ++r)
        m_comparison.SetFileValue(r,
                                  m_doc.Record(m_comparison.Rows()[std::size_t(r)].slot).val_start);
    const std::vector<int> rows = m_comparison.TickedRows();
    if (rows.empty()) {
        m_compareForm->SetStatus(QStringLiteral("No row is ticked."));
        return;
    }
    m_runPurpose = TRunPurpose::Send;
    m_sendNote.clear();
    m_compareForm->SetRunning(true);
    m_compareForm->SetStatus(QStringLiteral("Sending %1 values\u2026").arg(rows.size()));
    const bool started = m_run->Send(m_comparison, rows, [this] {
        // The comparison has just read the target: its values are the snapshot.
        if (m_doc.FileName().empty()) {
            m_sendNote = QStringLiteral("No snapshot: the command set has no file.");
            return true;
        }
        return WriteTargetSnapshot(m_comparison);
    });
    if (!started) {
        m_compareForm->SetRunning(false);
        m_compareForm->Refresh();
        m_compareForm->SetStatus(FromLatin1(m_run->Error()));
        if (m_run->Error() == "COM is busy")
            Memo->AppendLine(QStringLiteral("COM is busy"));
    }
}

void TMainForm::TakeValuesClick() {
    if (!m_compareForm || m_run->Running())
        return;
    std::vector<std::pair<int, std::string>> values;
    for (int r : m_comparison.TickedRows()) {
        const TCompareRow& row = m_comparison.Rows()[static_cast<std::size_t>(r)];
        if (row.other && row.status != TCompareStatus::TimedOut)
            values.emplace_back(row.slot, *row.other);
    }
    std::vector<int> skipped;
    ShowChange(m_doc.TakeValues(values, &skipped)); // the rows follow
    const int taken = int(values.size() - skipped.size());
    m_compareForm->Refresh();
    const int notTaken = int(m_comparison.TickedRows().size()) - taken;
    m_compareForm->SetStatus(
        QStringLiteral("%1 values taken into the slots (save to keep them)").arg(taken) +
        (notTaken ? QStringLiteral("; %1 without a number to take.").arg(notTaken)
                  : QStringLiteral(".")));
}

// ---- Snapshots --------------------------------------------------------------------------

void TMainForm::SetAllWithSnapshot() {
    TRequestEngine& engine = m_link->Engine();
    // Refusals, and a set the window alone holds, are Set All as it always was.
    if (m_doc.FileName().empty() || !LNKCOMPort->GetOpened() || engine.ComBusy()) {
        engine.SetAllParameters();
        return;
    }
    if (m_run->Running()) {
        Memo->AppendLine(QStringLiteral("COM is busy"));
        return;
    }
    const TCmdTable& table = m_doc.Table();
    const bool sends = std::any_of(table.begin(), table.end(), IsSetAllSlot);
    m_snapshotRead = TSetComparison(table);
    if (!sends || m_snapshotRead.Rows().empty()) {
        engine.SetAllParameters(); // nothing to overwrite, or nothing to keep
        return;
    }
    m_runPurpose = TRunPurpose::SetAllSnapshot;
    m_run->Read(m_snapshotRead); // not busy: it starts, and its end writes the snapshot
}

bool TMainForm::WriteTargetSnapshot(const TSetComparison& read) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const TSnapshotSet snap = MakeSnapshotSet(m_doc.Config(), read);
    const TSnapshotWrite w =
        WriteSnapshot(SnapshotFolder(m_doc.FileName()), SnapshotFileName(local, LNKCOMPort->Port()),
                      snap.set, m_doc.Encoding());
    if (!w.ok) {
        Memo->AppendLine(QStringLiteral("ERROR: - snapshot not written (%1): nothing sent")
                             .arg(PathText(w.message)));
        m_sendNote = QStringLiteral("Snapshot not written: nothing sent.");
        return false;
    }
    QString line = QStringLiteral("Snapshot of the target written to \"%1\"").arg(PathText(w.path));
    if (!snap.leftOut.empty())
        line += snap.leftOut.size() == 1
                    ? QStringLiteral(" (1 value left out)")
                    : QStringLiteral(" (%1 values left out)").arg(snap.leftOut.size());
    Memo->AppendLine(line);
    for (const std::string& warning : w.warnings)
        Memo->AppendLine(FromLatin1(warning));
    m_sendNote = QStringLiteral("Snapshot written to %1.").arg(PathText(w.path));
    return true;
}

void TMainForm::CompareRunFinished() {
    const QString error = FromLatin1(m_run->Error());
    if (m_runPurpose == TRunPurpose::SetAllSnapshot) {
        if (!error.isEmpty())
            Memo->AppendLine(QStringLiteral("ERROR: - snapshot not complete: nothing sent"));
        else if (WriteTargetSnapshot(m_snapshotRead))
            m_link->Engine().SetAllParameters();
        return;
    }
    if (!m_compareForm)
        return;
    m_compareForm->SetRunning(false);
    // Rows just sent stay in view with their results, whatever the filter.
    m_compareForm->Refresh(m_runPurpose != TRunPurpose::Send);
    QString status;
    if (m_runPurpose == TRunPurpose::Send) {
        status =
            QStringLiteral("%1 Sets and %2 Gets sent. ").arg(m_run->Sets()).arg(m_run->Gets()) +
            m_sendNote;
    } else {
        status = QStringLiteral("%1 parameters read.").arg(m_run->Gets());
    }
    if (m_run->Unmatched() > 0)
        status += QStringLiteral(" %1 replies answered no request.").arg(m_run->Unmatched());
    if (!error.isEmpty())
        status += QStringLiteral(" Stopped: ") + error;
    m_compareForm->SetStatus(status.trimmed());
}
