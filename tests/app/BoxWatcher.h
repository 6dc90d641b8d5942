// Watches for message boxes while a window test runs: records each box
// (title, icon, text, buttons) and closes it with the next queued answer,
// with OK when none is queued, or with the Escape key when asked to.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <deque>
#include <functional>

class TBoxWatcher {
public:
    struct TSeen {
        QString title;
        QMessageBox::Icon icon;
        QString text;
        QMessageBox::StandardButtons buttons;
    };
    QList<TSeen> seen;
    std::deque<QMessageBox::StandardButton> answers;
    bool escape = false;         // close boxes with the Escape key instead
    std::function<void()> onBox; // runs for each box before it is closed

    TBoxWatcher() {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }

    QStringList Texts(QMessageBox::Icon icon) const {
        QStringList out;
        for (const TSeen& s : seen)
            if (s.icon == icon)
                out.append(s.text);
        return out;
    }

private:
    void Poll() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible() || m_closing.contains(box))
                continue;
            seen.append({box->windowTitle(), box->icon(), box->text(), box->standardButtons()});
            m_closing.append(box);
            if (onBox)
                onBox();
            if (escape) {
                QTest::keyClick(box, Qt::Key_Escape);
                continue;
            }
            QMessageBox::StandardButton answer = QMessageBox::Ok;
            if (!answers.empty()) {
                answer = answers.front();
                answers.pop_front();
            }
            if (QAbstractButton* b = box->button(answer))
                b->click();
            else
                box->done(answer);
        }
    }

    QTimer m_timer;
    QList<QPointer<QMessageBox>> m_closing;
};
