#include "TrayArtwork.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QColor tileColour(TrayStatus::Icon icon)
{
    switch (icon) {
    case TrayStatus::Icon::Busy:
        return QColor(224, 142, 0);
    case TrayStatus::Icon::Terminating:
        return QColor(110, 110, 110);
    case TrayStatus::Icon::Program:
        break;
    }
    return QColor(0, 84, 166);
}

// An envelope: the body and the flap's two lines.
void paintEnvelope(QPainter &p, const QRectF &area)
{
    p.setPen(QPen(QColor(40, 40, 40), qMax(1.0, area.width() / 16)));
    p.setBrush(Qt::white);
    p.drawRect(area);
    QPainterPath flap;
    flap.moveTo(area.topLeft());
    flap.lineTo(area.center().x(), area.top() + area.height() * 0.55);
    flap.lineTo(area.topRight());
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
}

void paintBusyMark(QPainter &p, int size)
{
    // Two arrows, one each way: mail on the move.
    const qreal s = size;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255));
    QPolygonF right{{s * 0.55, s * 0.70}, {s * 0.95, s * 0.80}, {s * 0.55, s * 0.90}};
    QPolygonF left{{s * 0.45, s * 0.70}, {s * 0.05, s * 0.80}, {s * 0.45, s * 0.90}};
    p.drawPolygon(right);
    p.drawPolygon(left);
}

void paintStopMark(QPainter &p, int size)
{
    const qreal s = size;
    p.setPen(QPen(QColor(220, 20, 20), qMax(2.0, s / 8), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(s * 0.55, s * 0.55), QPointF(s * 0.92, s * 0.92));
    p.drawLine(QPointF(s * 0.92, s * 0.55), QPointF(s * 0.55, s * 0.92));
}

QPixmap paintIcon(TrayStatus::Icon icon, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(tileColour(icon));
    p.drawRoundedRect(QRectF(0, 0, size, size), size / 6.0, size / 6.0);
    const qreal margin = size * 0.15;
    paintEnvelope(p, QRectF(margin, size * 0.2, size - 2 * margin, size * 0.45));
    if (icon == TrayStatus::Icon::Busy)
        paintBusyMark(p, size);
    else if (icon == TrayStatus::Icon::Terminating)
        paintStopMark(p, size);
    return pixmap;
}

} // namespace

namespace TrayArtwork {

QIcon IconFor(TrayStatus::Icon icon)
{
    QIcon result;
    result.addPixmap(paintIcon(icon, 16));
    result.addPixmap(paintIcon(icon, 32));
    return result;
}

} // namespace TrayArtwork
