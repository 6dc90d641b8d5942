#include "app/FormWidgets.h"

#include <QAction>
#include <QEvent>
#include <QLabel>
#include <QLayout>

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
}

void TLogView::AppendLine(const QString& line) {
    QString shown = line;
    for (QChar& c : shown) {
        const char16_t u = c.unicode();
        if (u < 0x20 && u != u'\t')
            c = QChar(char16_t(0x2400 + u));
        else if (u == 0x7F)
            c = QChar(char16_t(0x2421));
    }
    appendPlainText(shown);
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* event) {
    emit DoubleClicked();
    QPlainTextEdit::mouseDoubleClickEvent(event);
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
        auto* panel = new QLabel(QString::fromLatin1(kPanelDefs[i].text));
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panel->setFixedSize(kPanelDefs[i].width, kStatusBarHeight);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setIndent(2);
        panel->setAccessibleName(QString::fromLatin1(kPanelDefs[i].name));
        addWidget(panel);
        m_panels[static_cast<std::size_t>(i)] = panel;
    }
}

void TStatusLine::SetPanel(int i, const QString& text) {
    if (i >= 0 && i < kPanelCount)
        Panel(i)->setText(text);
}

void TStatusLine::mouseDoubleClickEvent(QMouseEvent* event) {
    emit DoubleClicked();
    QStatusBar::mouseDoubleClickEvent(event);
}
