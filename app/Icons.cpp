#include "app/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>
#include <initializer_list>

namespace pmv {

namespace {

// Palette of the icon set.
const QColor kOutline(0x2F, 0x3B, 0x45);
const QColor kBlue(0x2F, 0x7B, 0xD8);
const QColor kLightBlue(0xB8, 0xD4, 0xF5);
const QColor kGreen(0x2E, 0x9D, 0x4A);
const QColor kRed(0xD6, 0x45, 0x41);
const QColor kAmber(0xE8, 0xA3, 0x17);
const QColor kLightAmber(0xF7, 0xD2, 0x7A);
const QColor kOrange(0xE0, 0x7B, 0x1F);
const QColor kGrey(0x7A, 0x86, 0x91);
const QColor kLightGrey(0xDD, 0xE2, 0xE6);

QPen OutlinePen(qreal width = 1.0) {
    return QPen(kOutline, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A straight arrow from (x1, y1) to (x2, y2) with a filled head at the end.
/// A closed outline through the given corners, in order.
QPainterPath ClosedPath(std::initializer_list<QPointF> corners) {
    QPainterPath path;
    for (const QPointF& c : corners) {
        if (path.elementCount() == 0)
            path.moveTo(c);
        else
            path.lineTo(c);
    }
    path.closeSubpath();
    return path;
}

void Arrow(QPainter& p, QPointF from, QPointF to, const QColor& colour) {
    const QPointF d = to - from;
    const qreal len = std::hypot(d.x(), d.y());
    const QPointF u = d / len;
    const QPointF n(-u.y(), u.x());
    const qreal head = 4.5;
    const QPointF base = to - u * head;
    p.setPen(QPen(colour, 2.0, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(from, base + u * 0.5);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    const QPointF tri[] = {to, base + n * 3.5, base - n * 3.5};
    p.drawPolygon(tri, 3);
}

// The target: a small chip with pins, used by Get All and Set All.
void Chip(QPainter& p) {
    p.setPen(OutlinePen());
    p.setBrush(kGrey);
    p.drawRect(QRectF(9.5, 3.5, 5, 9));
    p.setPen(QPen(kOutline, 1.0));
    for (qreal y : {5.0, 8.0, 11.0})
        p.drawLine(QPointF(14.5, y), QPointF(15.5, y));
}

void Plug(QPainter& p, const QColor& body) {
    p.setPen(QPen(kOutline, 1.6, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(6, 1.5), QPointF(6, 6));
    p.drawLine(QPointF(10, 1.5), QPointF(10, 6));
    p.setPen(OutlinePen());
    p.setBrush(body);
    p.drawRoundedRect(QRectF(3.5, 5.5, 9, 6), 1.5, 1.5);
    p.setPen(QPen(kOutline, 1.6, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(8, 11.5), QPointF(8, 15.5));
}

void Draw(QPainter& p, TIcon icon) {
    switch (icon) {
    case TIcon::Application: {
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
        p.setPen(QPen(Qt::white, 1.4));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(8, 8), 5, 5);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        const QPointF tri[] = {{6, 5}, {11.5, 8}, {6, 11}};
        p.drawPolygon(tri, 3);
        break;
    }
    case TIcon::Exit: {
        p.setPen(OutlinePen());
        p.setBrush(kLightGrey);
        p.drawRect(QRectF(1.5, 1.5, 8, 13));
        p.setBrush(kGrey);
        const QPointF door[] = {{1.5, 1.5}, {6.5, 3.5}, {6.5, 15.5}, {1.5, 14.5}};
        p.drawPolygon(door, 4);
        Arrow(p, QPointF(8, 8), QPointF(15.5, 8), kRed);
        break;
    }
    case TIcon::LoadConfig: {
        p.setPen(OutlinePen());
        p.setBrush(kAmber);
        p.drawPath(
            ClosedPath({{1.5, 13.5}, {1.5, 2.5}, {5.5, 2.5}, {7, 4.5}, {12.5, 4.5}, {12.5, 13.5}}));
        p.setBrush(kLightAmber);
        const QPointF front[] = {{1.5, 13.5}, {4, 7.5}, {15.5, 7.5}, {12.5, 13.5}};
        p.drawPolygon(front, 4);
        break;
    }
    case TIcon::SaveConfig: {
        p.setPen(OutlinePen());
        p.setBrush(kBlue);
        p.drawPath(ClosedPath({{1.5, 1.5}, {12.5, 1.5}, {14.5, 3.5}, {14.5, 14.5}, {1.5, 14.5}}));
        p.setBrush(kLightGrey);
        p.drawRect(QRectF(4.5, 1.5, 7, 4));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(3.5, 8.5, 9, 6));
        p.setPen(QPen(kLightBlue, 1.0));
        p.drawLine(QPointF(5, 10.5), QPointF(11, 10.5));
        p.drawLine(QPointF(5, 12.5), QPointF(11, 12.5));
        break;
    }
    case TIcon::EditTitle: {
        p.setPen(OutlinePen());
        p.setBrush(kAmber);
        const QPointF body[] = {{3.5, 10}, {11, 2.5}, {13.5, 5}, {6, 12.5}};
        p.drawPolygon(body, 4);
        p.setBrush(kLightAmber);
        const QPointF tip[] = {{3.5, 10}, {6, 12.5}, {2, 14}};
        p.drawPolygon(tip, 3);
        p.setPen(QPen(kBlue, 1.5));
        p.drawLine(QPointF(8, 14.5), QPointF(15, 14.5));
        break;
    }
    case TIcon::LogIn: {
        p.setPen(OutlinePen());
        p.setBrush(kAmber);
        p.drawEllipse(QPointF(5, 8), 3.5, 3.5);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(4.5, 8), 1, 1);
        p.setPen(QPen(kOutline, 2.0, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(QPointF(8.5, 8), QPointF(15, 8));
        p.drawLine(QPointF(12, 8), QPointF(12, 11));
        p.drawLine(QPointF(14.5, 8), QPointF(14.5, 10.5));
        break;
    }
    case TIcon::COMSettings: {
        p.setPen(Qt::NoPen);
        p.setBrush(kGrey);
        p.translate(8, 8);
        for (int i = 0; i < 8; ++i) {
            p.drawRoundedRect(QRectF(-1.6, -7.5, 3.2, 4), 0.8, 0.8);
            p.rotate(45);
        }
        p.setPen(OutlinePen());
        p.drawEllipse(QPointF(0, 0), 5, 5);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(0, 0), 2, 2);
        p.translate(-8, -8);
        break;
    }
    case TIcon::COMOpen:
        Plug(p, kGreen);
        break;
    case TIcon::COMClose:
        Plug(p, kGrey);
        p.setPen(QPen(Qt::white, 3.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(2, 14), QPointF(14, 2));
        p.setPen(QPen(kRed, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(2, 14), QPointF(14, 2));
        break;
    case TIcon::DeleteAllCommands: {
        p.setPen(OutlinePen());
        p.setBrush(kLightGrey);
        p.drawRect(QRectF(3.5, 4.5, 9, 10));
        p.drawLine(QPointF(1.5, 3.5), QPointF(14.5, 3.5));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(6.5, 1.5, 3, 2));
        p.setPen(QPen(kRed, 1.2));
        for (qreal x : {6.0, 8.0, 10.0})
            p.drawLine(QPointF(x, 6.5), QPointF(x, 12.5));
        break;
    }
    case TIcon::SetAllParameterDefaults: {
        // Turn back: a circular arrow.
        p.setPen(QPen(kBlue, 2.0, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(2.5, 2.5, 11, 11), 100 * 16, 270 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        const QPointF head[] = {{7, 0.5}, {7, 6.5}, {2.5, 3.5}};
        p.drawPolygon(head, 3);
        break;
    }
    case TIcon::StoreAllParameterDefaults: {
        p.setPen(OutlinePen(1.4));
        p.setBrush(Qt::NoBrush);
        const QPointF tray[] = {{1.5, 9.5}, {1.5, 14.5}, {14.5, 14.5}, {14.5, 9.5}};
        p.drawPolyline(tray, 4);
        Arrow(p, QPointF(8, 1), QPointF(8, 12), kBlue);
        break;
    }
    case TIcon::GetAllParameters:
        Chip(p);
        Arrow(p, QPointF(9, 8), QPointF(0.5, 8), kGreen);
        break;
    case TIcon::SetAllParameters:
        Chip(p);
        Arrow(p, QPointF(0.5, 8), QPointF(9, 8), kOrange);
        break;
    case TIcon::About: {
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(12);
        f.setBold(true);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    }
}

} // namespace

QImage IconImage(TIcon icon, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(size / 16.0, size / 16.0);
    Draw(p, icon);
    return image;
}

QIcon MakeIcon(TIcon icon) {
    QIcon result;
    result.addPixmap(QPixmap::fromImage(IconImage(icon, 16)));
    result.addPixmap(QPixmap::fromImage(IconImage(icon, 32)));
    return result;
}

} // namespace pmv
