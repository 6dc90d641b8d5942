// The host keeps no settings of its own: running it and using its dialogs
// leaves the user's configuration folder ($XDG_CONFIG_HOME) as it was, and
// the file dialogs start in the working folder every time.
//
// The dialogs run in a child process (this test binary again, running the
// disabled test below), so that whatever Qt writes when the dialogs go and
// when the program ends is written before the folder is looked at.
#include "app/Mainfrm.h"
#include "config/ConfigFile.h"
#include "tests/app/WindowProbe.h"
#include "tests/dialogs/DialogTest.h"

#include <QAbstractButton>
#include <QColorDialog>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMap>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

constexpr int kWaitMs = 60000;

// Every file and link under root with its content (a link: its target).
QMap<QString, QByteArray> Snapshot(const QString& root) {
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            files[name] = "-> " + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            files[name] = "<dir>";
        else if (QFile f(info.filePath()); f.open(QIODevice::ReadOnly))
            files[name] = f.readAll();
    }
    return files;
}

// The file dialog now open: it must start in the working folder.
QFileDialog* FileDialog(QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    EXPECT_TRUE(dialog) << "not a file dialog";
    if (!dialog) {
        w->close();
        return nullptr;
    }
    EXPECT_EQ(dialog->directory().absolutePath(), QDir::currentPath());
    return dialog;
}

// The operator types a file name and presses Enter.
void Type(QFileDialog* dialog, const QString& name) {
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_TRUE(edit);
    edit->setFocus();
    QTest::keyClicks(edit, name);
    QTest::keyClick(edit, Qt::Key_Return);
    if (dialog->isVisible()) {
        ADD_FAILURE() << "the dialog did not take " << name.toStdString();
        dialog->reject();
    }
}

} // namespace

// What the operator does in the child: save under a new name, load a file
// from a subfolder, open the load dialog again, pick a colour (adding it to
// the custom colours), confirm the port settings.
TEST(NoSettings, DISABLED_DialogsInAChild) {
    TMainForm form;
    TMainFormDialogs dialogs;
    dialogs.Warning = [](const QString&, int) { return int(QMessageBox::No); };
    form.SetDialogs(dialogs); // the real file dialogs, no close question
    ASSERT_TRUE(pmv::test::ShowActive(form));
    form.SetSlot(0, apptest::Record(pmv::ctParamGetSet, "SPD", "Speed"));

    pmv::test::WhenModal([](QWidget* w) {
        if (QFileDialog* d = FileDialog(w))
            Type(d, QStringLiteral("saved"));
    });
    apptest::Item(form, "SaveConfig")->trigger();
    EXPECT_EQ(form.FileName(), QDir::current().absoluteFilePath(QStringLiteral("saved.ini")));

    pmv::test::WhenModal([](QWidget* w) {
        if (QFileDialog* d = FileDialog(w))
            Type(d, QStringLiteral("sub/other.ini"));
    });
    apptest::Item(form, "LoadConfig")->trigger();
    EXPECT_EQ(form.FileName(), QDir::current().absoluteFilePath(QStringLiteral("sub/other.ini")));

    // Again in the working folder, not where the last file was.
    pmv::test::WhenModal([](QWidget* w) {
        if (QFileDialog* d = FileDialog(w))
            d->reject();
    });
    apptest::Item(form, "LoadConfig")->trigger();

    form.SetSlot(0, apptest::Record(pmv::ctParamGetSet, "SPD", "Speed"));
    apptest::SelectSlot(form, 0);
    bool coloured = false;
    pmv::test::WhenModal([&](QWidget* w) {
        auto* d = qobject_cast<QColorDialog*>(w);
        ASSERT_TRUE(d) << "not the colour dialog";
        d->setCurrentColor(QColor(0x12, 0x34, 0x56));
        for (QAbstractButton* b : d->findChildren<QAbstractButton*>())
            if (b->text().contains(QStringLiteral("Custom")))
                b->click(); // "Add to Custom Colors"
        coloured = QColorDialog::customColor(0) == QColor(0x12, 0x34, 0x56);
        d->accept();
    });
    apptest::Item(form, "Colour")->trigger();
    EXPECT_TRUE(coloured);

    apptest::ChangePortSettings(form, [](QORLNK::TLNKCOMDlgFrm&) {});
}

TEST(NoSettings, RunningTheHostLeavesTheConfigurationFolderAsItWas) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString config = dir.filePath(QStringLiteral("config"));
    const QString work = dir.filePath(QStringLiteral("work"));
    ASSERT_TRUE(QDir().mkpath(config + QStringLiteral("/pmv-host")));
    ASSERT_TRUE(QDir().mkpath(work + QStringLiteral("/sub")));
    // What other programs left: Qt's shared dialog settings pointing
    // elsewhere, and the operator's device map.
    {
        QFile qt(config + QStringLiteral("/QtProject.conf"));
        ASSERT_TRUE(qt.open(QIODevice::WriteOnly));
        qt.write("[FileDialog]\nhistory=file:///usr\nlastVisited=file:///usr\n");
        QFile map(config + QStringLiteral("/pmv-host/commap"));
        ASSERT_TRUE(map.open(QIODevice::WriteOnly));
        map.write("# the bench adapter\nCOM7=/dev/ttyUSB0\n");
    }
    ASSERT_TRUE(pmv::SaveConfigFile(
                    QFile::encodeName(work + QStringLiteral("/sub/other.ini")).toStdString(),
                    pmv::TConfigSet{})
                    .Ok);
    QMap<QString, QByteArray> before = Snapshot(config);

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.remove(QStringLiteral("PMV_COMMAP")); // the map in the folder, as the operator has it
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(work);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_also_run_disabled_tests"),
                 QStringLiteral("--gtest_filter=NoSettings.DISABLED_DialogsInAChild")});
    ASSERT_TRUE(child.waitForFinished(kWaitMs));
    const QString output = QString::fromLocal8Bit(child.readAll());
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test."))) << output.toStdString();

    // The configuration the operator saved is where the operator saved it.
    EXPECT_TRUE(QFileInfo::exists(work + QStringLiteral("/saved.ini")));
    // The device map and its publications are the operator's and may change.
    QMap<QString, QByteArray> after = Snapshot(config);
    for (QMap<QString, QByteArray>* files : {&before, &after})
        files->removeIf([](const auto& file) {
            return file.key().startsWith(QStringLiteral("pmv-host/commap"));
        });
    EXPECT_EQ(after.keys(), before.keys());
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        EXPECT_EQ(after.value(it.key()).toStdString(), it.value().toStdString())
            << it.key().toStdString();
}
