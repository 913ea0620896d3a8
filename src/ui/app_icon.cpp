#include "ui/app_icon.h"

#include <cmath>

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace tarvell
{
namespace
{

QPixmap DrawIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    const qreal s = size;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x3a, 0x5f));
    painter.drawRoundedRect(QRectF(0, 0, s, s), s * 0.18, s * 0.18);

    // A quiet line, a burst that grows and dies away, and a quiet line again.
    QPainterPath trace;
    const qreal middle = s * 0.55;
    const int steps = 48;
    for (int i = 0; i <= steps; ++i)
    {
        const qreal x = s * 0.1 + s * 0.8 * i / steps;
        const qreal phase = static_cast<qreal>(i) / steps;
        qreal amplitude = 0;
        if (phase > 0.3 && phase < 0.85)
            amplitude = std::sin((phase - 0.3) / 0.55 * M_PI) * s * 0.32;
        const qreal y = middle - amplitude * ((i % 2 == 0) ? 1.0 : -0.8);
        if (i == 0)
            trace.moveTo(x, y);
        else
            trace.lineTo(x, y);
    }
    QPen pen(QColor(0x7c, 0xe0, 0x8a));
    pen.setWidthF(std::max<qreal>(1.0, s / 22.0));
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(trace);
    return pixmap;
}

} // namespace

QIcon ApplicationIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128})
        icon.addPixmap(DrawIcon(size));
    return icon;
}

} // namespace tarvell
