#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainterPath>
#include <QRectF>
#include <QString>

#include <random>

// The colours and painting tools that give all launcher pictures one look: a night sky in deep
// blue and purple, bronze and gold metal, and the launcher's pale text colour.
namespace PaintKit {

const QColor textColour(0xDA, 0xDA, 0xBC);
const QColor nightTop(0x07, 0x08, 0x1c);
const QColor nightMiddle(0x16, 0x12, 0x3c);
const QColor nightHorizon(0x33, 0x1e, 0x55);
const QColor goldLight(0xfb, 0xe9, 0xaa);
const QColor gold(0xd4, 0xaa, 0x52);
const QColor goldDark(0x86, 0x5e, 0x22);
const QColor bronze(0x7a, 0x4f, 0x26);
const QColor ink(0x0a, 0x07, 0x12);

// An empty, fully transparent picture of the given size.
QImage transparentImage(int Width, int Height);

// The project font, bold, at a pixel size; stops the program when the family is not installed,
// since a substitute would silently change every picture. Small capitals are left out on purpose:
// outlines of text set in them come out with uneven gaps.
QFont font(int PixelSize, qreal LetterSpacing = 0);

// Outline of a line of text whose horizontal centre and baseline are given.
QPainterPath centredText(const QString &Text, const QFont &Font, qreal CentreX, qreal Baseline);

// A vertical gold gradient over the given span.
QLinearGradient goldGradient(qreal Top, qreal Bottom);

// Fills a path with gold, with a dark outline and a soft shadow beneath, so it reads on any
// background.
void paintGoldShape(QImage &Image, const QPainterPath &Path, qreal Outline = 1.0,
                    qreal ShadowRadius = 2.0);

// Blurs the image in place (a few box passes, close to a Gaussian).
void blur(QImage &Image, int Radius);

// Adds fine luminance noise, the texture of painted canvas; deterministic for a given generator.
void addNoise(QImage &Image, int Amplitude, std::mt19937 &Generator);

// Night sky with stars and haze filling the rectangle; the generator makes it repeatable.
void paintNightSky(QImage &Image, const QRectF &Area, int StarCount, std::mt19937 &Generator);

// A pale crescent moon with its halo.
void paintMoon(QImage &Image, QPointF Centre, qreal Radius);

// A raven in flight, wings raised, centred on the point and as wide as given.
QPainterPath raven(QPointF Centre, qreal Width);

// Desaturates and dims a picture, for disabled states.
QImage disabled(const QImage &Image);

// A ring between two radii, and a square standing on one corner.
QPainterPath ring(QPointF Centre, qreal Outer, qreal Inner);
QPainterPath diamond(QPointF Centre, qreal Radius);

// A copy of the picture with noise of its own seed.
QImage withNoise(QImage Image, int Amplitude, unsigned Seed);

} // namespace PaintKit
