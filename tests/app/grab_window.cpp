// Shows the main window as an operator sees it after loading a configuration,
// with the longest status texts, for a picture of the screen:
//   pmv_grab_window CONFIG [settings|ports|traffic|portmap [N DEVICE|NETWORK-PORT]]
// settings also opens the port settings dialog, ports drops its port list
// down, traffic turns time stamps and transmissions on, opens the traffic
// window at the top left and runs Get All (the configuration's port must
// answer: the simulator), portmap opens the port map window and, given a
// number and a device node or a network port, assigns it as the operator
// would. Under a virtual display, for instance:
//   xvfb-run -a sh -c 'pmv_grab_window x.ini settings & sleep 3; import -window root shot.png'
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/HostMain.h"
#include "app/Mainfrm.h"
#include "comport/Lnkcomdlg.h"

#include "app/PortMapForm.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CONFIG [settings|ports|traffic|portmap]\n", argv[0]);
        return 2;
    }
    const QString config = QString::fromLocal8Bit(argv[1]);
    const QString what = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    const int number = argc > 4 ? std::atoi(argv[3]) : 0;
    const QString target = argc > 4 ? QString::fromLocal8Bit(argv[4]) : QString();
    int hostArgc = 1;
    return pmv::RunHost(hostArgc, argv, [config, what, number, target](TMainForm& form) {
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
        if (what == QLatin1String("portmap")) {
            form.findChild<QAction*>(QStringLiteral("PortMap"))->trigger();
            if (number == 0)
                return;
            TPortMapForm* map = form.PortMapWindow();
            map->findChild<QSpinBox*>(QStringLiteral("NumberSpinBox"))->setValue(number);
            if (!target.startsWith(QLatin1Char('/'))) {
                map->findChild<QLineEdit*>(QStringLiteral("NetworkPortEdit"))->setText(target);
                QTimer::singleShot(
                    0, map->findChild<QPushButton*>(QStringLiteral("AssignNetworkButton")),
                    &QPushButton::click);
                return;
            }
            auto* devices = map->findChild<QTableWidget*>(QStringLiteral("DevicesTable"));
            for (int r = 0; r < devices->rowCount(); ++r)
                if (devices->item(r, 0)->text() == target)
                    devices->setCurrentCell(r, 0);
            QTimer::singleShot(0,
                               map->findChild<QPushButton*>(QStringLiteral("AssignDeviceButton")),
                               &QPushButton::click);
            return;
        }
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
