// Paces the repainting of one top-level window: at most one repaint per
// frame interval, however often its widgets change.
//
// Widgets keep their state current at every change (a log line is in the
// document, a status text in its label, an edit's text in the edit the
// moment it is set); only the drawing waits. Qt collects the regions that
// changed and asks the window to repaint them with one update request per
// event-loop turn. While a request comes within a frame interval of the last
// repaint, the pacer holds it back, and Qt keeps collecting; when the interval
// is over, one repaint draws everything that changed meanwhile. A request
// after a quiet spell repaints at once, so a single click is shown without
// delay; a Get All run of a few hundred requests costs a few repaints instead
// of one per reply.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

class TRepaintPacer : public QObject {
public:
    static constexpr int kFrameMs = 20; // 50 repaints a second at most

    // Paces `window` (a top-level widget) for as long as both exist.
    explicit TRepaintPacer(QWidget* window);

    // Repaints what has changed now, whatever the frame: the end of a run of
    // changes is shown without waiting for the next frame.
    void RepaintNow() {
        m_frame.stop();
        Repaint();
    }

    // Repaints so far, and update requests held back (for measurements).
    int Repaints() const { return m_repaints; }
    int HeldBack() const { return m_heldBack; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Repaint();

    QWidget* m_window;
    QTimer m_frame;
    QElapsedTimer m_sinceRepaint;
    bool m_repainting = false;
    int m_repaints = 0;
    int m_heldBack = 0;
};
