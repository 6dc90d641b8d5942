#include "app/RepaintPacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

TRepaintPacer::TRepaintPacer(QWidget* window) : QObject(window), m_window(window) {
    m_frame.setSingleShot(true);
    m_frame.setTimerType(Qt::PreciseTimer);
    connect(&m_frame, &QTimer::timeout, this, [this] { Repaint(); });
    m_window->installEventFilter(this);
}

bool TRepaintPacer::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_window || event->type() != QEvent::UpdateRequest || m_repainting)
        return false;
    if (!m_sinceRepaint.isValid() || m_sinceRepaint.elapsed() >= kFrameMs) {
        m_sinceRepaint.start();
        ++m_repaints;
        return false; // repaint now
    }
    // Held back: Qt keeps the changed regions and sends no further request
    // until the window has repainted.
    ++m_heldBack;
    if (!m_frame.isActive())
        m_frame.start(int(kFrameMs - m_sinceRepaint.elapsed()));
    return true;
}

void TRepaintPacer::Repaint() {
    m_sinceRepaint.start();
    ++m_repaints;
    m_repainting = true;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(m_window, &request);
    m_repainting = false;
}
