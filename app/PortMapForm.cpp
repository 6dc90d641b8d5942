#include "app/PortMapForm.h"

#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

using namespace pmv;

namespace {

QString Text(const std::string& s) {
    return QFile::decodeName(QByteArray(s.data(), qsizetype(s.size())));
}

QTableWidget* MakeTable(QWidget* parent, const char* name, const QStringList& headers) {
    auto* table = new QTableWidget(0, int(headers.size()), parent);
    table->setObjectName(QString::fromLatin1(name));
    table->setHorizontalHeaderLabels(headers);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

void SetRow(QTableWidget* table, int row, const QStringList& cells) {
    for (int c = 0; c < cells.size(); ++c)
        table->setItem(row, c, new QTableWidgetItem(cells[c]));
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

} // namespace

TPortMapForm::TPortMapForm(std::function<bool(const QString&)> confirm, QWidget* parent)
    : QWidget(parent, Qt::Window), m_confirm(std::move(confirm)) {
    setObjectName(QStringLiteral("PortMapForm"));
    setWindowTitle(QStringLiteral("Port Map"));
    resize(900, 600);

    m_devices =
        MakeTable(this, "DevicesTable",
                  {QStringLiteral("Device"), QStringLiteral("COM"), QStringLiteral("Description"),
                   QStringLiteral("Held by"), QStringLiteral("By-id name")});
    m_numbers = MakeTable(this, "NumbersTable",
                          {QStringLiteral("COM"), QStringLiteral("Maps to"), QStringLiteral("From"),
                           QStringLiteral("Note")});
    m_number = new QSpinBox(this);
    m_number->setObjectName(QStringLiteral("NumberSpinBox"));
    m_number->setRange(1, int(m_map.Numbers().size()));
    m_number->setPrefix(QStringLiteral("COM"));
    m_network = new QLineEdit(this);
    m_network->setObjectName(QStringLiteral("NetworkPortEdit"));
    m_network->setPlaceholderText(QStringLiteral("rfc2217://host:port or tcp://host:port"));
    m_assignDevice = MakeButton(this, "AssignDeviceButton", QStringLiteral("Assign &Device"));
    auto* assignNetwork =
        MakeButton(this, "AssignNetworkButton", QStringLiteral("Assign &Network Port"));
    auto* free = MakeButton(this, "FreeButton", QStringLiteral("&Free"));
    auto* refresh = MakeButton(this, "RefreshButton", QStringLiteral("&Refresh"));
    m_mapFile = new QLabel(this);
    m_mapFile->setObjectName(QStringLiteral("MapFileLabel"));
    m_mapFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("StatusLabel"));
    m_status->setWordWrap(true);

    auto* devicesLabel = new QLabel(QStringLiteral("De&vices"), this);
    devicesLabel->setBuddy(m_devices);
    auto* numbersLabel = new QLabel(QStringLiteral("COM n&umbers"), this);
    numbersLabel->setBuddy(m_numbers);
    auto* numberLabel = new QLabel(QStringLiteral("&COM number"), this);
    numberLabel->setBuddy(m_number);
    auto* networkLabel = new QLabel(QStringLiteral("Network &port"), this);
    networkLabel->setBuddy(m_network);

    auto* actions = new QGridLayout;
    actions->addWidget(numberLabel, 0, 0);
    actions->addWidget(m_number, 0, 1);
    actions->addWidget(m_assignDevice, 0, 2);
    actions->addWidget(free, 0, 3);
    actions->addWidget(refresh, 0, 4);
    actions->addWidget(networkLabel, 1, 0);
    actions->addWidget(m_network, 1, 1, 1, 3);
    actions->addWidget(assignNetwork, 1, 4);
    actions->setColumnStretch(5, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(devicesLabel);
    layout->addWidget(m_devices, 2);
    layout->addWidget(numbersLabel);
    layout->addWidget(m_numbers, 3);
    layout->addLayout(actions);
    layout->addWidget(m_mapFile);
    layout->addWidget(m_status);

    connect(m_assignDevice, &QPushButton::clicked, this, [this] { AssignDeviceClick(); });
    connect(assignNetwork, &QPushButton::clicked, this, [this] { AssignNetworkClick(); });
    connect(m_network, &QLineEdit::returnPressed, this, [this] { AssignNetworkClick(); });
    connect(free, &QPushButton::clicked, this, [this] { FreeClick(); });
    connect(refresh, &QPushButton::clicked, this, [this] {
        Refresh();
        m_status->clear();
    });
    // Picking a number's row chooses that number.
    connect(m_numbers, &QTableWidget::currentCellChanged, this, [this](int row) {
        if (row >= 0)
            m_number->setValue(row + 1);
    });
    connect(m_devices, &QTableWidget::currentCellChanged, this,
            [this](int row) { m_assignDevice->setEnabled(row >= 0); });
    Show();
}

void TPortMapForm::Refresh() {
    m_map.Refresh();
    Show();
}

void TPortMapForm::Show() {
    const int deviceRow = m_devices->currentRow();
    m_devices->setRowCount(int(m_map.Devices().size()));
    for (int r = 0; r < m_devices->rowCount(); ++r) {
        const TPortMapDevice& d = m_map.Devices()[std::size_t(r)];
        QStringList numbers;
        for (int n : d.comNumbers)
            numbers << QStringLiteral("COM%1").arg(n);
        SetRow(m_devices, r,
               {Text(d.node), numbers.join(QStringLiteral(", ")), Text(d.description),
                Text(d.holders), Text(d.byId)});
    }
    m_devices->setCurrentCell(std::min(deviceRow, m_devices->rowCount() - 1), 0);
    m_assignDevice->setEnabled(m_devices->currentRow() >= 0);

    static const QString kSources[] = {QString(), QStringLiteral("built-in rule"),
                                       QStringLiteral("map line"), QStringLiteral("publication")};
    m_numbers->setRowCount(int(m_map.Numbers().size()));
    for (int r = 0; r < m_numbers->rowCount(); ++r) {
        const TPortMapNumber& n = m_map.Numbers()[std::size_t(r)];
        SetRow(m_numbers, r,
               {QStringLiteral("COM%1").arg(n.comNumber), Text(n.target), kSources[int(n.source)],
                Text(n.note)});
    }
    m_devices->resizeColumnsToContents();
    m_numbers->resizeColumnsToContents();
    m_mapFile->setText(m_map.MapError().empty()
                           ? QStringLiteral("Map file: %1").arg(Text(m_map.MapFile()))
                           : Text(m_map.MapError()));
}

void TPortMapForm::Apply(TPortMapResult result, const std::function<TPortMapResult()>& replace) {
    if (result.outcome == TPortMapOutcome::AskReplace) {
        if (!m_confirm || !m_confirm(Text(result.message))) {
            m_status->setText(QStringLiteral("Nothing changed."));
            return;
        }
        result = replace();
    }
    m_status->setText(Text(result.message));
    Show();
}

void TPortMapForm::AssignDeviceClick() {
    const int row = m_devices->currentRow();
    if (row < 0) {
        m_status->setText(QStringLiteral("Choose a device first."));
        return;
    }
    const int n = m_number->value();
    Apply(m_map.AssignDevice(n, std::size_t(row)),
          [this, n, row] { return m_map.AssignDevice(n, std::size_t(row), true); });
}

void TPortMapForm::AssignNetworkClick() {
    const int n = m_number->value();
    const std::string text = QFile::encodeName(m_network->text().trimmed()).toStdString();
    Apply(m_map.AssignNetworkPort(n, text),
          [this, n, text] { return m_map.AssignNetworkPort(n, text, true); });
}

void TPortMapForm::FreeClick() {
    Apply(m_map.Free(m_number->value()), {});
}
