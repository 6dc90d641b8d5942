// Shows the main window as an operator sees it after loading a configuration,
// with the longest status texts, for a picture of the screen:
//   pmv_grab_window CONFIG [settings|ports|traffic]
// settings also opens the port settings dialog, ports drops its port list
// down, traffic turns time stamps and transmissions on, opens the traffic
// window at the top left and runs Get All (the configuration's port must
// answer: the simulator). Under a virtual display, for instance:
//   xvfb-run -a sh -c 'pmv_grab_window x.ini settings & sleep 3; import -window root shot.png'
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/HostMain.h"
#include "app/Mainfrm.h"
#include "comport/Lnkcomdlg.h"

#include <QAction>
#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CONFIG [settings|ports|traffic]\n", argv[0]);
        return 2;
    }
    const QString config = QString::fromLocal8Bit(argv[1]);
    const QString what = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    int hostArgc = 1;
    return pmv::RunHost(hostArgc, argv, [config, what](TMainForm& form) {
        form.LoadConfigFromFile(config);
        if (what == QLatin1String("traffic")) {
            for (const char* item : {"TimeStamps", "ShowTransmissions"})
                form.findChild<QAction*>(QString::fromLatin1(item))->setChecked(true);
            form.findChild<QAction*>(QStringLiteral("Traffic"))->trigger();
            if (QWidget* w = form.findChild<QWidget*>(QStringLiteral("TrafficForm")))
                w->move(0, 0);
            QTimer::singleShot(500, &form, [&form] {
                form.findChild<QAction*>(QStringLiteral("GetAllParameters"))->trigger();
            });
            return;
        }
        auto* status = form.findChild<TStatusLine*>(QStringLiteral("StatusBar"));
        status->SetPanel(0, QStringLiteral("COM27: 115200 8 none 1"));
        status->SetPanel(2, QStringLiteral("2147483647"));
        status->SetPanel(4, QStringLiteral("2147483647"));
        status->SetPanel(6, QStringLiteral("99999"));
        if (what.isEmpty())
            return;
        if (what == QLatin1String("ports")) {
            auto* timer = new QTimer(&form);
            QObject::connect(timer, &QTimer::timeout, timer, [timer] {
                auto* dlg = qobject_cast<QORLNK::TLNKCOMDlgFrm*>(QApplication::activeModalWidget());
                if (!dlg || !dlg->isVisible())
                    return;
                timer->stop();
                dlg->COMPortComboBoxEx->showPopup();
            });
            timer->start(200);
        }
        form.findChild<QAction*>(QStringLiteral("COMSettings"))->trigger();
    });
}
