// The port map window (`PortMapForm`, COM > "Port Map…"): the serial devices
// the system shows (node, by-id name, description, who holds it, its COM
// numbers) and the COM numbers 1-32 with what each maps to. The operator
// picks a number and a device, or writes a network port, and assigns it, or
// frees the number. Not modal.
//
// The rows and the changes are pmv::TPortMap's; the form shows them, asks
// through its confirm function before a number in use is replaced, and
// says in its status line what was done or why not.
#pragma once

#include "app/link/PortMap.h"

#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

class TPortMapForm : public QWidget {
    Q_OBJECT

public:
    /// confirm asks the operator a yes/no question; true for yes.
    TPortMapForm(std::function<bool(const QString& question)> confirm, QWidget* parent = nullptr);

    /// Reads the devices and numbers anew and shows them.
    void Refresh();
    const pmv::TPortMap& Map() const { return m_map; }

    /// The operations behind the buttons, on the chosen number.
    void AssignDeviceClick();
    void AssignNetworkClick();
    void FreeClick();

private:
    void Apply(pmv::TPortMapResult result, const std::function<pmv::TPortMapResult()>& replace);
    void Show();

    std::function<bool(const QString&)> m_confirm;
    pmv::TPortMap m_map;
    QTableWidget* m_devices = nullptr;
    QTableWidget* m_numbers = nullptr;
    QSpinBox* m_number = nullptr;
    QLineEdit* m_network = nullptr;
    QPushButton* m_assignDevice = nullptr;
    QLabel* m_mapFile = nullptr;
    QLabel* m_status = nullptr;
};
