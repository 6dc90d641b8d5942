#include "app/StripChart.h"

#include "app/RepaintPacer.h"
#include "dialogs/Dlgutils.h"

#include <QDateTime>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kMargin = 6;
constexpr int kDotSpacing = 8;         // pixels between samples from which each one is marked
constexpr double kWallClockFrom = 1e9; // seconds since the epoch: September 2001

// Grid steps in seconds, one of which keeps the labels apart.
constexpr std::array<double, 22> kSteps = {0.1,  0.2,   0.5,   1,     2,     5,     10,   15,
                                           30,   60,    120,   300,   600,   900,   1800, 3600,
                                           7200, 10800, 21600, 43200, 86400, 172800};

} // namespace

TStripChart::TStripChart(const pmv::TSeriesStore& store, QWidget* parent)
    : QWidget(parent), m_store(store), m_cursor(kNaN) {
    setObjectName("WatchChart");
    setFont(pmv::DialogFont());
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(200, 120);
    m_frame.setSingleShot(true);
    m_frame.setTimerType(Qt::PreciseTimer);
    connect(&m_frame, &QTimer::timeout, this, [this] { update(); });
}

void TStripChart::SamplesAdded() {
    if (m_frame.isActive())
        return;
    if (!m_sinceRepaint.isValid() || m_sinceRepaint.elapsed() >= TRepaintPacer::kFrameMs)
        update();
    else
        m_frame.start(int(TRepaintPacer::kFrameMs - m_sinceRepaint.elapsed()));
}

void TStripChart::SetPaused(bool paused) {
    if (paused == m_paused)
        return;
    if (paused)
        m_pausedEnd = WindowEnd();
    m_paused = paused;
    emit PausedChanged(paused);
    update();
}

void TStripChart::BackToLive() {
    SetPaused(false);
}

double TStripChart::WindowEnd() const {
    if (m_paused)
        return m_pausedEnd;
    const pmv::TSeriesStore::TTimeRange range = m_store.TimeRange();
    return range.empty ? m_span : range.last;
}

void TStripChart::SetSpan(double seconds) {
    if (!std::isfinite(seconds))
        return;
    m_span = std::clamp(seconds, kMinSpanSeconds, kMaxSpanSeconds);
    update();
}

void TStripChart::Zoom(double factor, double atX) {
    const double anchor = TimeAtX(atX);
    const double end = WindowEnd();
    const double old = m_span;
    SetSpan(m_span * factor);
    if (m_paused && std::isfinite(anchor))
        m_pausedEnd = anchor + (end - anchor) * m_span / old;
}

void TStripChart::Scroll(double seconds) {
    if (!std::isfinite(seconds))
        return;
    SetPaused(true);
    m_pausedEnd += seconds;
    const pmv::TSeriesStore::TTimeRange range = m_store.TimeRange();
    if (!range.empty)
        m_pausedEnd = std::min(std::max(m_pausedEnd, range.first + kMinSpanSeconds), range.last);
    update();
}

void TStripChart::SetCursorTime(double time) {
    m_cursor = time;
    update();
}

QRect TStripChart::PlotRect() const {
    const int top = LegendHeight() + kMargin;
    const int axis = fontMetrics().height() + kMargin;
    return QRect(kMargin, top, std::max(1, width() - 2 * kMargin),
                 std::max(1, height() - top - axis - kMargin));
}

int TStripChart::LegendEntryWidth() const {
    // Wide enough for the longest name and a value with its range, so that
    // the legend keeps its layout while values change.
    const QFontMetrics fm = fontMetrics();
    int name = 0;
    for (int s = 0; s < m_store.SeriesCount(); ++s)
        name = std::max(name, fm.horizontalAdvance(QString::fromStdString(m_store.Name(s))));
    return fm.ascent() + name + fm.horizontalAdvance(" = -123456.789  [-123456 .. -123456]  ");
}

int TStripChart::LegendHeight() const {
    const QFontMetrics fm = fontMetrics();
    const int entry = LegendEntryWidth();
    const int perLine = std::max(1, (width() - 2 * kMargin) / entry);
    const int lines = 1 + (m_store.SeriesCount() + perLine - 1) / perLine;
    return kMargin + lines * fm.height();
}

double TStripChart::TimeAtX(double x) const {
    const QRect plot = PlotRect();
    return WindowStart() + (x - plot.left()) * m_span / plot.width();
}

double TStripChart::XAtTime(double time) const {
    const QRect plot = PlotRect();
    return plot.left() + (time - WindowStart()) * plot.width() / m_span;
}

QColor TStripChart::SeriesColour(int series) {
    // Eight colours apart in hue and lightness, readable on white.
    static const std::array<QColor, 8> colours = {
        QColor(0x1f, 0x5f, 0xbf), QColor(0xd6, 0x4b, 0x00), QColor(0x1a, 0x8a, 0x2e),
        QColor(0x8e, 0x2c, 0xc2), QColor(0x8c, 0x56, 0x2d), QColor(0xd0, 0x2a, 0x8a),
        QColor(0x00, 0x86, 0x8b), QColor(0x6b, 0x6b, 0x00)};
    return colours[std::size_t(series) % colours.size()];
}

QString TStripChart::FormatTime(double time, double step) const {
    if (!std::isfinite(time))
        return QString();
    if (time >= kWallClockFrom) {
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(qint64(std::llround(time * 1000)));
        if (step >= 86400)
            return at.toString("dd.MM. hh:mm");
        return at.toString(step < 1 ? "hh:mm:ss.zzz" : "hh:mm:ss");
    }
    const int decimals = step < 0.01 ? 3 : step < 0.1 ? 2 : step < 1 ? 1 : 0;
    return QString::number(time, 'f', decimals) + " s";
}

QString TStripChart::ValueText(int series, double at) const {
    const std::optional<pmv::TSeriesStore::TSample> sample = m_store.Nearest(series, at);
    if (!sample)
        return "-";
    if (sample->gap)
        return "gap";
    return QString::number(sample->value, 'g', 10);
}

QString TStripChart::CursorReadout() const {
    if (!std::isfinite(m_cursor))
        return QString();
    QString text = FormatTime(m_cursor, 0.001);
    for (int s = 0; s < m_store.SeriesCount(); ++s)
        text += '\n' + QString::fromStdString(m_store.Name(s)) + " = " + ValueText(s, m_cursor);
    return text;
}

bool TStripChart::SavePng(const QString& path, QString* error) {
    const QImage image = grab().toImage();
    QSaveFile file(path);
    QString reason;
    if (!file.open(QIODevice::WriteOnly))
        reason = file.errorString();
    else if (!image.save(&file, "PNG"))
        reason = file.error() != QFileDevice::NoError ? file.errorString()
                                                      : QStringLiteral("the image was not encoded");
    else if (!file.commit())
        reason = file.errorString();
    if (reason.isEmpty())
        return true;
    file.cancelWriting();
    if (error)
        *error = QString("Cannot save the chart to %1: %2").arg(path, reason);
    return false;
}

void TStripChart::paintEvent(QPaintEvent*) {
    m_sinceRepaint.start();
    ++m_repaints;
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    const QRect plot = PlotRect();
    const double t1 = WindowEnd(), t0 = t1 - m_span;
    DrawGrid(p, plot, t0, t1);
    m_visible.assign(std::size_t(m_store.SeriesCount()), {kNaN, kNaN});
    p.save();
    p.setClipRect(plot);
    p.setRenderHint(QPainter::Antialiasing);
    for (int s = 0; s < m_store.SeriesCount(); ++s)
        DrawSeries(p, plot, s, t0, t1);
    if (std::isfinite(m_cursor) && m_cursor >= t0 && m_cursor < t1) {
        const double x = XAtTime(m_cursor);
        p.setPen(QPen(palette().text().color(), 1, Qt::DashLine));
        p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    }
    p.restore();
    // The frame shows where the keys go.
    p.setPen(hasFocus() ? palette().highlight().color() : palette().mid().color());
    p.drawRect(plot.adjusted(0, 0, -1, -1));
    DrawLegend(p);
}

void TStripChart::DrawGrid(QPainter& p, const QRect& plot, double t0, double t1) {
    const QFontMetrics fm = fontMetrics();
    const int labelWidth = fm.horizontalAdvance("00:00:00.000") + 2 * kMargin;
    const double fit = std::max(1, plot.width() / labelWidth);
    double step = kSteps.back();
    for (double candidate : kSteps)
        if ((t1 - t0) / candidate <= fit) {
            step = candidate;
            break;
        }
    while ((t1 - t0) / step > fit) // beyond the table: whole days
        step *= 2;
    const QColor grid = palette().midlight().color();
    const int baseline = plot.bottom() + kMargin / 2 + fm.ascent();
    for (double t = std::ceil(t0 / step) * step; t < t1; t += step) {
        const int x = int(std::lround(plot.left() + (t - t0) * plot.width() / (t1 - t0)));
        p.setPen(grid);
        p.drawLine(x, plot.top(), x, plot.bottom());
        const QString label = FormatTime(t, step);
        const int w = fm.horizontalAdvance(label);
        const int left = std::clamp(x - w / 2, 0, std::max(0, width() - w));
        p.setPen(palette().text().color());
        p.drawText(left, baseline, label);
    }
}

void TStripChart::DrawSeries(QPainter& p, const QRect& plot, int series, double t0, double t1) {
    m_columns.resize(std::size_t(plot.width()));
    m_store.Columns(series, t0, t1, m_columns);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const pmv::TSeriesStore::TColumn& c : m_columns)
        if (c.hasData) {
            lo = std::min(lo, c.min);
            hi = std::max(hi, c.max);
        }
    if (lo > hi)
        return;
    m_visible[std::size_t(series)] = {lo, hi};
    const double pad = hi > lo ? (hi - lo) * 0.05 : std::max(std::abs(lo) * 0.05, 1.0);
    const double bottom = lo - pad, range = hi - lo + 2 * pad;
    const double yBottom = plot.bottom(), height = plot.height() - 1;
    const auto y = [&](double v) { return yBottom - (v - bottom) / range * height; };

    // A column next to the previous one with data is one upright bar from
    // the previous column's last value through its own min and max: no
    // slanted line, and cheap to fill however many samples lie behind it.
    // Columns with empty ones between them (a window zoomed in further than
    // the samples are apart) are joined by a smooth line.
    QVector<QRect> bars;
    QVector<QLineF> lines;
    QVector<QPointF> dots;
    bars.reserve(int(m_columns.size()));
    dots.reserve(int(m_columns.size()));
    bool joined = false; // the previous column with data joins on to the next
    std::size_t prevColumn = 0;
    double prevX = 0, prevY = 0;
    bool seenGap = false, firstData = true;
    for (std::size_t c = 0; c < m_columns.size(); ++c) {
        const pmv::TSeriesStore::TColumn& col = m_columns[c];
        seenGap = seenGap || col.hasGap;
        if (!col.hasData) {
            joined = joined && !col.hasGap;
            continue;
        }
        const int left = plot.left() + int(c);
        const double x = left + 1.0; // the middle of a bar two pixels wide
        if (firstData && !seenGap) {
            // From the last sample before the window, unless it is a gap.
            const auto before = m_store.LastBefore(series, t0);
            if (before && !before->gap)
                lines.append(QLineF(XAtTime(before->time), y(before->value), x, y(col.first)));
        }
        firstData = false;
        double top = y(col.max), bottom = y(col.min);
        if (joined && !col.hasGap) {
            if (c == prevColumn + 1) {
                top = std::min(top, prevY);
                bottom = std::max(bottom, prevY);
            } else {
                lines.append(QLineF(prevX, prevY, x, y(col.first)));
            }
        }
        dots.append(QPointF(x, y(col.hasGap ? col.min : col.first)));
        const int barTop = int(std::floor(top - 0.5));
        bars.append(QRect(left, barTop, 2, std::max(2, int(std::ceil(bottom + 0.5)) - barTop)));
        joined = !col.hasGap;
        prevColumn = c;
        prevX = x;
        prevY = y(col.last);
    }
    if (joined) {
        const auto after = m_store.FirstFrom(series, t1);
        if (after && !after->gap)
            lines.append(QLineF(prevX, prevY, XAtTime(after->time), y(after->value)));
    }
    const QColor colour = SeriesColour(series);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRects(bars);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour, 2);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.drawLines(lines);
    // Zoomed in so far that the samples lie apart, each one gets a dot: the
    // operator sees where the readings are and where the line only joins them.
    if (dots.size() * kDotSpacing <= plot.width()) {
        p.setPen(Qt::NoPen);
        for (const QPointF& dot : dots)
            p.drawEllipse(dot, 2.5, 2.5);
    }
    if (std::isfinite(m_cursor)) {
        const auto at = m_store.Nearest(series, m_cursor);
        if (at && !at->gap) {
            p.setBrush(SeriesColour(series));
            p.drawEllipse(QPointF(XAtTime(at->time), y(at->value)), 3, 3);
        }
    }
}

void TStripChart::DrawLegend(QPainter& p) {
    const QFontMetrics fm = fontMetrics();
    const int entry = LegendEntryWidth();
    const int perLine = std::max(1, (width() - 2 * kMargin) / entry);
    const bool cursor = std::isfinite(m_cursor);
    const pmv::TSeriesStore::TTimeRange range = m_store.TimeRange();
    p.setPen(palette().text().color());
    QString head = m_paused ? QStringLiteral("Paused") : QStringLiteral("Live");
    head += QString("   span %1")
                .arg(m_span >= 120 ? QString::number(m_span / 60, 'g', 4) + " min"
                                   : QString::number(m_span, 'g', 4) + " s");
    if (cursor)
        head += QString("   cursor %1").arg(FormatTime(m_cursor, 0.001));
    const QRect line(kMargin, kMargin, width() - 2 * kMargin, fm.height());
    p.drawText(line, Qt::AlignLeft, head);
    // The keys, where there is room for them.
    const QString keys = "Space pause   +/- zoom   Left/Right scroll   End live";
    if (fm.horizontalAdvance(head) + 3 * kMargin + fm.horizontalAdvance(keys) < line.width()) {
        p.setPen(palette().placeholderText().color());
        p.drawText(line, Qt::AlignRight, keys);
        p.setPen(palette().text().color());
    }
    for (int s = 0; s < m_store.SeriesCount(); ++s) {
        const int left = kMargin + (s % perLine) * entry;
        const int top = kMargin + (1 + s / perLine) * fm.height();
        const int box = fm.ascent() - 2;
        p.fillRect(QRect(left, top + (fm.height() - box) / 2, box, box), SeriesColour(s));
        const double at = cursor ? m_cursor : range.last;
        QString text = QString::fromStdString(m_store.Name(s)) + " = " +
                       (range.empty ? QStringLiteral("-") : ValueText(s, at));
        const auto [lo, hi] =
            m_visible.size() > std::size_t(s) ? m_visible[std::size_t(s)] : std::pair(kNaN, kNaN);
        if (std::isfinite(lo))
            text += QString("  [%1 .. %2]")
                        .arg(QString::number(lo, 'g', 6), QString::number(hi, 'g', 6));
        const QRect area(left + box + 4, top, std::min(entry, width() - left) - box - 8,
                         fm.height());
        p.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                   fm.elidedText(text, Qt::ElideRight, area.width()));
    }
}

void TStripChart::wheelEvent(QWheelEvent* event) {
    // 120 is one notch of a wheel; touchpads send parts of one.
    const int delta = event->angleDelta().y();
    if (delta == 0) {
        event->ignore();
        return;
    }
    Zoom(std::pow(0.8, delta / 120.0), event->position().x());
    event->accept();
}

void TStripChart::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
    m_dragging = true;
    m_dragX = event->position().x();
}

void TStripChart::mouseMoveEvent(QMouseEvent* event) {
    const double x = event->position().x();
    if (m_dragging && x != m_dragX) {
        Scroll((m_dragX - x) * m_span / PlotRect().width());
        m_dragX = x;
    }
    const QRect plot = PlotRect();
    SetCursorTime(plot.contains(event->position().toPoint()) ? TimeAtX(x) : kNaN);
}

void TStripChart::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_dragging = false;
    QWidget::mouseReleaseEvent(event);
}

void TStripChart::leaveEvent(QEvent* event) {
    if (!m_dragging)
        SetCursorTime(kNaN);
    QWidget::leaveEvent(event);
}

void TStripChart::keyPressEvent(QKeyEvent* event) {
    const QRect plot = PlotRect();
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
    case Qt::Key_Space:
        SetPaused(!m_paused);
        break;
    case Qt::Key_End:
        BackToLive();
        break;
    case Qt::Key_Home: {
        const pmv::TSeriesStore::TTimeRange range = m_store.TimeRange();
        if (!range.empty)
            Scroll(range.first + m_span - WindowEnd());
        break;
    }
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        Zoom(0.5, m_paused ? plot.center().x() : plot.right());
        break;
    case Qt::Key_Minus:
        Zoom(2.0, m_paused ? plot.center().x() : plot.right());
        break;
    case Qt::Key_Left:
    case Qt::Key_Right: {
        const double sign = event->key() == Qt::Key_Left ? -1 : 1;
        if (shift) {
            const double from = std::isfinite(m_cursor) ? m_cursor : TimeAtX(plot.center().x());
            SetCursorTime(std::clamp(from + sign * m_span / 50, WindowStart(), WindowEnd()));
        } else {
            Scroll(sign * m_span / 10);
        }
        break;
    }
    case Qt::Key_Escape:
        if (!std::isfinite(m_cursor))
            return QWidget::keyPressEvent(event);
        SetCursorTime(kNaN);
        break;
    default:
        return QWidget::keyPressEvent(event);
    }
    event->accept();
}

void TStripChart::focusInEvent(QFocusEvent* event) {
    update();
    QWidget::focusInEvent(event);
}

void TStripChart::focusOutEvent(QFocusEvent* event) {
    update();
    QWidget::focusOutEvent(event);
}
