#include "app/FormWidgets.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QContextMenuEvent>
#include <QEvent>
#include <QLayout>
#include <QMenu>
#include <QPainter>
#include <QStyle>
#include <QTime>

#include <algorithm>
#include <mutex>

namespace {

constexpr int kStatusBarHeight = 19;
constexpr int kToolSeparatorWidth = 5;

// Tool button and the menu item it runs (none: a separator), left to right.
const std::pair<const char*, const char*> kToolButtons[] = {
    {"ExitToolButton", "Exit"},
    {"ToolButton2", nullptr},
    {"LoadConfigToolButton", "LoadConfig"},
    {"SaveConfigToolButton", "SaveConfig"},
    {"COMPortSettingsToolButton", "COMSettings"},
    {"COMPortOpenToolButton", "COMOpen"},
    {"COMPortCloseToolButton", "COMClose"},
    {"HelpAboutToolButton", "About"},
    {"ToolButton6", nullptr},
    {"SetAllParameterDefaultsToolButton", "SetAllParameterDefaults"},
    {"StoreAllParameterDefaultsToolButton", "StoreAllParameterDefaults"},
    {"GetAllTargetParametersToolButton", "GetAllParameters"},
    {"SetAllTargetParametersToolButton", "SetAllParameters"},
};

struct TPanelDef {
    int width;
    const char* text;
    const char* name;
};
const TPanelDef kPanelDefs[TStatusLine::kPanelCount] = {
    {130, "", "Port state"},       {20, "Tx", "Tx label"},
    {60, "0", "Tx count"},         {20, "Rx", "Rx label"},
    {60, "0", "Rx count"},         {38, "Rx TO", "Rx timeout label"},
    {30, "0", "Rx timeout count"}, {50, "", "Configuration file"},
};

// Where a left-aligned label draws its text.
QRect TextRoom(const QLabel& l) {
    QRect r = l.contentsRect();
    const int indent =
        l.indent() >= 0 ? l.indent() : l.fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2;
    r.adjust(indent, 0, 0, 0);
    return r;
}

// What accessibility tools see of a status panel: a static text whose name
// is the panel's name and whose value and text are what it shows. The text
// is read-only: no selection, no caret.
class TStatusPanelAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TStatusPanelAccessible(QWidget* panel)
        : QAccessibleWidget(panel, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override {
        switch (t) {
        case QAccessible::Name:
            return widget()->accessibleName();
        case QAccessible::Value:
            return Shown();
        default:
            return QAccessibleWidget::text(t);
        }
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    // QAccessibleTextInterface
    void selection(int, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
    }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int startOffset, int endOffset) const override {
        return Shown().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(Shown().size()); }
    QRect characterRect(int offset) const override {
        const QString shown = Shown();
        if (offset < 0 || offset >= shown.size())
            return {};
        const QFontMetrics fm = widget()->fontMetrics();
        const QRect r = TextRect();
        const int x = r.left() + fm.horizontalAdvance(shown.left(offset));
        const QRect local(x, r.top() + (r.height() - fm.height()) / 2,
                          fm.horizontalAdvance(shown.at(offset)), fm.height());
        return QRect(widget()->mapToGlobal(local.topLeft()), local.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        for (int i = 0; i < characterCount(); ++i)
            if (characterRect(i).contains(point))
                return i;
        return -1;
    }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* startOffset, int* endOffset) const override {
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }

private:
    const QLabel* Label() const { return static_cast<const QLabel*>(widget()); }
    QString Shown() const { return Label()->text(); }
    QRect TextRect() const { return TextRoom(*Label()); }
};

QAccessibleInterface* StatusPanelAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String(TStatusPanel::staticMetaObject.className()) && object &&
        object->isWidgetType())
        return new TStatusPanelAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

TMainToolBar::TMainToolBar(const QObject& actionOwner, QWidget* parent) : QToolBar(parent) {
    setObjectName(QStringLiteral("MainToolBar"));
    setMovable(false);
    setFloatable(false);
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setContentsMargins(0, 0, 0, 0);
    for (const auto& [button, item] : kToolButtons) {
        const QString name = QString::fromLatin1(button);
        if (!item) {
            QAction* separator = addSeparator();
            separator->setObjectName(name);
            QWidget* w = widgetForAction(separator);
            w->setObjectName(name);
            w->setFixedWidth(kToolSeparatorWidth);
            continue;
        }
        QAction* action =
            actionOwner.findChild<QAction*>(QString::fromLatin1(item), Qt::FindDirectChildrenOnly);
        addAction(action);
        QWidget* w = widgetForAction(action);
        w->setObjectName(name);
        const QString hint = action->statusTip();
        w->setAccessibleName(hint.isEmpty() ? QString(action->text()).remove(QLatin1Char('&'))
                                            : hint);
        if (hint.isEmpty()) {
            m_noHintButtons.append(w);
            w->installEventFilter(this);
        }
    }
}

bool TMainToolBar::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip && m_noHintButtons.contains(watched))
        return true;
    return QToolBar::eventFilter(watched, event);
}

TLogView::TLogView(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("Memo"));
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setAccessibleName(QStringLiteral("Log"));
    // The bound also turns off the document's undo history, which would
    // otherwise keep a copy of every line ever appended.
    setUndoRedoEnabled(false);
    setMaximumBlockCount(kMaxLines);
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &TLogView::Flush);
    m_saveLogAs = new QAction(QStringLiteral("Save Log As\u2026"), this);
    m_saveLogAs->setObjectName(QStringLiteral("SaveLogAs"));
    ChooseControlTexts();
    // Emptied by other means (QPlainTextEdit::clear): what waited goes too.
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_flushing && document()->isEmpty())
            DropPending();
    });
}

namespace {

bool IsControl(QChar c) {
    const char16_t u = c.unicode();
    return (u < 0x20 && u != u'\t') || u == 0x7F;
}

// The names of the control characters, for a font without their symbols.
const char* const kControlNames[33] = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",  "DEL",
};

int ControlIndex(char16_t c) {
    return c == 0x7F ? 32 : int(c);
}

} // namespace

// Control characters as their symbols, U+2400 + code and DEL as U+2421, when
// the font has them; the common desktop fonts lack that block and would draw
// a box, so a missing symbol is shown by its name.
void TLogView::ChooseControlTexts() {
    const QFontMetrics fm(font());
    for (int i = 0; i < 33; ++i) {
        const char32_t symbol = i == 32 ? 0x2421 : 0x2400 + char32_t(i);
        m_controlTexts[std::size_t(i)] =
            fm.inFontUcs4(symbol)
                ? QString(QChar(char16_t(symbol)))
                : QLatin1Char('<') + QLatin1String(kControlNames[i]) + QLatin1Char('>');
    }
}

QString TLogView::ControlText(char16_t c) const {
    if (!IsControl(QChar(c)))
        return QString(QChar(c));
    return m_controlTexts[std::size_t(ControlIndex(c))];
}

void TLogView::changeEvent(QEvent* event) {
    QPlainTextEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        ChooseControlTexts();
}

// Starts a new waiting line (with its time stamp, when they are on) and
// returns where its text begins.
qsizetype TLogView::StartLine() {
    if (m_pendingLines > 0)
        m_pending.append(QLatin1Char('\n'));
    if (m_timeStamps)
        m_pending.append(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")));
    return m_pending.size();
}

void TLogView::AppendLine(QString line) {
    const qsizetype from = StartLine();
    m_pending.append(line);
    AppendPending(from);
}

void TLogView::AppendLatin1(std::string_view line) {
    const qsizetype from = StartLine();
    m_pending.append(QLatin1StringView(line.data(), qsizetype(line.size())));
    AppendPending(from);
}

// The line now at the end of the waiting text, from `from` on: its control
// characters shown as symbols or names, and a batch scheduled.
void TLogView::AppendPending(qsizetype from) {
    qsizetype i = from;
    while (i < m_pending.size() && !IsControl(m_pending.at(i)))
        ++i;
    if (i < m_pending.size()) {
        // Rare (transmissions, unframed bytes): the rest of the line anew.
        const QString rest = m_pending.mid(i);
        m_pending.truncate(i);
        for (const QChar c : rest) {
            if (IsControl(c))
                m_pending.append(ControlText(c.unicode()));
            else
                m_pending.append(c);
        }
    }
    ++m_pendingLines;
    if (!m_flushTimer.isActive()) {
        // At once after a quiet spell, else one frame after the last batch.
        const qint64 since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : kFlushMs;
        m_flushTimer.start(since >= kFlushMs ? 0 : int(kFlushMs - since));
    }
}

void TLogView::Flush() {
    m_flushTimer.stop();
    if (m_pendingLines == 0)
        return;
    m_flushing = true;
    appendPlainText(m_pending); // also drops the oldest lines beyond kMaxLines
    m_flushing = false;
    m_pending.resize(0); // keeps its capacity for the next batch
    m_pendingLines = 0;
    m_sinceFlush.start();
}

void TLogView::Clear() {
    DropPending();
    clear();
}

void TLogView::DropPending() {
    m_flushTimer.stop();
    m_pending.resize(0);
    m_pendingLines = 0;
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* event) {
    emit DoubleClicked();
    QPlainTextEdit::mouseDoubleClickEvent(event);
}

// The text view's own menu (Copy, Select All) with "Save Log As…" after it.
void TLogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createStandardContextMenu(event->pos());
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    menu->addAction(m_saveLogAs);
    menu->popup(event->globalPos());
}

TStatusPanel::TStatusPanel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    static std::once_flag installed;
    std::call_once(installed, [] { QAccessible::installFactory(StatusPanelAccessible); });
    setTextFormat(Qt::PlainText);
}

// The counters change with every request: a text of digits alone fits when
// it would at the widest digit's advance, which needs no layout of the text.
bool TStatusPanel::TextFits() const {
    const QString shown = text();
    const QFontMetrics fm = fontMetrics();
    const int room = TextRoom(*this).width();
    const bool digits =
        std::all_of(shown.begin(), shown.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (digits) {
        int widest = 0;
        for (char16_t d = u'0'; d <= u'9'; ++d)
            widest = std::max(widest, fm.horizontalAdvance(QChar(d)));
        if (shown.size() * widest <= room)
            return true;
    }
    return fm.horizontalAdvance(shown) <= room;
}

void TStatusPanel::ShowTip() {
    const QString tip = TextFits() ? QString() : text();
    if (toolTip() != tip)
        setToolTip(tip);
}

void TStatusPanel::paintEvent(QPaintEvent* event) {
    if (TextFits()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter p(this);
    drawFrame(&p);
    const QRect room = TextRoom(*this);
    style()->drawItemText(&p, room, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(),
                          fontMetrics().elidedText(text(), Qt::ElideMiddle, room.width()),
                          foregroundRole());
}

void TStatusPanel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    ShowTip();
}

void TStatusPanel::SetText(const QString& shown) {
    const QString before = text();
    if (before == shown)
        return;
    setText(shown);
    ShowTip();
    // A label with an accessible name tells nothing of a new text itself.
    if (QAccessible::isActive()) {
        QAccessibleTextUpdateEvent update(this, 0, before, shown);
        QAccessible::updateAccessibility(&update);
        QAccessibleValueChangeEvent value(this, shown);
        QAccessible::updateAccessibility(&value);
    }
}

TStatusLine::TStatusLine(QWidget* parent) : QStatusBar(parent) {
    setObjectName(QStringLiteral("StatusBar"));
    setSizeGripEnabled(false);
    setContentsMargins(0, 0, 0, 0);
    setAccessibleName(QStringLiteral("Status bar"));
    if (QLayout* l = layout()) {
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(0);
    }
    for (int i = 0; i < kPanelCount; ++i) {
        auto* panel = new TStatusPanel(QString::fromLatin1(kPanelDefs[i].text));
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panel->setFixedHeight(kStatusBarHeight);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setIndent(2);
        panel->setAccessibleName(QString::fromLatin1(kPanelDefs[i].name));
        // The last panel, the file name, takes the rest of the bar (99
        // pixels instead of 50; the example's name needs about 75).
        const bool last = i == kPanelCount - 1;
        if (last)
            panel->setMinimumWidth(kPanelDefs[i].width);
        else
            panel->setFixedWidth(kPanelDefs[i].width);
        addWidget(panel, last ? 1 : 0);
        m_panels[static_cast<std::size_t>(i)] = panel;
    }
}

void TStatusLine::SetPanel(int i, const QString& text) {
    if (i >= 0 && i < kPanelCount)
        Panel(i)->SetText(text);
}

void TStatusLine::mouseDoubleClickEvent(QMouseEvent* event) {
    emit DoubleClicked();
    QStatusBar::mouseDoubleClickEvent(event);
}
