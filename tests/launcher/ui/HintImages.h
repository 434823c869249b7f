#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

namespace uitest {

// A PNG picture for a hint slot, a diagonal gradient between two colours.
inline QByteArray hintImagePng(const QColor &From, const QColor &To, const QSize &Size = {320, 90})
{
    QImage image(Size, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, Size.width(), Size.height());
    gradient.setColorAt(0, From);
    gradient.setColorAt(1, To);
    painter.fillRect(image.rect(), gradient);
    painter.end();
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

} // namespace uitest
