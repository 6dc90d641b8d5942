#include "comport/Lnkindicator.h"

#include <QPainter>
#include <QTimer>

namespace QORLNK {

namespace {

QColor ToQColor(TColor c) {
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

} // namespace

TLNKCOMIndicator::TLNKCOMIndicator(QWidget* AOwner)
    : QWidget(AOwner), FCopyright(LnkCopyright), FVersion(LnkVersion) {
    // Windowless in spirit: painted straight onto the parent's background.
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    resize(13, 13);
}

TLNKCOMIndicator::~TLNKCOMIndicator() {
    StopTimer();
}

void TLNKCOMIndicator::SetBorderColour(TColor c) {
    if (c != FBorderColour) {
        FBorderColour = c;
        Paint();
    }
}

void TLNKCOMIndicator::SetBorderOn(bool on) {
    if (on != FBorderOn) {
        FBorderOn = on;
        Paint();
    }
}

void TLNKCOMIndicator::SetShape(TIndicatorShape s) {
    if ((s == isSquare || s == isCircle) && s != FShape) {
        FShape = s;
        Paint();
    }
}

void TLNKCOMIndicator::SetOnTime(int t) {
    if (t < 0 || t > 5000)
        return;
    if (FOnTime == 0 && t > 0 && FStateOn) {
        FStateOn = false;
        Paint();
    }
    FOnTime = t; // a running timer keeps its interval
}

void TLNKCOMIndicator::SetOffColour(TColor c) {
    if (c != FOffColour) {
        FOffColour = c;
        Paint();
    }
}

void TLNKCOMIndicator::SetOnColour(TColor c) {
    if (c != FOnColour) {
        FOnColour = c;
        Paint();
    }
}

void TLNKCOMIndicator::SetStateOn(bool s) {
    if (FOnTime == 0) {
        if (s != FStateOn) {
            FStateOn = s;
            Paint();
        }
        return;
    }
    if (!FStateOn) {
        if (s) {
            FStateOn = true;
            FOffPending = false;
            Paint();
            StartTimer();
        }
    } else if (FTimer != nullptr) {
        if (s) {
            StartTimer(); // the on-time starts again
        } else {
            FOffPending = true;
        }
    } else if (!s) {
        FStateOn = false;
        Paint();
    }
}

void TLNKCOMIndicator::StartTimer() {
    StopTimer();
    FTimer = new QTimer(this);
    FTimer->setSingleShot(true);
    // Precise, so that a pulse is never shorter than the on-time.
    FTimer->setTimerType(Qt::PreciseTimer);
    connect(FTimer, &QTimer::timeout, this, &TLNKCOMIndicator::OnTimerTimer);
    FTimer->start(FOnTime);
}

void TLNKCOMIndicator::StopTimer() {
    if (FTimer != nullptr) {
        FTimer->stop();
        delete FTimer;
        FTimer = nullptr;
    }
}

void TLNKCOMIndicator::OnTimerTimer() {
    // Runs inside the timer's own signal: release it later, not here.
    if (FTimer != nullptr) {
        FTimer->stop();
        FTimer->deleteLater();
        FTimer = nullptr;
    }
    if (FOffPending) {
        FOffPending = false;
        FStateOn = false;
        Paint();
    }
}

void TLNKCOMIndicator::Paint() {
    update();
}

void TLNKCOMIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, FShape == isCircle);
    const TColor fill = FStateOn ? FOnColour : FOffColour;
    p.setPen(QPen(ToQColor(FBorderOn ? FBorderColour : fill), 1));
    p.setBrush(ToQColor(fill));
    const QRect box(0, 0, width() - 1, height() - 1);
    if (FShape == isSquare)
        p.drawRect(box);
    else
        p.drawEllipse(box);
}

} // namespace QORLNK
