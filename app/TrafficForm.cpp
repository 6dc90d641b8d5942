#include "app/TrafficForm.h"

#include "app/FormDialogs.h"
#include "app/HostApplication.h"
#include "app/RepaintPacer.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

using pmv::TTrafficLog;

namespace {

enum TColumn { kTime, kDirection, kHex, kText, kColumns };

} // namespace

// ---- The table -----------------------------------------------------------------------

TTrafficModel::TTrafficModel(TTrafficLog& log, QObject* parent)
    : QAbstractTableModel(parent), m_log(log) {
    m_log.SetOnChange([this] { Changed(); });
}

int TTrafficModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_count;
}

int TTrafficModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

long TTrafficModel::LogRow(int row) const {
    const std::uint64_t kept = m_log.Added() - m_log.Size();
    const std::uint64_t n = m_first + std::uint64_t(row);
    if (row < 0 || row >= m_count || n < kept || n >= m_log.Added())
        return -1;
    return long(n - kept);
}

QVariant TTrafficModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    const long i = LogRow(index.row());
    if (i < 0)
        return {};
    const pmv::TTrafficRow& r = m_log.Row(std::size_t(i));
    switch (index.column()) {
    case kTime:
        return QString::fromLatin1(TTrafficLog::TimeText(r.time));
    case kDirection:
        return r.direction == pmv::TTrafficDirection::Tx ? QStringLiteral("TX")
                                                         : QStringLiteral("RX");
    case kHex:
        return QString::fromLatin1(TTrafficLog::Hex(r.bytes));
    case kText:
        return QString::fromLatin1(TTrafficLog::Printable(r.bytes));
    default:
        return {};
    }
}

QVariant TTrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const kHeaders[kColumns] = {"Time", "Dir", "Hex", "Text"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kColumns)
        return {};
    return QString::fromLatin1(kHeaders[section]);
}

void TTrafficModel::Changed() {
    if (m_syncDue)
        return;
    m_syncDue = true;
    QTimer::singleShot(0, this, [this] {
        m_syncDue = false;
        if (m_syncHook)
            m_syncHook();
        else
            Sync();
    });
}

void TTrafficModel::Sync() {
    const std::uint64_t added = m_log.Added();
    const std::uint64_t kept = added - m_log.Size();
    if (kept > m_first) {
        const int gone = int(std::min<std::uint64_t>(kept - m_first, std::uint64_t(m_count)));
        if (gone > 0) {
            beginRemoveRows({}, 0, gone - 1);
            m_first += std::uint64_t(gone);
            m_count -= gone;
            endRemoveRows();
        }
        if (m_count == 0)
            m_first = kept;
    }
    // The newest row shown may have grown since (a burst still coming).
    if (m_count > 0)
        emit dataChanged(index(m_count - 1, 0), index(m_count - 1, kColumns - 1));
    const std::uint64_t end = m_first + std::uint64_t(m_count);
    if (added > end) {
        beginInsertRows({}, m_count, m_count + int(added - end) - 1);
        m_count = int(added - m_first);
        endInsertRows();
    }
}

void TTrafficModel::Clear() {
    beginResetModel();
    m_log.Clear();
    m_first = 0;
    m_count = 0;
    endResetModel();
}

// ---- The window ----------------------------------------------------------------------

TTrafficForm::TTrafficForm(QWidget* owner, TAttach attach, TAskPath askPath)
    : QWidget(owner, Qt::Window), m_attach(std::move(attach)), m_askPath(std::move(askPath)) {
    setObjectName(QStringLiteral("TrafficForm"));
    setWindowTitle(QStringLiteral("Traffic"));
    resize(680, 360);

    m_model = new TTrafficModel(m_log, this);
    m_model->SetSyncHook([this] { Follow(); });
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("TrafficTable"));
    m_table->setModel(m_model);
    m_table->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideRight);
    // Fixed sizes: 10,000 rows are never measured one by one.
    QHeaderView* rows = m_table->verticalHeader();
    rows->setVisible(false);
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    QHeaderView* columns = m_table->horizontalHeader();
    const int digit = m_table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    columns->resizeSection(kTime, digit * 14);
    columns->resizeSection(kDirection, digit * 4);
    columns->resizeSection(kHex, digit * 48);
    columns->setStretchLastSection(true);

    auto* copy = new QAction(QStringLiteral("&Copy"), this);
    copy->setObjectName(QStringLiteral("TrafficCopy"));
    copy->setShortcuts(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copy, &QAction::triggered, this, [this] { pmv::RunGuarded([this] { CopyRows(); }); });
    auto* save = new QAction(QStringLiteral("&Save\u2026"), this);
    save->setObjectName(QStringLiteral("TrafficSave"));
    connect(save, &QAction::triggered, this, [this] { pmv::RunGuarded([this] { SaveRows(); }); });
    auto* clear = new QAction(QStringLiteral("C&lear"), this);
    clear->setObjectName(QStringLiteral("TrafficClear"));
    connect(clear, &QAction::triggered, this, [this] { m_model->Clear(); });
    m_table->addActions({copy, save, clear});
    m_table->setContextMenuPolicy(Qt::ActionsContextMenu);

    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("TrafficRowsLabel"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_count, 1);
    for (QAction* a : {copy, save, clear}) {
        auto* b = new QPushButton(a->text(), this);
        b->setObjectName(a->objectName() + QLatin1String("Button"));
        connect(b, &QPushButton::clicked, a, &QAction::trigger);
        buttons->addWidget(b);
    }
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table, 1);
    layout->addLayout(buttons);

    m_pacer = new TRepaintPacer(this);
    Follow();
}

TTrafficForm::~TTrafficForm() {
    if (m_attached && m_attach)
        m_attach(nullptr);
    m_log.SetOnChange(nullptr);
}

void TTrafficForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_attached)
        return;
    m_model->Clear(); // what was sent while the window was closed is unknown
    m_attached = true;
    if (m_attach)
        m_attach(&m_log);
}

void TTrafficForm::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!m_attached || event->spontaneous())
        return; // minimised by the desktop: it keeps recording
    m_attached = false;
    if (m_attach)
        m_attach(nullptr);
}

void TTrafficForm::Follow() {
    const QScrollBar* bar = m_table->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    m_model->Sync();
    if (atEnd)
        m_table->scrollToBottom();
    const std::uint64_t dropped = m_log.Dropped();
    QString text = QStringLiteral("%1 rows").arg(m_log.Size());
    if (dropped > 0)
        text += QStringLiteral(", %1 older rows dropped").arg(dropped);
    m_count->setText(text);
}

QString TTrafficForm::RowsText(bool selectedOnly) const {
    if (!selectedOnly)
        return QString::fromLatin1(m_log.Lines(0, m_log.Size()));
    QList<int> rows;
    for (const QModelIndex& i : m_table->selectionModel()->selectedRows())
        rows.append(i.row());
    std::sort(rows.begin(), rows.end());
    QString text;
    for (const int row : rows) {
        const long i = m_model->LogRow(row);
        if (i >= 0)
            text += QString::fromLatin1(m_log.Lines(std::size_t(i), std::size_t(i) + 1));
    }
    return text;
}

void TTrafficForm::CopyRows() {
    m_model->Sync();
    const bool selected = m_table->selectionModel()->hasSelection();
    QApplication::clipboard()->setText(RowsText(selected));
}

bool TTrafficForm::SaveRows() {
    const QString path = m_askPath ? m_askPath() : QString();
    if (path.isEmpty())
        return false;
    const QString failure = WriteTextFile(path, RowsText(false));
    if (failure.isEmpty())
        return true;
    pmv::ShowError(failure);
    return false;
}
