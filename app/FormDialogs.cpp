#include "app/FormDialogs.h"

#include "config/ConfigFile.h"

#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

namespace {

const QString kConfigFileFilter = QStringLiteral("INI Files (*.ini)");
const QString kConfigStartFolder = QStringLiteral(".");

// Qt's own dialog, also on a desktop whose file dialog keeps a history of its
// own. It starts in kConfigStartFolder, the working folder, every time; the
// application keeps Qt's dialog history nowhere (THostApplication).
void Prepare(QFileDialog& dlg) {
    dlg.setOption(QFileDialog::DontUseNativeDialog);
}

QString ChosenFile(QFileDialog& dlg) {
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().constFirst();
}

} // namespace

int TMainFormDialogs::AskWarning(QWidget* parent, const QString& text, int buttons) const {
    if (Warning)
        return Warning(text, buttons);
    const QMessageBox::StandardButtons shown(buttons);
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), text, shown, parent);
    // Yes/No/Cancel and OK/Cancel: the first button is the default one, and
    // Escape or the close box gives Cancel.
    box.setDefaultButton(shown.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec();
}

QString TMainFormDialogs::AskOpenConfigFile(QWidget* parent) const {
    if (OpenConfigFile)
        return OpenConfigFile();
    QFileDialog dlg(parent, QString(), kConfigStartFolder, kConfigFileFilter);
    Prepare(dlg);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    return ChosenFile(dlg);
}

QString TMainFormDialogs::AskSaveConfigFile(QWidget* parent, const QString& fileName) const {
    if (SaveConfigFile)
        return SaveConfigFile(fileName);
    QFileDialog dlg(parent, QString(), kConfigStartFolder, kConfigFileFilter);
    Prepare(dlg);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix(QStringLiteral("ini"));
    dlg.setOption(QFileDialog::DontConfirmOverwrite);
    if (!fileName.isEmpty())
        dlg.selectFile(fileName);
    return ChosenFile(dlg);
}

QString TMainFormDialogs::AskOpenCompareFile(QWidget* parent, const QString& folder) const {
    if (OpenCompareFile)
        return OpenCompareFile(folder);
    QFileDialog dlg(parent, QStringLiteral("Compare with File"), folder, kConfigFileFilter);
    Prepare(dlg);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    return ChosenFile(dlg);
}

QString TMainFormDialogs::AskSaveTextFile(QWidget* parent, const QString& caption) const {
    if (SaveTextFile)
        return SaveTextFile(caption);
    QFileDialog dlg(parent, caption, kConfigStartFolder,
                    QStringLiteral("Text Files (*.txt *.log);;All Files (*)"));
    Prepare(dlg);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix(QStringLiteral("txt"));
    return ChosenFile(dlg);
}

QString WriteTextFile(const QString& path, const QString& text) {
    const QByteArray name = QFile::encodeName(path);
    const QByteArray bytes = text.toUtf8();
    std::string reason;
    if (pmv::WriteFileAtomically(std::string(name.constData(), std::size_t(name.size())),
                                 std::string_view(bytes.constData(), std::size_t(bytes.size())),
                                 &reason)
            .empty())
        return {};
    return QStringLiteral("Cannot create file %1: %2").arg(path, QString::fromLocal8Bit(reason));
}
