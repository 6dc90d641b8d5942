#include "app/StripChart.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Two series over 100 s at 10 samples a second; "s0" times out from 40 s to
// 60 s.
class ChartTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_store.AddSeries("s0");
        m_store.AddSeries("s1");
        for (int i = 0; i < 1000; ++i) {
            const double t = i / 10.0;
            if (t < 40 || t >= 60)
                m_store.Append(0, t, std::round(1000 * std::sin(t / 5)));
            else if (t == 40)
                m_store.AppendGap(0, t);
            m_store.Append(1, t, std::round(500 * std::cos(t / 7)));
        }
        m_chart.resize(640, 320);
        m_chart.SetSpan(100);
        m_chart.SamplesAdded();
    }

    // True when a pixel of the plot's column at time t has the series' colour.
    bool ColumnShows(const QImage& image, double t, int series) {
        const QRect plot = m_chart.PlotRect();
        const int x =
            plot.left() + int((t - m_chart.WindowStart()) / m_chart.Span() * plot.width());
        const QColor want = TStripChart::SeriesColour(series);
        const double scale = image.devicePixelRatio(); // 2 under QT_SCALE_FACTOR=2
        for (int y = plot.top(); y <= plot.bottom(); ++y) {
            const QColor c = image.pixelColor(int(x * scale), int(y * scale));
            if (std::abs(c.red() - want.red()) + std::abs(c.green() - want.green()) +
                    std::abs(c.blue() - want.blue()) <
                40)
                return true;
        }
        return false;
    }

    pmv::TSeriesStore m_store;
    TStripChart m_chart{m_store};
};

TEST_F(ChartTest, DrawsEachSeriesAndBreaksTheLineAtAGap) {
    const QImage image = m_chart.grab().toImage();
    struct {
        double t;
        int series;
        bool shown;
    } const rows[] = {{20, 0, true}, {50, 0, false}, {80, 0, true}, {50, 1, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(QString("t %1 series %2").arg(row.t).arg(row.series).toStdString());
        EXPECT_EQ(ColumnShows(image, row.t, row.series), row.shown);
    }
}

TEST_F(ChartTest, CursorReadsOutTimeAndNearestValues) {
    m_chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_chart));
    const QRect plot = m_chart.PlotRect();
    QTest::mouseMove(&m_chart, QPoint(plot.left() + plot.width() / 5, plot.center().y()));
    ASSERT_TRUE(std::isfinite(m_chart.CursorTime()));
    EXPECT_NEAR(m_chart.CursorTime(), m_chart.WindowStart() + 20, 0.2);

    m_chart.SetCursorTime(20.04);
    EXPECT_EQ(m_chart.CursorReadout(), QString("20.040 s\ns0 = %1\ns1 = %2")
                                           .arg(std::round(1000 * std::sin(4.0)))
                                           .arg(std::round(500 * std::cos(20 / 7.0))));
    m_chart.SetCursorTime(45);
    EXPECT_TRUE(m_chart.CursorReadout().contains("s0 = gap"));
    QTest::keyClick(&m_chart, Qt::Key_Escape);
    EXPECT_TRUE(m_chart.CursorReadout().isEmpty());
}

TEST_F(ChartTest, FollowsNewSamplesUntilPausedAndBackToLive) {
    EXPECT_FALSE(m_chart.IsPaused());
    m_store.Append(1, 120, 1);
    EXPECT_EQ(m_chart.WindowEnd(), 120);
    QTest::keyClick(&m_chart, Qt::Key_Space);
    EXPECT_TRUE(m_chart.IsPaused());
    m_store.Append(1, 130, 1);
    EXPECT_EQ(m_chart.WindowEnd(), 120);
    QTest::keyClick(&m_chart, Qt::Key_Left);
    EXPECT_EQ(m_chart.WindowEnd(), 110);
    QTest::keyClick(&m_chart, Qt::Key_Plus); // zoom in around the middle
    EXPECT_EQ(m_chart.Span(), 50);
    EXPECT_NEAR(m_chart.WindowEnd(), 85, 0.5);
    QTest::keyClick(&m_chart, Qt::Key_End);
    EXPECT_FALSE(m_chart.IsPaused());
    EXPECT_EQ(m_chart.WindowEnd(), 130);
}

TEST_F(ChartTest, SavesWhatIsShownAsPngOrSaysWhyNot) {
    QTemporaryDir dir;
    const QString path = dir.filePath("chart.png");
    QString error;
    ASSERT_TRUE(m_chart.SavePng(path, &error)) << error.toStdString();
    const QImage saved(path, "PNG");
    EXPECT_EQ(saved.size(), m_chart.size() * m_chart.devicePixelRatio());

    const QString bad = dir.filePath("missing/chart.png");
    EXPECT_FALSE(m_chart.SavePng(bad, &error));
    EXPECT_TRUE(error.startsWith("Cannot save the chart to " + bad + ": ")) << error.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"chart.png"});
}

} // namespace
