#include "app/appicon.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>

namespace lumatrax {

QImage appIconImage(int side)
{
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    const qreal k = side / 32.0;
    p.scale(k, k);

    // Bezel and black screen.
    p.fillRect(QRectF(0, 2, 32, 28), QColor(128, 128, 128));
    p.fillRect(QRectF(2, 4, 28, 24), Qt::black);

    // Grid.
    p.setPen(QPen(QColor(0, 128, 0), 1.0 / k));
    for (int x = 9; x < 30; x += 7)
        p.drawLine(QPointF(x, 4), QPointF(x, 28));
    for (int y = 10; y < 28; y += 6)
        p.drawLine(QPointF(2, y), QPointF(30, y));

    // Upper guide in red, then a cyan pulse that stays below it.
    p.setPen(QPen(QColor(255, 0, 0), 1.5));
    p.drawLine(QPointF(2, 9), QPointF(30, 9));
    p.setPen(QPen(QColor(0, 255, 255), 2.0));
    const QPointF pulse[] = {{2, 22}, {9, 22}, {12, 12}, {16, 24}, {20, 14}, {23, 22}, {30, 22}};
    p.drawPolyline(pulse, int(std::size(pulse)));
    return image;
}

QIcon appIcon()
{
    QIcon icon;
    for (int side : {16, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(appIconImage(side)));
    return icon;
}

} // namespace lumatrax
