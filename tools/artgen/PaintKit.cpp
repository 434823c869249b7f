#include "PaintKit.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <QTransform>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace PaintKit {

namespace {

// One pass of a horizontal box blur over premultiplied pixels; the vertical pass transposes.
void boxBlurRows(std::vector<QRgb> &Pixels, int Width, int Height, int Radius)
{
    std::vector<QRgb> row(static_cast<size_t>(Width));
    const int span = 2 * Radius + 1;
    for (int y = 0; y < Height; ++y) {
        QRgb *line = Pixels.data() + static_cast<size_t>(y) * Width;
        std::copy(line, line + Width, row.begin());
        for (int x = 0; x < Width; ++x) {
            int a = 0, r = 0, g = 0, b = 0;
            for (int k = -Radius; k <= Radius; ++k) {
                const QRgb p = row[static_cast<size_t>(std::clamp(x + k, 0, Width - 1))];
                a += qAlpha(p);
                r += qRed(p);
                g += qGreen(p);
                b += qBlue(p);
            }
            line[x] = qRgba(r / span, g / span, b / span, a / span);
        }
    }
}

std::vector<QRgb> transposed(const std::vector<QRgb> &Pixels, int Width, int Height)
{
    std::vector<QRgb> result(Pixels.size());
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            result[static_cast<size_t>(x) * Height + y] =
                Pixels[static_cast<size_t>(y) * Width + x];
    return result;
}

qreal uniform(std::mt19937 &Generator, qreal From, qreal To)
{
    return std::uniform_real_distribution<qreal>(From, To)(Generator);
}

} // namespace

QImage transparentImage(int Width, int Height)
{
    QImage image(Width, Height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QFont font(int PixelSize, qreal LetterSpacing)
{
    QFont result(QStringLiteral("Liberation Sans"));
    result.setPixelSize(PixelSize);
    result.setBold(true);
    result.setLetterSpacing(QFont::AbsoluteSpacing, LetterSpacing);
    result.setHintingPreference(QFont::PreferNoHinting);
    if (QFontInfo(result).family() != QLatin1String("Liberation Sans")) {
        std::fprintf(stderr, "corvane-artgen: the font Liberation Sans is not installed "
                             "(Debian: fonts-liberation)\n");
        std::exit(2);
    }
    return result;
}

QPainterPath centredText(const QString &Text, const QFont &Font, qreal CentreX, qreal Baseline)
{
    QPainterPath path;
    path.addText(0, 0, Font, Text);
    const QRectF bounds = path.boundingRect();
    return path.translated(CentreX - bounds.center().x(), Baseline);
}

QLinearGradient goldGradient(qreal Top, qreal Bottom)
{
    QLinearGradient gradient(0, Top, 0, Bottom);
    gradient.setColorAt(0.0, goldLight);
    gradient.setColorAt(0.45, gold);
    gradient.setColorAt(0.55, goldDark);
    gradient.setColorAt(1.0, gold);
    return gradient;
}

void paintGoldShape(QImage &Image, const QPainterPath &Path, qreal Outline, qreal ShadowRadius)
{
    if (ShadowRadius > 0) {
        QImage shadow = transparentImage(Image.width(), Image.height());
        {
            QPainter painter(&shadow);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(QPen(QColor(0, 0, 0, 230), Outline * 2 + 1));
            painter.setBrush(QColor(0, 0, 0, 230));
            painter.drawPath(Path.translated(0, 1));
        }
        blur(shadow, qMax(1, qRound(ShadowRadius)));
        QPainter painter(&Image);
        painter.drawImage(0, 0, shadow);
    }
    QPainter painter(&Image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = Path.boundingRect();
    if (Outline > 0) {
        painter.setPen(QPen(ink, Outline * 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(Path);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(goldGradient(bounds.top(), bounds.bottom()));
    painter.drawPath(Path);
}

void blur(QImage &Image, int Radius)
{
    if (Radius <= 0)
        return;
    Image = Image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int width = Image.width();
    const int height = Image.height();
    std::vector<QRgb> pixels(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(Image.constScanLine(y));
        std::copy(line, line + width, pixels.begin() + static_cast<std::ptrdiff_t>(y) * width);
    }
    for (int pass = 0; pass < 3; ++pass)
        boxBlurRows(pixels, width, height, Radius);
    pixels = transposed(pixels, width, height);
    for (int pass = 0; pass < 3; ++pass)
        boxBlurRows(pixels, height, width, Radius);
    pixels = transposed(pixels, height, width);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(Image.scanLine(y));
        std::copy(pixels.begin() + static_cast<std::ptrdiff_t>(y) * width,
                  pixels.begin() + static_cast<std::ptrdiff_t>(y + 1) * width, line);
    }
}

void addNoise(QImage &Image, int Amplitude, std::mt19937 &Generator)
{
    std::uniform_int_distribution<int> noise(-Amplitude, Amplitude);
    for (int y = 0; y < Image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(Image.scanLine(y));
        for (int x = 0; x < Image.width(); ++x) {
            const QRgb p = line[x];
            const int alpha = qAlpha(p);
            if (alpha == 0)
                continue;
            // Scaled by alpha so premultiplied pixels stay valid.
            const int delta = noise(Generator) * alpha / 255;
            line[x] = qRgba(std::clamp(qRed(p) + delta, 0, alpha),
                            std::clamp(qGreen(p) + delta, 0, alpha),
                            std::clamp(qBlue(p) + delta, 0, alpha), alpha);
        }
    }
}

void paintNightSky(QImage &Image, const QRectF &Area, int StarCount, std::mt19937 &Generator)
{
    QPainter painter(&Image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, Area.top(), 0, Area.bottom());
    sky.setColorAt(0.0, nightTop);
    sky.setColorAt(0.55, nightMiddle);
    sky.setColorAt(1.0, nightHorizon);
    painter.fillRect(Area, sky);

    // Haze: large, faint clouds of violet and blue.
    const QColor hazeColours[] = {QColor(0x6a, 0x2f, 0x8e), QColor(0x24, 0x3c, 0x86),
                                  QColor(0x4a, 0x24, 0x7a)};
    const int hazeCount = 7;
    for (int i = 0; i < hazeCount; ++i) {
        const QPointF centre(uniform(Generator, Area.left(), Area.right()),
                             uniform(Generator, Area.top() + Area.height() * 0.15, Area.bottom()));
        const qreal radius = uniform(Generator, 0.2, 0.45) * Area.width();
        QColor colour = hazeColours[i % 3];
        QRadialGradient haze(centre, radius);
        colour.setAlpha(static_cast<int>(uniform(Generator, 35, 70)));
        haze.setColorAt(0.0, colour);
        colour.setAlpha(0);
        haze.setColorAt(1.0, colour);
        painter.setPen(Qt::NoPen);
        painter.setBrush(haze);
        painter.save();
        painter.translate(centre);
        painter.scale(1.0, 0.45);
        painter.translate(-centre);
        painter.drawEllipse(centre, radius, radius);
        painter.restore();
    }

    // Stars thin out towards the horizon; a few bright ones get a small glow.
    for (int i = 0; i < StarCount; ++i) {
        const qreal depth = std::pow(uniform(Generator, 0, 1), 1.8);
        const QPointF position(uniform(Generator, Area.left(), Area.right()),
                               Area.top() + depth * Area.height() * 0.9);
        const qreal size = uniform(Generator, 0.25, 0.8);
        const bool bright = uniform(Generator, 0, 1) < 0.06;
        QColor colour =
            uniform(Generator, 0, 1) < 0.3 ? QColor(0xff, 0xe8, 0xc0) : QColor(0xdc, 0xe4, 0xff);
        colour.setAlpha(static_cast<int>(uniform(Generator, 90, 230) * (1.0 - depth * 0.6)));
        if (bright) {
            QRadialGradient glow(position, size * 6);
            QColor halo = colour;
            halo.setAlpha(70);
            glow.setColorAt(0, halo);
            halo.setAlpha(0);
            glow.setColorAt(1, halo);
            painter.setBrush(glow);
            painter.drawEllipse(position, size * 6, size * 6);
        }
        painter.setBrush(colour);
        painter.drawEllipse(position, size * (bright ? 1.6 : 1.0), size * (bright ? 1.6 : 1.0));
    }
}

void paintMoon(QImage &Image, QPointF Centre, qreal Radius)
{
    QPainter painter(&Image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QRadialGradient halo(Centre, Radius * 4);
    halo.setColorAt(0.0, QColor(0xf4, 0xe2, 0xb0, 90));
    halo.setColorAt(0.3, QColor(0xb8, 0x9a, 0xd8, 40));
    halo.setColorAt(1.0, QColor(0x80, 0x60, 0xc0, 0));
    painter.setBrush(halo);
    painter.drawEllipse(Centre, Radius * 4, Radius * 4);

    QPainterPath disc;
    disc.addEllipse(Centre, Radius, Radius);
    QPainterPath bite;
    bite.addEllipse(Centre + QPointF(-Radius * 0.45, -Radius * 0.2), Radius * 0.92, Radius * 0.92);
    QRadialGradient light(Centre + QPointF(Radius * 0.4, 0), Radius * 1.2);
    light.setColorAt(0, QColor(0xff, 0xf6, 0xd8));
    light.setColorAt(1, QColor(0xe0, 0xc8, 0x88));
    painter.setBrush(light);
    painter.drawPath(disc.subtracted(bite));
}

QPainterPath raven(QPointF Centre, qreal Width)
{
    // Right half of the silhouette in units of the width, from the head round the wing to the tail.
    const QPointF wingTip(0.50, -0.30);
    const QPointF feathers[] = {{0.43, -0.21}, {0.45, -0.17}, {0.37, -0.12}, {0.38, -0.08},
                                {0.29, -0.05}, {0.30, -0.01}, {0.19, 0.00}};
    QPainterPath half;
    half.moveTo(0.0, -0.10);
    half.lineTo(0.05, -0.07);
    half.quadTo(0.22, -0.22, wingTip.x(), wingTip.y());
    for (const QPointF &point : feathers)
        half.lineTo(point);
    half.quadTo(0.10, 0.02, 0.07, 0.10);
    half.lineTo(0.10, 0.23);
    half.lineTo(0.04, 0.20);
    half.lineTo(0.0, 0.26);

    QPainterPath body = half;
    body.connectPath(QTransform::fromScale(-1, 1).map(half).toReversed());
    body.closeSubpath();
    QPainterPath head;
    head.addEllipse(QPointF(0, -0.12), 0.045, 0.05);
    QPainterPath beak;
    beak.moveTo(-0.02, -0.10);
    beak.lineTo(0.0, -0.04);
    beak.lineTo(0.02, -0.10);
    beak.closeSubpath();
    QPainterPath whole = body.united(head).united(beak).simplified();
    QTransform transform;
    transform.translate(Centre.x(), Centre.y());
    transform.scale(Width, Width);
    return transform.map(whole);
}

QImage disabled(const QImage &Image)
{
    QImage result = Image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < result.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(result.scanLine(y));
        for (int x = 0; x < result.width(); ++x) {
            const QRgb p = line[x];
            const int grey = qGray(p) * 3 / 5;
            const int alpha = qAlpha(p) * 4 / 5;
            const int scaled = qAlpha(p) == 0 ? 0 : grey * alpha / qAlpha(p);
            line[x] = qRgba(scaled, scaled, scaled, alpha);
        }
    }
    return result;
}

QPainterPath ring(QPointF Centre, qreal Outer, qreal Inner)
{
    QPainterPath outer;
    outer.addEllipse(Centre, Outer, Outer);
    QPainterPath inner;
    inner.addEllipse(Centre, Inner, Inner);
    return outer.subtracted(inner);
}

QPainterPath diamond(QPointF Centre, qreal Radius)
{
    QPainterPath path;
    path.moveTo(Centre.x(), Centre.y() - Radius);
    path.lineTo(Centre.x() + Radius, Centre.y());
    path.lineTo(Centre.x(), Centre.y() + Radius);
    path.lineTo(Centre.x() - Radius, Centre.y());
    path.closeSubpath();
    return path;
}

QImage withNoise(QImage Image, int Amplitude, unsigned Seed)
{
    std::mt19937 generator(Seed);
    addNoise(Image, Amplitude, generator);
    return Image;
}

} // namespace PaintKit
