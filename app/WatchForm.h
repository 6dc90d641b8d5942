// The watch window (`WatchForm`): the readable slots to tick, the period,
// Start and Stop, "Record to CSV…", a table with the latest sample of each
// watched slot, and the live strip chart of the watched values (its series
// kept here, one per watched slot; a time-out or a value that is no number
// is a gap) with Pause and "Export PNG…". Not modal: the main window stays
// usable while it is open.
//
// The form only shows and asks. The main window owns the watch
// (pmv::TWatchRun) and its recording (pmv::TWatchCsv), runs them on the
// form's signals and hands every sample to ShowSample.
#pragma once

#include "app/link/SeriesStore.h"
#include "app/link/WatchRun.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <vector>

class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;
class TRepaintPacer;
class TStripChart;

class TWatchForm : public QWidget {
    Q_OBJECT

public:
    // A slot offered for the watch and the text of its line ("5  SPD  Speed").
    struct TChoice {
        int slot = 0;
        QString text;
    };

    explicit TWatchForm(QWidget* parent = nullptr);
    ~TWatchForm() override;

    // The readable slots; ticks stay on slots offered again.
    void SetChoices(const std::vector<TChoice>& choices);
    std::vector<int> CheckedSlots() const;
    void SetChecked(int slot, bool on);
    int PeriodMs() const;
    void SetPeriodMs(int ms);

    // The rows of the table: one per watched slot, values cleared.
    void SetWatched(const std::vector<TChoice>& watched);
    void ShowSample(const pmv::TWatchSample& sample);
    void SetRunning(bool running);
    // The file being recorded to; empty when none.
    void SetRecording(const QString& path);
    void SetStatus(const QString& text);
    QString Status() const;
    // The chart (object name "WatchChart") and the samples it draws.
    TStripChart* Chart() const { return m_chart; }
    const pmv::TSeriesStore& Series() const { return m_series; }

    // Asks for the CSV file to record to; empty when cancelled. Set, it
    // answers in place of the file dialog (tests, automation).
    std::function<QString()> AskCsvFile;
    QString AskRecordFile();
    // The same for the PNG file of "Export PNG…".
    std::function<QString()> AskPngFile;

signals:
    void StartClicked();
    void StopClicked();
    void RecordClicked();
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QListWidget* m_choices = nullptr;
    QSpinBox* m_period = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_record = nullptr;
    QTableWidget* m_table = nullptr;
    pmv::TSeriesStore m_series;
    TStripChart* m_chart = nullptr;
    QPushButton* m_pause = nullptr;
    QPushButton* m_export = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_recording = nullptr;
    TRepaintPacer* m_pacer = nullptr;
    std::map<int, int> m_rowOf; // slot -> table row and chart series
};
