// Every text of the window and its dialogs fits the control that shows it:
// the width the control's font gives the text against the room the control
// draws it in, with the example configuration loaded and the longest status
// texts shown. Drop-down lists open at most 8 lines. ctest runs the binary at
// scale 1 and again at scale 2 (QT_SCALE_FACTOR).
#include "app/FormWidgets.h"
#include "app/Mainfrm.h"
#include "comport/LnkText.h"
#include "dialogs/Dlgutils.h"
#include "tests/app/WindowProbe.h"
#include "tests/comport/PtyFixture.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QtMath>

#include <climits>

using namespace pmv;

namespace {

constexpr int kDropDownLines = 8;
// Number fields (values, limits) must show all they can hold; longer text
// fields scroll as the operator types, as any edit does.
constexpr int kNumberFieldLength = 6;

QString Shown(QString text) {
    return text.replace(QLatin1String("&&"), QLatin1String("\x01"))
        .remove(QLatin1Char('&'))
        .replace(QLatin1Char('\x01'), QLatin1Char('&'));
}

QString Name(const QWidget* w) {
    if (!w->objectName().isEmpty())
        return w->objectName();
    const QWidget* p = w->parentWidget();
    return QLatin1String(w->metaObject()->className()) + QLatin1String(" in ") +
           (p ? Name(p) : QStringLiteral("nothing"));
}

int Width(const QWidget* w, const QString& text) {
    return qCeil(QFontMetricsF(w->font(), w).horizontalAdvance(Shown(text)));
}

// Operator texts of any length (slot captions, the file name): one too long
// for its control ends in an ellipsis and is shown whole as the tooltip.
bool ShowsOperatorText(const QWidget* w) {
    static const QRegularExpression names(QStringLiteral("^(Cmd\\d+GroupBox|StatusPanel7)$"));
    return names.match(w->objectName()).hasMatch();
}

class TFitCheck {
public:
    // Checks every widget of root shown now.
    void Walk(QWidget* root) {
        QList<QWidget*> all = root->findChildren<QWidget*>();
        all.prepend(root);
        for (QWidget* w : all)
            if (w->isVisible())
                Check(w);
    }
    QString Report() const { return m_misfits.join(QLatin1Char('\n')); }

private:
    // text drawn from room.left() on, room in w's coordinates.
    void Fit(const QWidget* w, const QString& text, int need, const QRect& room) {
        const QString what = QStringLiteral("%1 \"%2\": needs %3 px").arg(Name(w), text);
        if (need > room.width() && !(ShowsOperatorText(w) && w->toolTip() == text))
            m_misfits << what.arg(need) + QStringLiteral(", has %1").arg(room.width());
        // A text in a group box ends clear of its frame: the frame line and
        // as much again.
        if (const auto* box = qobject_cast<const QGroupBox*>(w->parentWidget())) {
            const int right = w->x() + room.left() + std::min(need, room.width());
            const int inside =
                box->width() - 2 * box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
            if (right > inside)
                m_misfits << what.arg(need) + QStringLiteral(", runs %1 px into the frame of %2")
                                                  .arg(right - inside)
                                                  .arg(Name(box));
        }
    }

    void Check(QWidget* w) {
        QStyle* style = w->style();
        if (auto* l = qobject_cast<QLabel*>(w); l && !l->text().isEmpty()) {
            QRect r = l->contentsRect().marginsRemoved(QMargins(l->margin(), 0, l->margin(), 0));
            int indent = l->indent();
            if (indent < 0 && l->frameWidth() > 0)
                indent = l->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2;
            if (indent > 0 && (l->alignment() & Qt::AlignHCenter) == 0)
                r.setLeft(r.left() + indent);
            Fit(l, l->text(), Width(l, l->text()), r);
        } else if (auto* b = qobject_cast<QPushButton*>(w); b && !b->text().isEmpty()) {
            QStyleOptionButton o;
            o.initFrom(b);
            o.text = b->text();
            o.icon = b->icon();
            o.iconSize = b->iconSize();
            o.features =
                b->isDefault() ? QStyleOptionButton::DefaultButton : QStyleOptionButton::None;
            const int icon = b->icon().isNull() ? 0 : b->iconSize().width() + 4;
            Fit(b, b->text(), Width(b, b->text()) + icon,
                style->subElementRect(QStyle::SE_PushButtonContents, &o, b));
        } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
            QStyleOptionButton o;
            o.initFrom(c);
            o.text = c->text();
            Fit(c, c->text(), Width(c, c->text()),
                style->subElementRect(QStyle::SE_CheckBoxContents, &o, c));
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            const auto* limit = qobject_cast<const TEditLimit*>(e->validator());
            if ((limit ? limit->MaxLength() : e->maxLength()) > kNumberFieldLength)
                return;
            QStyleOptionFrame o;
            o.initFrom(e);
            o.rect = e->contentsRect();
            o.lineWidth =
                e->hasFrame() ? style->pixelMetric(QStyle::PM_DefaultFrameWidth, &o, e) : 0;
            // QLineEdit keeps 2 px each side, and 1 px for the cursor after the text.
            const QRect r = style->subElementRect(QStyle::SE_LineEditContents, &o, e)
                                .marginsRemoved(e->textMargins())
                                .adjusted(2, 0, -2, 0);
            Fit(e, e->text(), Width(e, e->text()) + 1, r);
        } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
            QStyleOptionComboBox o;
            o.initFrom(cb);
            o.editable = cb->isEditable();
            o.frame = cb->hasFrame();
            o.iconSize = cb->iconSize();
            o.subControls = QStyle::SC_All;
            const QRect field =
                style->subControlRect(QStyle::CC_ComboBox, &o, QStyle::SC_ComboBoxEditField, cb);
            for (int i = 0; i < cb->count(); ++i) {
                // The style draws the icon, 4 px, then the text 1 px further in,
                // clipped to the field.
                const int icon = cb->itemIcon(i).isNull() ? 0 : cb->iconSize().width() + 4;
                Fit(cb, cb->itemText(i), Width(cb, cb->itemText(i)) + icon + 1, field);
            }
            CheckDropDown(cb);
        } else if (auto* g = qobject_cast<QGroupBox*>(w); g && !g->title().isEmpty()) {
            QStyleOptionGroupBox o;
            o.initFrom(g);
            o.text = g->title();
            o.lineWidth = 1;
            o.textAlignment = g->alignment();
            o.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QRect label =
                style->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, g);
            // Up to the frame's right line.
            Fit(g, g->title(), Width(g, g->title()),
                QRect(label.left(), 0, g->width() - 2 - label.left(), 1));
        } else if (auto* t = qobject_cast<QTabBar*>(w)) {
            QStyleOptionTab o;
            o.initFrom(t);
            const int space = style->pixelMetric(QStyle::PM_TabBarTabHSpace, &o, t);
            for (int i = 0; i < t->count(); ++i) {
                const QRect r = t->tabRect(i).intersected(t->rect());
                Fit(t, t->tabText(i), Width(t, t->tabText(i)) + space, r);
            }
        }
    }

    void CheckDropDown(QComboBox* cb) {
        if (cb->count() <= kDropDownLines && cb->maxVisibleItems() <= kDropDownLines)
            return;
        cb->showPopup();
        const QAbstractItemView* view = cb->view();
        const int row = std::max(1, view->sizeHintForRow(0));
        const int lines = (view->viewport()->height() + row - 1) / row;
        if (lines > kDropDownLines)
            m_misfits << QStringLiteral("%1 opens %2 lines").arg(Name(cb)).arg(lines);
        cb->hidePopup();
    }

    QStringList m_misfits;
};

// The longest status texts: an open port with the widest settings, the
// counters at the most they show.
void ShowLongestStatus(const TMainForm& form) {
    auto* status = form.findChild<TStatusLine*>(QStringLiteral("StatusBar"));
    ASSERT_TRUE(status);
    QString widest;
    const QFontMetrics fm = status->Panel(0)->fontMetrics();
    for (int port = 1; port <= 32; ++port)
        for (int p = QORLNK::paNone; p <= QORLNK::paSpace; ++p)
            for (int s = QORLNK::sb1; s <= QORLNK::sb2; ++s) {
                const QString text = QString::asprintf(
                    "COM%d: %s 8 %s %s", port, QORLNK::BaudRateStr(QORLNK::br115200).c_str(),
                    QORLNK::ParityStr(QORLNK::TParity(p)).c_str(),
                    QORLNK::StopBitsStr(QORLNK::TStopBits(s)).c_str());
                if (fm.horizontalAdvance(text) > fm.horizontalAdvance(widest))
                    widest = text;
            }
    status->SetPanel(0, widest);
    status->SetPanel(2, QString::number(INT_MAX));
    status->SetPanel(4, QString::number(INT_MAX));
    status->SetPanel(6, QStringLiteral("99999")); // over five hours of time-outs
}

class TextFitTest : public ::testing::Test {
protected:
    void SetUp() override {
        form = std::make_unique<TMainForm>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get(), pmvtest::Scaled(pmvtest::kWaitMs)));
        form->LoadConfigFromFile(QStringLiteral(PMV_EXAMPLES_DIR "/qxm300-pump.ini"));
        ASSERT_EQ(apptest::StatusText(*form, 7), QStringLiteral("qxm300-pump.ini"));
        ShowLongestStatus(*form);
    }

    comporttest::DeviceMapEnv noPorts; // every port absent: nothing is opened
    std::unique_ptr<TMainForm> form;
};

TEST_F(TextFitTest, RunsAtTheScaleAsked) {
    const int scale = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                          ? qEnvironmentVariableIntValue("QT_SCALE_FACTOR")
                          : 1;
    EXPECT_EQ(form->devicePixelRatio(), scale);
}

TEST_F(TextFitTest, MainWindowOnEveryPage) {
    TFitCheck check;
    for (int page = 0; page < kPageCount; ++page) {
        apptest::Panel(*form)->setCurrentIndex(page);
        check.Walk(form.get());
    }
    EXPECT_EQ(check.Report(), QString());
}

TEST_F(TextFitTest, EveryDialog) {
    const struct {
        const char* item;
        int slot; // selected first
    } rows[] = {
        {"COMSettings", 0},
        {"Edit", 4}, // "Speed setpoint [rpm]", a get/set parameter
        {"EditTitle", 0},
        {"About", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.item);
        apptest::SelectSlot(*form, row.slot);
        QString report = QStringLiteral("not walked");
        test::WhenModal([&](QWidget* dialog) {
            TFitCheck check;
            check.Walk(dialog);
            report = check.Report();
            dialog->close();
        });
        apptest::Item(*form, row.item)->trigger();
        EXPECT_EQ(report, QString());
    }
}

} // namespace
