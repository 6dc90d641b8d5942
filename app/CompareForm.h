// The comparison window (`CompareForm`): one row per compared slot with its
// slot and page, command word, description, file value, target (or other
// file) value, limits, status and what a send did; a filter (all rows or the
// differences only), the count summary, row ticks, and the buttons
// "Send Selected" and "Take Values". Not modal: the main window stays usable.
//
// The form shows a pmv::TSetComparison and the command set it belongs to, and
// ticks rows in it; the main window owns both, runs the requests and tells the
// form what changed (RowChanged, Refresh). Everything works from the keyboard:
// Tab between the filter, the table and the buttons; arrows move between rows;
// Space ticks the current row. Accessibility tools read each cell, the tick
// as the first cell's check state.
#pragma once

#include "config/CommandSet.h"
#include "config/Comparison.h"

#include <QWidget>

#include <chrono>

class QLabel;
class QPushButton;
class QRadioButton;
class QTableView;
class TCompareModel;
class TRepaintPacer;

class TCompareForm : public QWidget {
    Q_OBJECT

public:
    using TClock = std::chrono::steady_clock;

    TCompareForm(const pmv::TCommandSet& doc, QWidget* parent = nullptr);
    ~TCompareForm() override;

    // Shows comparison (which the caller keeps) under a heading. target:
    // the other side is the target, so "Send Selected" can write to it.
    void Show(pmv::TSetComparison* comparison, const QString& heading, const QString& otherColumn,
              bool target);
    // Shows nothing, with a status line (the comparison is gone).
    void Clear(const QString& status);
    // A row's values or status changed.
    void RowChanged(int row);
    // The summary, the rows filtered again (unless filterAgain is false: rows
    // just sent stay in view with their results), and an immediate repaint:
    // the result of a whole run is on the screen when this returns.
    void Refresh(bool filterAgain = true);
    // A run is on: nothing can be sent or taken meanwhile.
    void SetRunning(bool running);
    void SetStatus(const QString& text);

    // When Refresh last had everything that changed painted (for measurements).
    TClock::time_point ShownAt() const;

signals:
    void SendSelectedClicked();
    void TakeValuesClicked();
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Filter();
    void UpdateSummary();
    void UpdateButtons();

    const pmv::TCommandSet& m_doc;
    pmv::TSetComparison* m_cmp = nullptr;
    TCompareModel* m_model = nullptr;
    class TTable;
    TTable* m_table = nullptr;
    QLabel* m_heading = nullptr;
    QLabel* m_summary = nullptr;
    QLabel* m_status = nullptr;
    QRadioButton* m_all = nullptr;
    QRadioButton* m_differences = nullptr;
    QPushButton* m_tick = nullptr;
    QPushButton* m_send = nullptr;
    QPushButton* m_take = nullptr;
    TRepaintPacer* m_pacer = nullptr;
    bool m_target = false;
    bool m_running = false;
    TClock::time_point m_shownAt{};
};
