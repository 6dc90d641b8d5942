// The end on a signal: the port closed through the component, unsaved
// changes kept in a recovery copy (config/Recovery.h), and the copies named
// in the log when the host starts again or loads their file.
#include "app/FormWidgets.h"
#include "app/Mainfrm.h"
#include "app/link/PortWatch.h"
#include "comport/Lnkcomport.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <cstring>

std::string TMainForm::EndBySignal(int signal) {
    std::string text = std::string("pmv-host: ended by SIG") + sigabbrev_np(signal);
    m_watch->Stop();
    if (LNKCOMPort->GetOpened()) {
        // The component's close: workers ended, the device's time-outs,
        // queues and event mask restored, its exclusive flag cleared.
        LNKCOMPort->Close();
        text += "; COM" + std::to_string(LNKCOMPort->Port()) + " closed";
    }
    if (IsConfigModified()) {
        const pmv::TRecoveryResult r = pmv::WriteRecoveryCopy(
            m_doc.FileName(), QFile::encodeName(QDir::currentPath()).toStdString(), Config());
        text += r.Ok ? "; unsaved changes kept in " + r.Path
                     : "; unsaved changes could not be kept: " + r.Message;
    }
    return text + "\n";
}

QStringList TMainForm::MentionRecoveryCopies(const QString& folder, const QString& configName) {
    QStringList lines;
    for (const std::string& name : pmv::FindRecoveryCopies(
             QFile::encodeName(folder).toStdString(), QFile::encodeName(configName).toStdString()))
        lines << QStringLiteral("Recovery copy \"%1\" holds changes not saved when the host was "
                                "ended by a signal (in %2)")
                     .arg(QFile::decodeName(name.c_str()), folder);
    for (const QString& line : lines)
        Memo->AppendLine(line);
    return lines;
}
