// The tool bar (`MainToolBar`), the log (`Memo`) and the status bar
// (`StatusBar`) of the main window.
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QToolBar>

#include <array>

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

// The read-only log: one line per call, both scroll bars, no line limit.
class TLogView : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit TLogView(QWidget* parent = nullptr);

    // Appends one line; control characters in it are shown as their symbols
    // (a carriage return as U+240D), so that it stays one line.
    void AppendLine(const QString& line);

signals:
    // A double click on the text, reported before the log handles it itself.
    void DoubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// One panel of the status bar. To accessibility tools (screen readers, test
// drivers) its accessible name says what it is ("Port state") and its text
// ("COM25: 9600 8 none 1") is its value and its text; a plain label would
// give the name only.
class TStatusPanel : public QLabel {
    Q_OBJECT

public:
    explicit TStatusPanel(const QString& text, QWidget* parent = nullptr);

    // Sets the text and tells accessibility tools that it changed.
    void SetText(const QString& text);
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
