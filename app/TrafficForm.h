// The traffic window: every byte sent and received while it is open, one row
// per frame sent or received burst (pmv::TTrafficLog has the rule), with its
// time, direction, hex and printable text. Non-modal, a window of its own.
//
// It owns the log and hands it to its owner's link while it is shown
// (attach(&log) on show, attach(nullptr) on hide): with the window closed no
// byte is recorded. Each show starts an empty log. The table follows the log
// once per event-loop turn, and the window repaints at most once per frame
// (TRepaintPacer), however fast the bytes come.
#pragma once

#include "app/link/Traffic.h"

#include <QAbstractTableModel>
#include <QWidget>

#include <functional>

class QLabel;
class QTableView;
class TRepaintPacer;

// The log's rows as a table: time, direction, hex, text.
class TTrafficModel : public QAbstractTableModel {
public:
    explicit TTrafficModel(pmv::TTrafficLog& log, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Brings the table in line with the log: rows dropped at the front,
    // rows added, the newest row grown. After a change of the log it runs on
    // the next event-loop turn, through the hook when one is set (which then
    // calls Sync itself).
    void Sync();
    void SetSyncHook(std::function<void()> hook) { m_syncHook = std::move(hook); }
    // Empties the log and the table.
    void Clear();
    // The index into the log of table row `row`, or -1 when it is gone.
    long LogRow(int row) const;

private:
    void Changed();

    pmv::TTrafficLog& m_log;
    std::uint64_t m_first = 0; // log row number (since the clear) of table row 0
    int m_count = 0;           // table rows
    bool m_syncDue = false;
    std::function<void()> m_syncHook;
};

class TTrafficForm : public QWidget {
    Q_OBJECT

public:
    using TAttach = std::function<void(pmv::TTrafficLog*)>;
    // Asks for the file to save the rows in; empty: cancelled.
    using TAskPath = std::function<QString()>;

    TTrafficForm(QWidget* owner, TAttach attach, TAskPath askPath);
    ~TTrafficForm() override;

    pmv::TTrafficLog& Log() { return m_log; }
    TTrafficModel& Model() { return *m_model; }
    QTableView* Table() const { return m_table; }

    // Copies the selected rows, or all rows when none is selected, to the
    // clipboard as tab-separated lines.
    void CopyRows();
    // Asks for a file and writes all rows to it, replacing it atomically;
    // a failure is shown with the reason. True when written.
    bool SaveRows();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Follow(); // syncs the table, keeping the newest row in view
    QString RowsText(bool selectedOnly) const;

    pmv::TTrafficLog m_log;
    TTrafficModel* m_model = nullptr;
    QTableView* m_table = nullptr;
    QLabel* m_count = nullptr;
    TRepaintPacer* m_pacer = nullptr;
    TAttach m_attach;
    TAskPath m_askPath;
    bool m_attached = false;
};
