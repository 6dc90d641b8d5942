#include "app/CompareForm.h"

#include "app/RepaintPacer.h"
#include "dialogs/Dlgutils.h"

#include <QAbstractTableModel>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

using namespace pmv;

namespace {

enum TColumn {
    colSlot,
    colCommand,
    colDescription,
    colFile,
    colOther,
    colLimits,
    colStatus,
    colNote,
    kColumnCount
};

const char* const kHeaders[kColumnCount] = {"Slot", "Command", "Description", "File",
                                            "",     "Limits",  "Status",      "Note"};

} // namespace

// ---- The rows as a table ------------------------------------------------------------------

class TCompareModel : public QAbstractTableModel {
public:
    TCompareModel(const TCommandSet& doc, QObject* parent)
        : QAbstractTableModel(parent), m_doc(doc) {}

    void Reset(TSetComparison* cmp, const QString& otherColumn) {
        beginResetModel();
        m_cmp = cmp;
        m_otherColumn = otherColumn;
        m_visible.clear();
        m_position.clear();
        endResetModel();
    }

    // The widest of the other values, in pixels.
    int OtherWidth(const QFontMetrics& fm) const {
        int w = 0;
        if (m_cmp)
            for (const TCompareRow& row : m_cmp->Rows())
                if (row.other)
                    w = std::max(w, fm.horizontalAdvance(FromLatin1(*row.other)));
        return w;
    }

    // Shows the rows the filter lets through; a table that shows them
    // already is left as it is (no reset, no full repaint).
    void Filter(bool differencesOnly) {
        std::vector<int> visible = m_cmp ? m_cmp->Visible(differencesOnly) : std::vector<int>{};
        if (visible == m_visible && !m_position.empty())
            return;
        beginResetModel();
        m_visible = std::move(visible);
        m_position.assign(m_cmp ? m_cmp->Rows().size() : 0, -1);
        for (std::size_t i = 0; i < m_visible.size(); ++i)
            m_position[static_cast<std::size_t>(m_visible[i])] = static_cast<int>(i);
        endResetModel();
    }

    void RowChanged(int row) {
        if (row < 0 || row >= static_cast<int>(m_position.size()))
            return;
        if (const int at = m_position[static_cast<std::size_t>(row)]; at >= 0)
            emit dataChanged(index(at, 0), index(at, kColumnCount - 1));
    }

    int Row(const QModelIndex& index) const {
        return index.isValid() ? m_visible[static_cast<std::size_t>(index.row())] : -1;
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_visible.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : kColumnCount;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= kColumnCount)
            return {};
        return section == colOther ? m_otherColumn : QString::fromLatin1(kHeaders[section]);
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        Qt::ItemFlags f = QAbstractTableModel::flags(index);
        if (index.column() == colSlot)
            f |= Qt::ItemIsUserCheckable;
        return f;
    }

    QVariant data(const QModelIndex& index, int role) const override {
        const int r = Row(index);
        if (r < 0 || !m_cmp)
            return {};
        const TCompareRow& row = m_cmp->Rows()[static_cast<std::size_t>(r)];
        const TCmdRecord& rec = m_doc.Record(row.slot);
        switch (role) {
        case Qt::DisplayRole:
            return Text(row, rec, index.column());
        case Qt::CheckStateRole:
            if (index.column() == colSlot)
                return row.ticked ? Qt::Checked : Qt::Unchecked;
            return {};
        case Qt::AccessibleDescriptionRole:
            // The row in one sentence, for a reader that announces the first cell.
            if (index.column() == colSlot)
                return QStringLiteral("%1: file %2, %3 %4, %5%6")
                    .arg(FromLatin1(rec.cmd_str), Text(row, rec, colFile), m_otherColumn.toLower(),
                         row.other ? Text(row, rec, colOther) : QStringLiteral("none"),
                         Text(row, rec, colStatus),
                         row.ticked ? QStringLiteral(", ticked") : QString());
            return {};
        case Qt::ForegroundRole:
            if (index.column() == colStatus && row.status != TCompareStatus::Same)
                return QColor(row.status == TCompareStatus::Differs ? Qt::darkRed : Qt::darkBlue);
            return {};
        default:
            return {};
        }
    }

    bool setData(const QModelIndex& index, const QVariant& value, int role) override {
        const int r = Row(index);
        if (r < 0 || role != Qt::CheckStateRole || index.column() != colSlot)
            return false;
        m_cmp->SetTicked(r, value.toInt() == Qt::Checked);
        emit dataChanged(index, index);
        return true;
    }

private:
    QString Text(const TCompareRow& row, const TCmdRecord& rec, int column) const {
        switch (column) {
        case colSlot:
            return FromLatin1(SlotAndPage(row.slot, m_doc.PageCaptions()));
        case colCommand:
            return FromLatin1(rec.cmd_str);
        case colDescription:
            return FromLatin1(rec.cmd_descr);
        case colFile:
            return QString::number(row.fileValue);
        case colOther:
            return row.other ? FromLatin1(*row.other) : QString();
        case colLimits:
            return FromLatin1(LimitsText(rec));
        case colStatus:
            return QString::fromLatin1(CompareStatusText(row.status));
        case colNote:
            return FromLatin1(row.note);
        default:
            return {};
        }
    }

    const TCommandSet& m_doc;
    TSetComparison* m_cmp = nullptr;
    QString m_otherColumn;
    std::vector<int> m_visible;  // comparison rows shown, in order
    std::vector<int> m_position; // comparison row -> table row, -1 when filtered out
};

// The table: Space ticks the current row whatever cell is current; Tab
// leaves it.
class TCompareForm::TTable : public QTableView {
public:
    using QTableView::QTableView;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Space && e->modifiers() == Qt::NoModifier) {
            const QModelIndex tick = model()->index(currentIndex().row(), colSlot);
            if (tick.isValid()) {
                const bool on = tick.data(Qt::CheckStateRole).toInt() == Qt::Checked;
                model()->setData(tick, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
            }
            return;
        }
        QTableView::keyPressEvent(e);
    }
};

// ---- The window ---------------------------------------------------------------------------

TCompareForm::TCompareForm(const TCommandSet& doc, QWidget* parent)
    : QWidget(parent, Qt::Window), m_doc(doc) {
    setObjectName(QStringLiteral("CompareForm"));
    resize(680, 420);

    m_heading = new QLabel(this);
    m_heading->setObjectName(QStringLiteral("CompareHeading"));
    m_all = new QRadioButton(QStringLiteral("&All rows"), this);
    m_all->setObjectName(QStringLiteral("AllRowsRadio"));
    m_all->setChecked(true);
    m_differences = new QRadioButton(QStringLiteral("&Differences only"), this);
    m_differences->setObjectName(QStringLiteral("DifferencesOnlyRadio"));
    m_tick = new QPushButton(QStringLiteral("T&ick Differences"), this);
    m_tick->setObjectName(QStringLiteral("TickDifferencesButton"));

    m_model = new TCompareModel(m_doc, this);
    m_table = new TTable(this);
    m_table->setObjectName(QStringLiteral("CompareTable"));
    m_table->setAccessibleName(QStringLiteral("Comparison"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setTabKeyNavigation(false);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setHighlightSections(false);
    m_table->setWordWrap(false);

    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("CompareSummary"));
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("CompareStatus"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_send = new QPushButton(QStringLiteral("Send Selected"), this);
    m_send->setObjectName(QStringLiteral("SendSelectedButton"));
    m_take = new QPushButton(QStringLiteral("Take Values"), this);
    m_take->setObjectName(QStringLiteral("TakeValuesButton"));
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("CloseButton"));
    for (QPushButton* b : {m_tick, m_send, m_take, close})
        b->setAutoDefault(false); // Enter in the table sends nothing

    auto* filter = new QHBoxLayout;
    filter->addWidget(m_all);
    filter->addWidget(m_differences);
    filter->addStretch();
    filter->addWidget(m_tick);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_summary, 1);
    buttons->addWidget(m_send);
    buttons->addWidget(m_take);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_heading);
    layout->addLayout(filter);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_status);
    layout->addLayout(buttons);

    connect(m_all, &QRadioButton::toggled, this, [this] { Filter(); });
    connect(m_tick, &QPushButton::clicked, this, [this] {
        if (!m_cmp)
            return;
        m_cmp->TickDifferences();
        Filter();
    });
    connect(m_send, &QPushButton::clicked, this, &TCompareForm::SendSelectedClicked);
    connect(m_take, &QPushButton::clicked, this, &TCompareForm::TakeValuesClicked);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    // Escape closes it, as it would a dialog.
    connect(new QShortcut(QKeySequence::Cancel, this), &QShortcut::activated, this,
            &QWidget::close);
    m_pacer = new TRepaintPacer(this);
    UpdateButtons();
}

TCompareForm::~TCompareForm() = default;

void TCompareForm::Show(TSetComparison* comparison, const QString& heading,
                        const QString& otherColumn, bool target) {
    m_cmp = comparison;
    m_target = target;
    setWindowTitle(heading);
    m_heading->setText(heading);
    m_model->Reset(comparison, otherColumn);
    m_status->clear();
    Refresh();
    m_table->resizeColumnsToContents();
    // Room for every status, whatever the rows hold now.
    const QFontMetrics fm = m_table->fontMetrics();
    int statusWidth = m_table->columnWidth(colStatus);
    for (int s = 0; s < kCompareStatusCount; ++s)
        statusWidth =
            std::max(statusWidth, fm.horizontalAdvance(QString::fromLatin1(
                                      CompareStatusText(static_cast<TCompareStatus>(s)))) +
                                      2 * fm.averageCharWidth());
    m_table->setColumnWidth(colStatus, statusWidth);
    if (m_model->rowCount() > 0)
        m_table->setCurrentIndex(m_model->index(0, colSlot));
    show();
    raise();
    activateWindow();
    m_table->setFocus();
}

void TCompareForm::Clear(const QString& status) {
    m_cmp = nullptr;
    m_target = false;
    m_running = false;
    m_heading->clear();
    m_model->Reset(nullptr, QString());
    UpdateSummary();
    UpdateButtons();
    m_status->setText(status);
}

void TCompareForm::RowChanged(int row) {
    m_model->RowChanged(row);
    UpdateSummary();
}

void TCompareForm::Filter() {
    const int current = m_model->Row(m_table->currentIndex());
    m_model->Filter(m_differences->isChecked());
    // The current row stays current when the filter keeps it.
    for (int i = 0; i < m_model->rowCount(); ++i) {
        if (m_model->Row(m_model->index(i, 0)) == current) {
            m_table->setCurrentIndex(m_model->index(i, m_table->currentIndex().column()));
            break;
        }
    }
    UpdateSummary();
}

void TCompareForm::Refresh(bool filterAgain) {
    if (filterAgain)
        Filter();
    else
        UpdateSummary();
    UpdateButtons();
    // Values are known now: the column grows to the widest.
    const QFontMetrics fm = m_table->fontMetrics();
    const int other = m_model->OtherWidth(fm) + 2 * fm.averageCharWidth();
    if (other > m_table->columnWidth(colOther))
        m_table->setColumnWidth(colOther, other);
    m_pacer->RepaintNow();
    m_shownAt = TClock::now();
}

void TCompareForm::UpdateSummary() {
    m_summary->setText(m_cmp ? FromLatin1(m_cmp->Summary()) : QString());
}

void TCompareForm::SetRunning(bool running) {
    m_running = running;
    UpdateButtons();
}

void TCompareForm::UpdateButtons() {
    const bool rows = m_cmp && !m_running;
    m_send->setEnabled(rows && m_target);
    m_take->setEnabled(rows);
    m_tick->setEnabled(rows);
}

void TCompareForm::SetStatus(const QString& text) {
    m_status->setText(text);
}

TCompareForm::TClock::time_point TCompareForm::ShownAt() const {
    return m_shownAt;
}

void TCompareForm::closeEvent(QCloseEvent* event) {
    emit Closed();
    QWidget::closeEvent(event);
}
