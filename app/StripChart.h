// A live strip chart of the series in a TSeriesStore, drawn with QPainter.
//
// The store owns the samples; the chart only shows a time window of them.
// For each series it asks the store for one min/max per pixel column of the
// window (TSeriesStore::Columns) and draws one vertical stroke per column,
// joined to the next column with data unless a gap lies between: a frame
// costs the same for 10^3 or 10^6 samples.
//
// Live: the window ends at the newest sample and follows new ones; Pause
// (Space, or scrolling back) keeps it where it is, End goes back to live.
// Zoom in time with the mouse wheel or +/-, scroll by dragging or with
// Left/Right; Shift+Left/Right moves the cursor, Escape hides it. The cursor
// line (under the mouse) reads out its time and each series' value nearest
// to it in the legend above the plot.
//
// Scale: each series is drawn against its own visible min and max, so that
// readings of different sizes (a current and a speed) both fill the height;
// the legend gives each series' visible range beside its value, and the
// cursor reads exact values.
//
// Repaints: SamplesAdded() asks for one, and the chart draws at most once
// per TRepaintPacer::kFrameMs (50 a second) however fast samples come; a
// request within a frame of the last repaint is drawn when the frame is over.
//
// Times of at least 1e9 are taken as seconds since the Unix epoch and shown
// as the local time of day; smaller ones as seconds.
#pragma once

#include "app/link/SeriesStore.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <vector>

class TStripChart : public QWidget {
    Q_OBJECT

public:
    static constexpr double kMinSpanSeconds = 0.5;
    static constexpr double kMaxSpanSeconds = 7 * 24 * 3600.0;

    explicit TStripChart(const pmv::TSeriesStore& store, QWidget* parent = nullptr);

    // New samples are in the store: repaint (paced).
    void SamplesAdded();

    void SetPaused(bool paused);
    bool IsPaused() const { return m_paused; }
    // Follows the newest samples again.
    void BackToLive();

    // The shown window [WindowStart(), WindowEnd()).
    double WindowEnd() const;
    double WindowStart() const { return WindowEnd() - m_span; }
    double Span() const { return m_span; }
    void SetSpan(double seconds);
    // Zooms by factor (< 1 zooms in): paused, the time at x stays where it
    // is; live, the window keeps ending at the newest sample.
    void Zoom(double factor, double atX);
    // Moves the window by seconds (negative: back); leaves live.
    void Scroll(double seconds);

    // The cursor at a time (NaN hides it), and its readout: the time and each
    // series' "name = value" (or "gap", or "-" with no sample), one per line.
    void SetCursorTime(double time);
    double CursorTime() const { return m_cursor; }
    QString CursorReadout() const;

    // Writes what is shown as a PNG file, replacing path atomically; false
    // with a reason in *error when it cannot.
    bool SavePng(const QString& path, QString* error);

    // Repaints so far (for measurements).
    int Repaints() const { return m_repaints; }
    // The area the series are drawn in.
    QRect PlotRect() const;
    static QColor SeriesColour(int series);
    QString FormatTime(double time, double step) const;

signals:
    void PausedChanged(bool paused);

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    double TimeAtX(double x) const;
    double XAtTime(double time) const;
    int LegendEntryWidth() const;
    int LegendHeight() const;
    void DrawGrid(QPainter& p, const QRect& plot, double t0, double t1);
    void DrawSeries(QPainter& p, const QRect& plot, int series, double t0, double t1);
    void DrawLegend(QPainter& p);
    QString ValueText(int series, double at) const;

    const pmv::TSeriesStore& m_store;
    double m_span = 60.0;
    bool m_paused = false;
    double m_pausedEnd = 0; // the window's end while paused
    double m_cursor;        // NaN: no cursor
    bool m_dragging = false;
    double m_dragX = 0;
    QTimer m_frame; // a held-back repaint
    QElapsedTimer m_sinceRepaint;
    int m_repaints = 0;
    // Per-series visible range of the last frame, for the legend.
    std::vector<std::pair<double, double>> m_visible;
    std::vector<pmv::TSeriesStore::TColumn> m_columns;
};
