// Saves a picture of each dialog as PNG files into a folder, for looking at
// the layout without a display: pmv_grab_dialogs <folder> [scale]
#include "dialogs/Aboutfrm.h"
#include "dialogs/Editcmdfrm.h"
#include "dialogs/Getstrfrm.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>

#include <cstdio>

using namespace pmv;

namespace {

QString Folder;

void Save(QWidget& w, const char* name) {
    w.show();
    QApplication::processEvents();
    const QString path = QDir(Folder).filePath(QLatin1String(name) + QLatin1String(".png"));
    if (!w.grab().save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    w.hide();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <folder> [scale]\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 2)
        qputenv("QT_SCALE_FACTOR", argv[2]);
    QApplication app(argc, argv);
    Folder = QString::fromLocal8Bit(argv[1]);

    {
        TGetStrForm f(nullptr, 0, 24, "Pump settings", "Rename Page");
        Save(f, "getstr_plain");
    }
    {
        TGetStrForm f(nullptr, 1, 10, "", "Admin Password");
        f.show();
        f.StringEdit->setText(QStringLiteral("secret"));
        Save(f, "getstr_masked");
    }

    TCmdRecord r;
    r.cmd_str = "SPD";
    r.cmd_descr = "Pump speed setpoint";
    r.str = "hello";
    r.val_start = 1500;
    r.val_min = 100;
    r.val_max = 3000;
    r.val_inc = 10;
    r.colour = 0x00C00000; // blue
    r.opts = IncInSetAll | IncInGetAll | UpdateEditOnGet;
    const char* names[] = {"editcmd_kind0", "editcmd_kind1", "editcmd_kind2",
                           "editcmd_kind3", "editcmd_kind4", "editcmd_kind5"};
    for (int kind = 0; kind < 6; ++kind) {
        r.cmd_type = static_cast<std::int8_t>(kind);
        TEditCmdForm f(nullptr, 41, r);
        Save(f, names[kind]);
    }

    {
        TAboutForm f(nullptr);
        f.SetCompanyName("PMV Vodazivovu");
        f.SetApplicationName("PMV Controller Host");
        f.SetIdentity("PMV-HOST");
        f.SetVersion("V1.8");
        f.SetBuildTime("15:11");
        f.SetBuildDate("23rd June 2022");
        f.SetNoticeYear("2022");
        Save(f, "about");
    }
    {
        TAboutForm f(nullptr);
        Save(f, "about_unset");
    }
    return 0;
}
