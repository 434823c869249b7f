#include "LauncherArtwork.h"

#include "PaintKit.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPathStroker>
#include <QRadialGradient>
#include <QtMath>

#include <cmath>

// The pieces of the launcher's widgets: buttons, icons, panels, progress and scroll bars.

using namespace PaintKit;

QImage LauncherArtwork::socialIcon(bool Twitter)
{
    QImage image = transparentImage(33, 33);
    const QPointF centre(16.5, 16.5);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QRadialGradient fill(centre - QPointF(3, 4), 17);
        fill.setColorAt(0, QColor(0x36, 0x28, 0x70));
        fill.setColorAt(1, QColor(0x10, 0x0c, 0x26));
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawEllipse(centre, 15, 15);
    }
    paintGoldShape(image, ring(centre, 16, 14), 0.5, 0);

    QPainterPath glyph;
    if (Twitter) {
        // A small songbird facing right.
        QPainterPath body;
        body.addEllipse(QPointF(0, 0), 0.34, 0.21);
        body = QTransform().rotate(-18).map(body);
        QPainterPath head;
        head.addEllipse(QPointF(0.25, -0.2), 0.15, 0.15);
        QPainterPath beak;
        beak.moveTo(0.36, -0.25);
        beak.lineTo(0.54, -0.19);
        beak.lineTo(0.37, -0.13);
        beak.closeSubpath();
        QPainterPath tail;
        tail.moveTo(-0.22, 0.02);
        tail.lineTo(-0.56, -0.12);
        tail.lineTo(-0.42, 0.2);
        tail.closeSubpath();
        QPainterPath wing;
        wing.moveTo(-0.16, 0.0);
        wing.quadTo(-0.2, -0.36, -0.36, -0.42);
        wing.quadTo(0.02, -0.34, 0.1, -0.02);
        wing.closeSubpath();
        glyph = body.united(head).united(beak).united(tail).united(wing);
        glyph = QTransform().translate(17, 17.5).scale(21, 21).map(glyph);
    } else {
        // A round chat face: a speech bubble with two eyes.
        QPainterPath bubble;
        bubble.addRoundedRect(QRectF(-0.46, -0.32, 0.92, 0.58), 0.24, 0.24);
        QPainterPath tailPath;
        tailPath.moveTo(-0.3, 0.18);
        tailPath.lineTo(-0.36, 0.42);
        tailPath.lineTo(-0.1, 0.22);
        tailPath.closeSubpath();
        QPainterPath eyes;
        eyes.addEllipse(QPointF(-0.17, -0.03), 0.085, 0.11);
        eyes.addEllipse(QPointF(0.17, -0.03), 0.085, 0.11);
        glyph = bubble.united(tailPath).subtracted(eyes);
        glyph = QTransform().translate(16.5, 16.5).scale(20, 20).map(glyph);
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(glyph.translated(0, 0.8), ink);
    painter.fillPath(glyph, textColour);
    return image;
}

QImage LauncherArtwork::button(const QColor &Colour, int State)
{
    // Everything between the 4-pixel corners is uniform along the width, since the middle columns
    // are repeated to fill the button.
    QImage image = transparentImage(32, 32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(ink);
    painter.drawRoundedRect(QRectF(0, 0, 32, 32), 4.5, 4.5);

    QLinearGradient rim(0, 1, 0, 31);
    rim.setColorAt(0, State == Hover ? goldLight : gold);
    rim.setColorAt(1, State == Pressed ? goldDark.darker(130) : goldDark);
    painter.setBrush(rim);
    painter.drawRoundedRect(QRectF(1, 1, 30, 30), 3.6, 3.6);

    const QColor base = State == Hover ? Colour.lighter(122) : Colour;
    QLinearGradient body(0, 2, 0, 30);
    if (State == Pressed) {
        body.setColorAt(0, base.darker(190));
        body.setColorAt(1, base.darker(115));
    } else {
        body.setColorAt(0, base.lighter(135));
        body.setColorAt(0.5, base);
        body.setColorAt(1, base.darker(175));
    }
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(2, 2, 28, 28), 2.6, 2.6);

    if (State != Pressed) {
        QLinearGradient gloss(0, 2, 0, 16);
        gloss.setColorAt(0, QColor(255, 255, 255, State == Hover ? 95 : 70));
        gloss.setColorAt(1, QColor(255, 255, 255, 8));
        painter.setBrush(gloss);
        painter.drawRoundedRect(QRectF(2.5, 2.5, 27, 13), 2.2, 2.2);
    } else {
        painter.setBrush(QColor(0, 0, 0, 70));
        painter.drawRect(QRectF(2.5, 2.5, 27, 2));
    }
    painter.end();
    return withNoise(image, 2, 9);
}

QImage LauncherArtwork::buttonIcon(const QString &Word)
{
    QImage image = transparentImage(34, 34);
    QPainterPath glyph;
    QPainterPathStroker stroker;
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    if (Word == QLatin1String("Play")) {
        QPainterPath triangle;
        triangle.moveTo(11.5, 7.5);
        triangle.lineTo(26.5, 17);
        triangle.lineTo(11.5, 26.5);
        triangle.closeSubpath();
        stroker.setWidth(3);
        glyph = triangle.united(stroker.createStroke(triangle));
    } else if (Word == QLatin1String("Download")) {
        QPainterPath arrow;
        arrow.addRect(QRectF(14, 5, 6, 11));
        QPainterPath head;
        head.moveTo(8.5, 15);
        head.lineTo(25.5, 15);
        head.lineTo(17, 24);
        head.closeSubpath();
        QPainterPath tray;
        tray.moveTo(7, 22);
        tray.lineTo(7, 28);
        tray.lineTo(27, 28);
        tray.lineTo(27, 22);
        stroker.setWidth(3.2);
        glyph = arrow.united(head).united(stroker.createStroke(tray));
    } else {
        // Two arrows chasing each other round a circle.
        const QPointF centre(17, 17);
        const qreal radius = 9;
        const QRectF box(centre.x() - radius, centre.y() - radius, radius * 2, radius * 2);
        stroker.setWidth(3.4);
        stroker.setCapStyle(Qt::FlatCap);
        for (const qreal start : {20.0, 200.0}) {
            QPainterPath arc;
            arc.arcMoveTo(box, start);
            arc.arcTo(box, start, 130);
            glyph = glyph.united(stroker.createStroke(arc));
            const qreal end = qDegreesToRadians(start + 130);
            const QPointF tip(centre.x() + std::cos(end) * radius,
                              centre.y() - std::sin(end) * radius);
            // Tangent of the arc at its end, in the direction of travel (counter-clockwise).
            const QPointF along(-std::sin(end), -std::cos(end));
            const QPointF across(std::cos(end), -std::sin(end));
            QPainterPath head;
            head.moveTo(tip + across * 5);
            head.lineTo(tip + along * 6);
            head.lineTo(tip - across * 5);
            head.closeSubpath();
            glyph = glyph.united(head);
        }
    }
    QImage shadow = transparentImage(34, 34);
    {
        QPainter painter(&shadow);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(0, 0, 0, 200), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(QColor(0, 0, 0, 200));
        painter.drawPath(glyph.translated(0.5, 1.2));
    }
    blur(shadow, 1);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawImage(0, 0, shadow);
    painter.setPen(QPen(QColor(0x20, 0x14, 0x08, 200), 1.2));
    QLinearGradient fill(0, 5, 0, 29);
    fill.setColorAt(0, QColor(0xff, 0xfb, 0xec));
    fill.setColorAt(1, textColour);
    painter.setBrush(fill);
    painter.drawPath(glyph.simplified());
    return image;
}

QImage LauncherArtwork::progressBackground()
{
    QImage image = transparentImage(32, 32);
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.fillRect(QRect(0, 0, 32, 32), bronze);
    painter.fillRect(QRect(1, 1, 30, 30), ink);
    QLinearGradient groove(0, 2, 0, 30);
    groove.setColorAt(0, QColor(0x06, 0x05, 0x12));
    groove.setColorAt(1, QColor(0x22, 0x1c, 0x42));
    painter.fillRect(QRect(2, 2, 28, 28), groove);
    painter.end();
    return withNoise(image, 2, 11);
}

QImage LauncherArtwork::progressChunk()
{
    QImage image(1, 37, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    QLinearGradient fill(0, 0, 0, 37);
    fill.setColorAt(0.0, QColor(0xff, 0xf2, 0xb8));
    fill.setColorAt(0.18, QColor(0xf0, 0xc4, 0x5c));
    fill.setColorAt(0.55, QColor(0xc0, 0x84, 0x26));
    fill.setColorAt(0.85, QColor(0x8a, 0x54, 0x14));
    fill.setColorAt(1.0, QColor(0x5a, 0x34, 0x0a));
    painter.fillRect(image.rect(), fill);
    return image;
}

QImage LauncherArtwork::tilePanel()
{
    // Sliced 16 pixels from each side and repeated: lines run straight along the edges, ornaments
    // only sit in the corners.
    QImage image = transparentImage(128, 128);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x0b, 0x08, 0x1e, 200));
        painter.drawRoundedRect(QRectF(0, 0, 128, 128), 7, 7);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor(ink.red(), ink.green(), ink.blue(), 230), 1));
        painter.drawRoundedRect(QRectF(0.5, 0.5, 127, 127), 7, 7);
        painter.setPen(QPen(gold, 1.4));
        painter.drawRoundedRect(QRectF(2.5, 2.5, 123, 123), 5.5, 5.5);
        painter.setPen(QPen(QColor(bronze.red(), bronze.green(), bronze.blue(), 150), 1));
        painter.drawRoundedRect(QRectF(5.5, 5.5, 117, 117), 3.5, 3.5);
    }
    QPainterPath ornaments;
    for (const QPointF &corner :
         {QPointF(3, 3), QPointF(125, 3), QPointF(3, 125), QPointF(125, 125)})
        ornaments.addPath(diamond(corner, 3.5));
    paintGoldShape(image, ornaments, 0.6, 0);
    return image;
}

QImage LauncherArtwork::footerPanel()
{
    // Sliced 5 pixels from the top, left and right; the bottom has no edge and runs into the
    // window border.
    QImage image = transparentImage(128, 128);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x08, 0x06, 0x18, 185));
    painter.drawRect(QRectF(0, 0, 128, 128));
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(ink, 1));
    painter.drawRoundedRect(QRectF(0.5, 0.5, 127, 140), 3, 3);
    painter.setPen(QPen(gold, 1.2));
    painter.drawRoundedRect(QRectF(2, 2, 124, 140), 2, 2);
    painter.setPen(QPen(QColor(bronze.red(), bronze.green(), bronze.blue(), 130), 1));
    painter.drawRect(QRectF(4.5, 4.5, 119, 140));
    return image;
}

QImage LauncherArtwork::checkBox(bool Checked)
{
    QImage image = transparentImage(12, 12);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(gold, 1));
    QLinearGradient fill(0, 0, 0, 12);
    fill.setColorAt(0, QColor(0x08, 0x06, 0x16));
    fill.setColorAt(1, QColor(0x26, 0x1e, 0x4a));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(0.5, 0.5, 11, 11), 2, 2);
    if (Checked) {
        QPainterPath tick;
        tick.moveTo(2.6, 6.2);
        tick.lineTo(5, 8.6);
        tick.lineTo(9.6, 3.2);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor(0, 0, 0, 160), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(tick.translated(0, 0.7));
        painter.setPen(QPen(goldLight, 1.9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(tick);
    }
    return image;
}

QImage LauncherArtwork::scrollGroove()
{
    // Tiled along the scroll bar: nothing may change along its height.
    QImage image = transparentImage(12, 96);
    QPainter painter(&image);
    painter.fillRect(QRectF(3, 0, 6, 96), QColor(0x04, 0x03, 0x0c, 210));
    painter.fillRect(QRectF(3, 0, 1, 96), QColor(bronze.red(), bronze.green(), bronze.blue(), 170));
    painter.fillRect(QRectF(8, 0, 1, 96), QColor(bronze.red(), bronze.green(), bronze.blue(), 110));
    painter.end();
    return image;
}

QImage LauncherArtwork::scrollHandle()
{
    QImage image = transparentImage(12, 44);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient metal(2, 0, 10, 0);
    metal.setColorAt(0, goldDark);
    metal.setColorAt(0.35, goldLight);
    metal.setColorAt(0.7, gold);
    metal.setColorAt(1, goldDark.darker(130));
    painter.setPen(QPen(ink, 1));
    painter.setBrush(metal);
    painter.drawRoundedRect(QRectF(1.5, 0.5, 9, 43), 4, 4);
    return image;
}

QImage LauncherArtwork::scrollArrow(bool Up, bool Pressed)
{
    QImage image = transparentImage(12, 12);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Pressed ? gold : bronze, 1));
    painter.setBrush(Pressed ? QColor(0x30, 0x24, 0x5c) : QColor(0x14, 0x0f, 0x2c));
    painter.drawRoundedRect(QRectF(1.5, 0.5, 9, 11), 2, 2);
    const qreal shift = Pressed ? 0.6 : 0;
    QPainterPath triangle;
    if (Up) {
        triangle.moveTo(6, 3.2 + shift);
        triangle.lineTo(8.9, 7.8 + shift);
        triangle.lineTo(3.1, 7.8 + shift);
    } else {
        triangle.moveTo(6, 8.8 + shift);
        triangle.lineTo(8.9, 4.2 + shift);
        triangle.lineTo(3.1, 4.2 + shift);
    }
    triangle.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Pressed ? goldLight : gold);
    painter.drawPath(triangle);
    return image;
}
