#include "app/SlotPanel.h"

#include "dialogs/Dlgutils.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleOptionGroupBox>
#include <QTabBar>

using namespace pmv;

namespace {

// Slot geometry on its page and inside its group box.
constexpr int kSlotPitchX = 123;
constexpr int kSlotPitchY = 47;
const QSize kSlotBoxSize(121, 48);
const QRect kGetButtonRect(5, 15, 25, 25);
const QRect kSetButtonRect(34, 15, 25, 25);
const QRect kEditRect(64, 15, 50, 21);

bool IsSlotIndex(int index) {
    return index >= 0 && index < kSlotCount;
}

// Setters that leave a widget alone when nothing changes, so that a full
// refresh of all 192 slots stays cheap.
void SetButton(QPushButton* b, const QString& caption, bool enabled) {
    if (b->text() != caption)
        b->setText(caption);
    b->setEnabled(enabled);
}

void SetEditText(QLineEdit* e, const QString& text) {
    if (e->text() != text) {
        TEditLimit::SetText(e, text); // whole, whatever the typing limit
        e->setCursorPosition(0);      // show the start of a long text
    }
}

void SetEdit(QLineEdit* e, const QString& text, bool enabled, bool readOnly, int maxLength) {
    // The maximum length limits typing and pasting only; a value the program
    // shows (a long reply, a wide number) stays whole.
    const auto* limit = qobject_cast<const TEditLimit*>(e->validator());
    if (!limit || limit->MaxLength() != maxLength) {
        delete limit;
        TEditLimit::Install(e, maxLength);
    }
    SetEditText(e, text);
    e->setEnabled(enabled);
    e->setReadOnly(readOnly);
}

QColor GreyTextColour() {
    return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

// Shift+F10 asks for the context menu from the keyboard, as the menu key
// does. The desktop platforms this runs on deliver the menu key as a context
// menu request but leave Shift+F10 a plain key.
bool IsMenuShortcut(const QKeyEvent* event) {
    return event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier;
}

// A keyboard context menu request on w, placed as the toolkit places one.
void RequestMenuFromKeyboard(QWidget* w) {
    const QPoint pos = w->inputMethodQuery(Qt::ImCursorRectangle).toRect().center();
    QContextMenuEvent request(QContextMenuEvent::Keyboard, pos, w->mapToGlobal(pos));
    QApplication::sendEvent(w, &request);
}

// Look of the slot panel: tabs with less padding, so that the eight default
// captions fit side by side, and group boxes whose frame runs through the
// middle of an indented title.
class TPanelStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_TabBarTabHSpace)
            return 12;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        QRect r = QProxyStyle::subControlRect(control, option, sub, widget);
        if (control == CC_GroupBox && sub == SC_GroupBoxLabel)
            r.translate(kGroupTitleIndent, 0);
        return r;
    }

    // Whether the box's title is too long for it: it then ends in an
    // ellipsis before the frame. label: the title's rectangle; room: the
    // width it may take.
    bool TitleElided(const QStyleOptionGroupBox& box, const QWidget* widget, QRect* label = nullptr,
                     int* room = nullptr) const {
        if (box.text.isEmpty())
            return false;
        const QRect r = subControlRect(CC_GroupBox, &box, SC_GroupBoxLabel, widget);
        const int width = box.rect.width() - r.left() - kGroupTitleIndent;
        if (label)
            *label = r;
        if (room)
            *room = width;
        return r.width() > width;
    }

    // An etched frame whose top line runs through the middle of the title.
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        if (control != CC_GroupBox || !box) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const bool hasTitle = !box->text.isEmpty();
        QRect label;
        int room = 0;
        QString title = box->text;
        if (TitleElided(*box, widget, &label, &room)) {
            title = box->fontMetrics.elidedText(title, Qt::ElideRight, room);
            label.setWidth(room);
        }
        painter->save();
        if (hasTitle)
            painter->setClipRegion(QRegion(box->rect) - label.adjusted(-2, 0, 1, 0));
        const QRect frame = box->rect.adjusted(0, box->fontMetrics.height() / 2, -2, -2);
        painter->setBrush(Qt::NoBrush);
        painter->setPen(box->palette.color(QPalette::Light));
        painter->drawRect(frame.translated(1, 1));
        painter->setPen(box->palette.color(QPalette::Mid));
        painter->drawRect(frame);
        painter->restore();
        if (hasTitle) {
            int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic;
            if (!styleHint(SH_UnderlineShortcut, option, widget))
                flags |= Qt::TextHideMnemonic;
            drawItemText(painter, label, flags, box->palette, box->state & State_Enabled, title,
                         QPalette::WindowText);
        }
    }

private:
    static constexpr int kGroupTitleIndent = 6;
};

} // namespace

// ---- The slot widgets -----------------------------------------------------------------
//
// Each knows its slot and hands its events to the panel before its own
// handling, whether or not it is enabled (a disabled widget still sees its
// events here; the toolkit only keeps them from its handlers).

template <class TWidget> class TSlotPanel::TSlotWidget : public TWidget {
public:
    TSlotWidget(std::shared_ptr<TTie> tie, int index, QWidget* parent)
        : TWidget(parent), m_tie(std::move(tie)), m_index(index) {}

protected:
    TSlotPanel* Panel() const { return m_tie->panel; }
    bool event(QEvent* e) override {
        TSlotPanel* panel = Panel();
        return (panel && panel->SlotEvent(m_index, this, e)) || TWidget::event(e);
    }

    std::shared_ptr<TTie> m_tie;
    int m_index;
};

class TSlotPanel::TSlotBox : public TSlotWidget<QGroupBox> {
public:
    using TSlotWidget::TSlotWidget;

    QStyleOptionGroupBox StyleOption() const {
        QStyleOptionGroupBox option;
        initStyleOption(&option);
        return option;
    }
};

class TSlotPanel::TSlotButton : public TSlotWidget<QPushButton> {
public:
    using TSlotWidget::TSlotWidget;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (IsMenuShortcut(e))
            RequestMenuFromKeyboard(this);
        else
            QPushButton::keyPressEvent(e);
    }
};

class TSlotPanel::TSlotEdit : public TSlotWidget<QLineEdit> {
public:
    using TSlotWidget::TSlotWidget;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (TSlotPanel* panel = Panel())
            emit panel->EditKeyPressed(m_index, e->key());
        if (IsMenuShortcut(e))
            RequestMenuFromKeyboard(this);
        else
            QLineEdit::keyPressEvent(e);
    }
    void focusOutEvent(QFocusEvent* e) override {
        // Switching to another application or opening a menu is not leaving
        // the edit.
        const Qt::FocusReason reason = e->reason();
        TSlotPanel* panel = Panel();
        if (panel && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            emit panel->EditExited(m_index);
        QLineEdit::focusOutEvent(e);
    }
};

// ---- Construction ---------------------------------------------------------------------

TSlotPanel::TSlotPanel(QWidget* parent)
    : QTabWidget(parent), m_tie(std::make_shared<TTie>(TTie{this})) {
    setObjectName(QStringLiteral("CmdsPageControl"));
    m_style = new TPanelStyle;
    m_style->setParent(this);
    tabBar()->setStyle(m_style);
    const TPageCaptions captions = DefaultPageCaptions();
    for (int p = 0; p < kPageCount; ++p) {
        auto* page = new QWidget;
        page->setObjectName(QStringLiteral("CmdPage%1TabSheet").arg(p + 1));
        addTab(page, FromLatin1(captions[p]));
    }
    for (int i = 0; i < kSlotCount; ++i)
        BuildSlot(i, widget(SlotPage(i)));
    setCurrentIndex(0);
}

TSlotPanel::~TSlotPanel() {
    m_tie->panel = nullptr;
}

void TSlotPanel::BuildSlot(int index, QWidget* page) {
    const QString n = QString::number(index + 1);
    const QString number = QStringLiteral("Slot %1").arg(index + 1);

    auto* box = new TSlotBox(m_tie, index, page);
    box->setObjectName(QLatin1String("Cmd") + n + QLatin1String("GroupBox"));
    box->setGeometry(
        QRect(QPoint(kSlotPitchX * SlotColumn(index), kSlotPitchY * SlotRow(index)), kSlotBoxSize));
    box->setAccessibleName(number);
    box->setStyle(m_style);

    // Tab order within the slot follows creation: Get, Set, edit.
    auto* get = new TSlotButton(m_tie, index, box);
    get->setObjectName(QLatin1String("Cmd") + n + QLatin1String("GetButton"));
    get->setGeometry(kGetButtonRect);
    get->setAccessibleName(number + QLatin1String(" Get"));
    get->setEnabled(false);
    connect(get, &QPushButton::clicked, this, [this, index] { emit GetClicked(index); });

    auto* set = new TSlotButton(m_tie, index, box);
    set->setObjectName(QLatin1String("Cmd") + n + QLatin1String("SetButton"));
    set->setGeometry(kSetButtonRect);
    set->setAccessibleName(number + QLatin1String(" Set"));
    set->setEnabled(false);
    connect(set, &QPushButton::clicked, this, [this, index] { emit SetClicked(index); });

    auto* edit = new TSlotEdit(m_tie, index, box);
    edit->setObjectName(QLatin1String("Cmd") + n + QLatin1String("Edit"));
    edit->setGeometry(kEditRect);
    edit->setAccessibleName(number + QLatin1String(" value"));
    TEditLimit::Install(edit, kNumericEditMaxLength);
    edit->setEnabled(false);

    TSlot& s = m_slots[index];
    s.box = box;
    s.titledBox = box;
    s.get = get;
    s.set = set;
    s.edit = edit;
}

// ---- Events ---------------------------------------------------------------------------

bool TSlotPanel::SlotEvent(int index, QWidget* widget, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        // Whatever the button: a right click selects before its menu opens.
        m_selectedSlot = index;
        return false;
    case QEvent::FontChange:
    case QEvent::StyleChange:
        // The room for the caption may have changed.
        if (widget == m_slots[index].box)
            ShowCaptionTip(index);
        return false;
    case QEvent::ContextMenu: {
        const auto* request = static_cast<QContextMenuEvent*>(event);
        // From the keyboard the request goes to the widget with the focus:
        // the menu then acts on that slot.
        if (request->reason() == QContextMenuEvent::Keyboard)
            m_selectedSlot = index;
        // The group box opens the slot popup. An enabled button lets the
        // request go on to its box, an enabled edit opens its own menu; a
        // disabled widget (as on an undefined slot) opens the slot popup.
        if (widget == m_slots[index].box || !widget->isEnabled()) {
            emit SlotMenuRequested(request->globalPos());
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

void TSlotPanel::contextMenuEvent(QContextMenuEvent* event) {
    // A right click on a tab makes that page the one the popup acts on.
    if (event->reason() == QContextMenuEvent::Mouse) {
        const int tab = tabBar()->tabAt(tabBar()->mapFrom(this, event->pos()));
        if (tab >= 0)
            setCurrentIndex(tab);
    }
    emit PageMenuRequested(event->globalPos());
    event->accept();
}

// ---- Showing records ------------------------------------------------------------------

void TSlotPanel::ClearSlot(int index) {
    if (!IsSlotIndex(index))
        return;
    SetButton(m_slots[index].get, QString(), false);
    SetButton(m_slots[index].set, QString(), false);
}

void TSlotPanel::ShowSlot(int index, const TCmdRecord& r) {
    if (!IsSlotIndex(index))
        return;
    const TSlot& c = m_slots[index];

    if (!r.defined()) {
        // Button captions, read-only state, maximum length and colours stay.
        c.get->setEnabled(false);
        c.set->setEnabled(false);
        c.edit->setEnabled(false);
        ::SetEditText(c.edit, QString());
        SetCaption(index, QString());
        return;
    }

    SetCaption(index, FromLatin1(r.cmd_descr.empty() ? r.cmd_str : r.cmd_descr));
    // The edit keeps the system window-text colour: only the caption is coloured.

    const QString value = QString::number(r.val_start);
    switch (r.cmd_type) {
    case ctCommand:
        SetButton(c.get, QString(), false);
        SetButton(c.set, QStringLiteral("Tx"), true);
        SetEdit(c.edit, QString(), false, false, kNumericEditMaxLength);
        break;
    case ctCommandValue:
        SetButton(c.get, QString(), false);
        SetButton(c.set, QStringLiteral("Tx"), true);
        SetEdit(c.edit, value, true, false, kNumericEditMaxLength);
        break;
    case ctCommandString:
        SetButton(c.get, QString(), false);
        SetButton(c.set, QStringLiteral("Tx"), true);
        SetEdit(c.edit, FromLatin1(r.str), true, false, kStringEditMaxLength);
        break;
    case ctParamGet:
        SetButton(c.get, QStringLiteral("G"), true);
        SetButton(c.set, QString(), false);
        SetEdit(c.edit, QStringLiteral("0"), true, true, kNumericEditMaxLength);
        break;
    case ctParamSet:
        SetButton(c.get, QString(), false);
        SetButton(c.set, QStringLiteral("S"), true);
        SetEdit(c.edit, value, true, false, kNumericEditMaxLength);
        break;
    case ctParamGetSet:
        SetButton(c.get, QStringLiteral("G"), true);
        SetButton(c.set, QStringLiteral("S"), true);
        SetEdit(c.edit, value, true, false, kNumericEditMaxLength);
        break;
    default:
        // An unknown kind leaves the buttons and the edit as they are.
        break;
    }

    if (r.has(Disabled)) {
        c.get->setEnabled(false);
        c.set->setEnabled(false);
        c.edit->setEnabled(false);
        SetCaptionColour(index, GreyTextColour());
    } else {
        SetCaptionColour(index, SlotColourToQColor(r.colour, QApplication::palette()));
    }
}

void TSlotPanel::SetCaption(int index, const QString& caption) {
    TSlot& s = m_slots[index];
    if (s.caption == caption)
        return;
    s.caption = caption;
    s.box->setTitle(caption);
    ShowCaptionTip(index);
    s.box->setAccessibleDescription(caption);
    s.get->setAccessibleDescription(caption);
    s.set->setAccessibleDescription(caption);
    s.edit->setAccessibleDescription(caption);
}

// A caption too long for its box ends in an ellipsis; the box's tooltip then
// shows it whole (as plain text, whatever characters it holds).
void TSlotPanel::ShowCaptionTip(int index) {
    const TSlot& s = m_slots[index];
    const auto* style = static_cast<const TPanelStyle*>(m_style);
    QString tip;
    if (style->TitleElided(s.titledBox->StyleOption(), s.box))
        tip = Qt::mightBeRichText(s.caption) ? Qt::convertFromPlainText(s.caption) : s.caption;
    if (s.box->toolTip() != tip)
        s.box->setToolTip(tip);
}

void TSlotPanel::SetCaptionColour(int index, const QColor& colour) {
    if (!IsSlotIndex(index))
        return;
    TSlot& s = m_slots[index];
    const QRgb rgb = colour.rgba();
    if (s.captionColourSet && s.captionRgb == rgb)
        return;
    s.captionColourSet = true;
    s.captionRgb = rgb;
    // The title is drawn in the group box's window-text colour; the buttons
    // and the edit use other palette roles and keep the system colours.
    QPalette p = s.box->palette();
    p.setColor(QPalette::WindowText, colour);
    s.box->setPalette(p);
}

QColor TSlotPanel::CaptionColour(int index) const {
    if (!IsSlotIndex(index))
        return QColor();
    return m_slots[index].box->palette().color(QPalette::WindowText);
}

QString TSlotPanel::EditText(int index) const {
    return IsSlotIndex(index) ? m_slots[index].edit->text() : QString();
}

void TSlotPanel::SetEditText(int index, const QString& text) {
    if (IsSlotIndex(index))
        ::SetEditText(m_slots[index].edit, text);
}

int TSlotPanel::EditMaxLength(int index) const {
    if (!IsSlotIndex(index))
        return 0;
    const QLineEdit* e = m_slots[index].edit;
    if (const auto* limit = qobject_cast<const TEditLimit*>(e->validator()))
        return limit->MaxLength();
    return e->maxLength();
}

// ---- Pages ----------------------------------------------------------------------------

std::string TSlotPanel::PageCaption(int page) const {
    if (page < 0 || page >= kPageCount)
        return {};
    return ToLatin1(tabText(page));
}

void TSlotPanel::SetPageCaption(int page, const std::string& caption) {
    if (page >= 0 && page < kPageCount)
        setTabText(page, FromLatin1(caption));
}
