#include "DiagnosticsIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPolygonF>

namespace {

// The picture is drawn on a 64-unit square and scaled to each size.
constexpr qreal DesignUnits = 64.0;
const QColor TileTop(0x2f, 0x7f, 0xd0);
const QColor TileBottom(0x15, 0x50, 0x8f);
const QColor Glass(0xe8, 0xf2, 0xff, 217);
const QColor Rim(0xff, 0xb0, 0x20);
const QColor Tick(0x1f, 0x8a, 0x3a);

} // namespace

QIcon DiagnosticsIcon::Icon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addPixmap(Paint(size));
    return icon;
}

QPixmap DiagnosticsIcon::Paint(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / DesignUnits, size / DesignUnits);

    QLinearGradient sky(0, 2, 0, 62);
    sky.setColorAt(0, TileTop);
    sky.setColorAt(1, TileBottom);
    p.setPen(Qt::NoPen);
    p.setBrush(sky);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    // The letter and its flap.
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(8, 12, 38, 26), 3, 3);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(TileBottom, 3, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF{{9, 14}, {27, 28}, {45, 14}});

    // The magnifying glass with its handle, and a tick inside.
    p.setPen(QPen(Rim, 4));
    p.setBrush(Glass);
    p.drawEllipse(QPointF(40, 40), 12, 12);
    p.setPen(QPen(Rim, 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(48.5, 48.5), QPointF(58, 58));
    p.setPen(QPen(Tick, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF{{34, 40}, {38, 44}, {46, 35}});
    return pixmap;
}
