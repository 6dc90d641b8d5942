#include "app/WatchForm.h"

#include "app/RepaintPacer.h"
#include "app/StripChart.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum TColumn { colSlot, colCommand, colValue, colStatus, colTime, colCount };

QString Latin1(const std::string& text) {
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace

TWatchForm::TWatchForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("WatchForm"));
    setWindowTitle(QStringLiteral("Watch"));
    resize(720, 480);

    m_choices = new QListWidget(this);
    m_choices->setObjectName(QStringLiteral("WatchSlotList"));
    m_choices->setAccessibleName(QStringLiteral("Slots to watch"));
    m_choices->setMaximumWidth(240);
    m_period = new QSpinBox(this);
    m_period->setObjectName(QStringLiteral("WatchPeriod"));
    m_period->setRange(100, pmv::TWatchRun::kMaxPeriodMs);
    m_period->setSingleStep(100);
    m_period->setSuffix(QStringLiteral(" ms"));
    m_period->setValue(1000);
    auto* periodLabel = new QLabel(QStringLiteral("&Period:"), this);
    periodLabel->setBuddy(m_period);
    m_start = new QPushButton(QStringLiteral("S&tart"), this);
    m_start->setObjectName(QStringLiteral("WatchStartButton"));
    m_stop = new QPushButton(QStringLiteral("St&op"), this);
    m_stop->setObjectName(QStringLiteral("WatchStopButton"));
    m_record = new QPushButton(QStringLiteral("&Record to CSV\u2026"), this);
    m_record->setObjectName(QStringLiteral("WatchRecordButton"));

    m_table = new QTableWidget(0, colCount, this);
    m_table->setObjectName(QStringLiteral("WatchTable"));
    m_table->setAccessibleName(QStringLiteral("Latest values"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Slot"), QStringLiteral("Command"),
                                        QStringLiteral("Value"), QStringLiteral("Status"),
                                        QStringLiteral("Time")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setWordWrap(false);

    m_chart = new TStripChart(m_series, this);
    m_chart->setObjectName(QStringLiteral("WatchChart"));
    m_chart->setMinimumHeight(160);
    m_pause = new QPushButton(QStringLiteral("&Pause"), this);
    m_pause->setObjectName(QStringLiteral("WatchPauseButton"));
    m_pause->setCheckable(true);
    m_export = new QPushButton(QStringLiteral("E&xport PNG\u2026"), this);
    m_export->setObjectName(QStringLiteral("WatchExportButton"));

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("WatchStatus"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_recording = new QLabel(this);
    m_recording->setObjectName(QStringLiteral("WatchRecordStatus"));
    m_recording->setTextFormat(Qt::PlainText);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("CloseButton"));
    for (QPushButton* b : {m_start, m_stop, m_record, m_pause, m_export, close})
        b->setAutoDefault(false);

    auto* side = new QVBoxLayout;
    side->addWidget(new QLabel(QStringLiteral("Readable slots:"), this));
    side->addWidget(m_choices, 1);
    auto* period = new QHBoxLayout;
    period->addWidget(periodLabel);
    period->addWidget(m_period, 1);
    side->addLayout(period);
    auto* run = new QHBoxLayout;
    run->addWidget(m_start);
    run->addWidget(m_stop);
    side->addLayout(run);
    side->addWidget(m_record);

    auto* chartArea = new QWidget(this);
    auto* chartLayout = new QVBoxLayout(chartArea);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    chartLayout->addWidget(m_chart, 1);
    auto* chartButtons = new QHBoxLayout;
    chartButtons->addStretch();
    chartButtons->addWidget(m_pause);
    chartButtons->addWidget(m_export);
    chartLayout->addLayout(chartButtons);
    auto* right = new QSplitter(Qt::Vertical, this);
    right->addWidget(m_table);
    right->addWidget(chartArea);
    right->setStretchFactor(0, 1);
    right->setStretchFactor(1, 2);

    auto* top = new QHBoxLayout;
    top->addLayout(side);
    top->addWidget(right, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_status, 1);
    bottom->addWidget(m_recording);
    bottom->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addLayout(bottom);

    connect(m_start, &QPushButton::clicked, this, &TWatchForm::StartClicked);
    connect(m_stop, &QPushButton::clicked, this, &TWatchForm::StopClicked);
    connect(m_record, &QPushButton::clicked, this, &TWatchForm::RecordClicked);
    connect(m_pause, &QPushButton::toggled, m_chart, &TStripChart::SetPaused);
    connect(m_chart, &TStripChart::PausedChanged, m_pause, &QPushButton::setChecked);
    connect(m_export, &QPushButton::clicked, this, [this] {
        const QString path =
            AskPngFile ? AskPngFile()
                       : QFileDialog::getSaveFileName(this, QStringLiteral("Export PNG"), QString(),
                                                      QStringLiteral("PNG Files (*.png)"));
        QString error;
        if (!path.isEmpty() && !m_chart->SavePng(path, &error))
            SetStatus(error);
    });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    connect(new QShortcut(QKeySequence::Cancel, this), &QShortcut::activated, this,
            &QWidget::close);
    m_pacer = new TRepaintPacer(this);
    SetRunning(false);
    SetRecording({});
}

TWatchForm::~TWatchForm() {
    delete m_chart; // before the series it draws
}

void TWatchForm::SetChoices(const std::vector<TChoice>& choices) {
    const std::vector<int> checked = CheckedSlots();
    m_choices->clear();
    for (const TChoice& c : choices) {
        auto* item = new QListWidgetItem(c.text, m_choices);
        item->setData(Qt::UserRole, c.slot);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        const bool on = std::find(checked.begin(), checked.end(), c.slot) != checked.end();
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
}

std::vector<int> TWatchForm::CheckedSlots() const {
    std::vector<int> out;
    for (int i = 0; i < m_choices->count(); ++i)
        if (m_choices->item(i)->checkState() == Qt::Checked)
            out.push_back(m_choices->item(i)->data(Qt::UserRole).toInt());
    return out;
}

void TWatchForm::SetChecked(int slot, bool on) {
    for (int i = 0; i < m_choices->count(); ++i)
        if (m_choices->item(i)->data(Qt::UserRole).toInt() == slot)
            m_choices->item(i)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

int TWatchForm::PeriodMs() const {
    return m_period->value();
}

void TWatchForm::SetPeriodMs(int ms) {
    m_period->setValue(ms);
}

void TWatchForm::SetWatched(const std::vector<TChoice>& watched) {
    m_rowOf.clear();
    m_series.Clear();
    m_table->setRowCount(int(watched.size()));
    for (int r = 0; r < int(watched.size()); ++r) {
        const TChoice& c = watched[std::size_t(r)];
        m_rowOf[c.slot] = r;
        m_series.AddSeries(c.text.toStdString()); // series r
        const QString text[colCount] = {QString::number(c.slot + 1), c.text, {}, {}, {}};
        for (int col = 0; col < colCount; ++col)
            m_table->setItem(r, col, new QTableWidgetItem(text[col]));
    }
    m_table->resizeColumnToContents(colSlot);
    m_table->resizeColumnToContents(colCommand);
}

void TWatchForm::ShowSample(const pmv::TWatchSample& sample) {
    const auto it = m_rowOf.find(sample.slot);
    if (it == m_rowOf.end())
        return;
    const int r = it->second;
    const double t = std::chrono::duration<double>(sample.time.time_since_epoch()).count();
    // A late value came at no known time of its own: the chart leaves it out.
    if (sample.status == pmv::TWatchStatus::Ok && sample.number)
        m_series.Append(r, t, *sample.number);
    else if (sample.status != pmv::TWatchStatus::Late)
        m_series.AppendGap(r, t);
    m_chart->SamplesAdded();
    if (sample.status != pmv::TWatchStatus::TimedOut)
        m_table->item(r, colValue)->setText(Latin1(sample.value));
    m_table->item(r, colStatus)->setText(QString::fromLatin1(pmv::WatchStatusText(sample.status)));
    m_table->item(r, colTime)
        ->setText(
            QDateTime::fromMSecsSinceEpoch(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               sample.time.time_since_epoch())
                                               .count())
                .toString(QStringLiteral("HH:mm:ss.zzz")));
}

void TWatchForm::SetRunning(bool running) {
    m_start->setEnabled(!running);
    m_stop->setEnabled(running);
    m_choices->setEnabled(!running);
    m_period->setEnabled(!running);
}

void TWatchForm::SetRecording(const QString& path) {
    m_record->setText(path.isEmpty() ? QStringLiteral("&Record to CSV\u2026")
                                     : QStringLiteral("Stop &Recording"));
    m_recording->setText(path.isEmpty() ? QString() : QStringLiteral("Recording to %1").arg(path));
}

void TWatchForm::SetStatus(const QString& text) {
    m_status->setText(text);
}

QString TWatchForm::Status() const {
    return m_status->text();
}

QString TWatchForm::AskRecordFile() {
    if (AskCsvFile)
        return AskCsvFile();
    return QFileDialog::getSaveFileName(this, QStringLiteral("Record to CSV"), QString(),
                                        QStringLiteral("CSV Files (*.csv)"));
}

void TWatchForm::closeEvent(QCloseEvent* event) {
    emit Closed();
    QWidget::closeEvent(event);
}
