// The tool bar (`MainToolBar`), the log (`Memo`) and the status bar
// (`StatusBar`) of the main window.
#pragma once

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include <array>
#include <string_view>

// The tool bar: one button per menu item it runs, found among the actions of
// actionOwner by their object names, with the item's icon, and the item's
// hint as the tooltip (an item without a hint gives no tooltip).
class TMainToolBar : public QToolBar {
    Q_OBJECT

public:
    TMainToolBar(const QObject& actionOwner, QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QList<QObject*> m_noHintButtons;
};

// The read-only log: one line per call, both scroll bars.
//
// Lines reach the document in batches: AppendLine keeps the line, and the
// lines kept so far go in together on the next turn of the event loop, or,
// while lines keep coming, at most once per kFlushMs. Appending a line costs
// the text view about as much as appending a hundred at once (layout,
// scrolling to the end, repaint requests), so a Get All run pays that once per
// batch instead of once per reply. Order and text are unchanged; Flush() puts
// the waiting lines in at once (for readers of the document) and Clear()
// drops them with the rest.
//
// It keeps the newest kMaxLines lines: each line beyond them drops the
// oldest, so that a log left running for days stays within a fixed amount of
// memory.
//
// With time stamps on, each line appended from then on starts with the wall
// clock time to the millisecond and a blank ("23:41:07.123 "). Its context
// menu ends with "Save Log As…" (SaveLogAsItem), which the window handles.
class TLogView : public QPlainTextEdit {
    Q_OBJECT

public:
    static constexpr int kMaxLines = 100000;
    static constexpr int kFlushMs = 20;

    explicit TLogView(QWidget* parent = nullptr);

    // Appends one line; control characters in it are shown as their symbols
    // (a carriage return as U+240D) where the log's font draws them, else as
    // their names ("<CR>"), so that it stays one line.
    void AppendLine(QString line);
    // The same for an 8-bit (Latin-1) line, without a QString of its own.
    void AppendLatin1(std::string_view line);
    // Puts the lines still waiting into the document now.
    void Flush();
    // Removes all lines, those still waiting included.
    void Clear();
    int PendingLines() const { return m_pendingLines; }
    void SetTimeStamps(bool on) { m_timeStamps = on; }
    bool TimeStamps() const { return m_timeStamps; }
    // How the log shows a control character (below 0x20, or 0x7F).
    QString ControlText(char16_t c) const;
    // The context menu's last item.
    QAction* SaveLogAsItem() const { return m_saveLogAs; }

signals:
    // A double click on the text, reported before the log handles it itself.
    void DoubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    qsizetype StartLine();
    void AppendPending(qsizetype from);
    void DropPending();
    void ChooseControlTexts();

    QString m_pending; // waiting lines, separated by line feeds
    int m_pendingLines = 0;
    bool m_flushing = false;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
    bool m_timeStamps = false;
    std::array<QString, 33> m_controlTexts; // 0x00..0x1F, then 0x7F
    QAction* m_saveLogAs = nullptr;
};

// One panel of the status bar. To accessibility tools (screen readers, test
// drivers) its accessible name says what it is ("Port state") and its text
// ("COM25: 9600 8 none 1") is its value and its text; a plain label would
// give the name only. A text too long for the panel (a long file name) is
// shown with an ellipsis in the middle, and whole as the tooltip.
class TStatusPanel : public QLabel {
    Q_OBJECT

public:
    explicit TStatusPanel(const QString& text, QWidget* parent = nullptr);

    // Sets the text and tells accessibility tools that it changed.
    void SetText(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool TextFits() const;
    void ShowTip();
};

// The status bar with its eight fixed panels: 0 port state, 1 "Tx", 2 Tx
// count, 3 "Rx", 4 Rx count, 5 "Rx TO", 6 time-out count, 7 configuration
// file (`StatusPanel0` .. `StatusPanel7`).
class TStatusLine : public QStatusBar {
    Q_OBJECT

public:
    static constexpr int kPanelCount = 8;

    explicit TStatusLine(QWidget* parent = nullptr);

    TStatusPanel* Panel(int i) const { return m_panels[static_cast<std::size_t>(i)]; }
    void SetPanel(int i, const QString& text);

signals:
    // A double click anywhere on the bar or its panels.
    void DoubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    std::array<TStatusPanel*, kPanelCount> m_panels{};
};
