#include "LauncherArtwork.h"

#include "PaintKit.h"

#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPathStroker>
#include <QRadialGradient>
#include <QTransform>
#include <QtMath>

#include <cmath>

using namespace PaintKit;

namespace {

enum ButtonState
{
    Idle,
    Hover,
    Pressed
};

// A ridge line across the picture: a few slow waves plus jagged detail, closed down to the bottom.
QPainterPath ridge(qreal Width, qreal Bottom, qreal Base, qreal Height, std::mt19937 &Generator)
{
    std::uniform_real_distribution<qreal> phase(0, 6.2832);
    std::uniform_real_distribution<qreal> jitter(-1, 1);
    const qreal phases[] = {phase(Generator), phase(Generator), phase(Generator)};
    QPainterPath path;
    path.moveTo(-2, Bottom);
    for (qreal x = -2; x <= Width + 8; x += 5) {
        const qreal wave = std::sin(x / 170 + phases[0]) * 0.55 +
                           std::sin(x / 67 + phases[1]) * 0.3 + std::sin(x / 23 + phases[2]) * 0.12;
        path.lineTo(x, Base - Height * (wave + 0.5) + jitter(Generator) * Height * 0.06);
    }
    path.lineTo(Width + 8, Bottom);
    path.closeSubpath();
    return path;
}

// A keep with towers on a hill, windows lit; its foot is at the given point.
void paintCastle(QPainter &Painter, QPointF Foot, qreal Scale)
{
    const QColor stone(0x09, 0x07, 0x14);
    QPainterPath castle;
    auto tower = [&](qreal x, qreal width, qreal height) {
        castle.addRect(Foot.x() + x * Scale, Foot.y() - height * Scale, width * Scale,
                       height * Scale);
        QPainterPath roof;
        roof.moveTo(Foot.x() + (x - 1.5) * Scale, Foot.y() - height * Scale);
        roof.lineTo(Foot.x() + (x + width / 2) * Scale, Foot.y() - (height + width * 1.5) * Scale);
        roof.lineTo(Foot.x() + (x + width + 1.5) * Scale, Foot.y() - height * Scale);
        roof.closeSubpath();
        castle.addPath(roof);
    };
    castle.addRect(Foot.x() - 4 * Scale, Foot.y() - 22 * Scale, 70 * Scale, 22 * Scale);
    tower(-10, 10, 40);
    tower(14, 12, 56);
    tower(36, 9, 34);
    tower(58, 10, 44);
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(stone);
    Painter.drawPath(castle.simplified());

    const QPointF windows[] = {{-6, 30}, {18, 44}, {20, 30}, {39, 25}, {61, 34}, {8, 14}, {46, 12}};
    for (const QPointF &window : windows) {
        const QPointF centre(Foot.x() + window.x() * Scale, Foot.y() - window.y() * Scale);
        QRadialGradient glow(centre, 7 * Scale);
        glow.setColorAt(0, QColor(0xff, 0xc0, 0x60, 110));
        glow.setColorAt(1, QColor(0xff, 0x90, 0x30, 0));
        Painter.setBrush(glow);
        Painter.drawEllipse(centre, 7 * Scale, 7 * Scale);
        Painter.setBrush(QColor(0xff, 0xd2, 0x7a));
        Painter.drawRect(
            QRectF(centre.x() - 0.9 * Scale, centre.y() - 1.6 * Scale, 1.8 * Scale, 3.2 * Scale));
    }
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

// The game's emblem: a raven crossing the crescent moon inside a gold ring.
void paintEmblem(QImage &Image, QPointF Centre, qreal Radius, std::mt19937 &Generator)
{
    {
        QPainter painter(&Image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        QRadialGradient glow(Centre, Radius * 1.45);
        glow.setColorAt(0.6, QColor(0xe8, 0xb8, 0x58, 90));
        glow.setColorAt(1.0, QColor(0xe8, 0xb8, 0x58, 0));
        painter.setBrush(glow);
        painter.drawEllipse(Centre, Radius * 1.45, Radius * 1.45);
    }
    QImage inside = transparentImage(Image.width(), Image.height());
    const QRectF disc(Centre.x() - Radius, Centre.y() - Radius, Radius * 2, Radius * 2);
    paintNightSky(inside, disc, static_cast<int>(Radius * 1.5), Generator);
    paintMoon(inside, Centre + QPointF(Radius * 0.28, -Radius * 0.22), Radius * 0.4);
    {
        QPainter painter(&inside);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPainterPath bird = raven(Centre + QPointF(0, Radius * 0.18), Radius * 1.75);
        painter.setPen(QPen(QColor(0x8a, 0x78, 0xc0, 150), qMax(0.8, Radius / 40)));
        painter.setBrush(ink);
        painter.drawPath(bird);
        // Cut the square of sky down to the disc; the mask covers the whole picture so that
        // everything outside the disc is cleared too.
        QImage mask = transparentImage(Image.width(), Image.height());
        {
            QPainter maskPainter(&mask);
            maskPainter.setRenderHint(QPainter::Antialiasing);
            maskPainter.setPen(Qt::NoPen);
            maskPainter.setBrush(Qt::black);
            maskPainter.drawEllipse(Centre, Radius * 0.96, Radius * 0.96);
        }
        painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        painter.drawImage(0, 0, mask);
    }
    {
        QPainter painter(&Image);
        painter.drawImage(0, 0, inside);
    }
    QPainterPath frame = ring(Centre, Radius * 1.04, Radius * 0.92);
    frame.addPath(ring(Centre, Radius * 1.13, Radius * 1.09));
    for (const qreal angle : {0.0, 90.0, 180.0, 270.0}) {
        const qreal radians = qDegreesToRadians(angle);
        frame.addPath(diamond(Centre + QPointF(std::cos(radians), std::sin(radians)) * Radius * 1.1,
                              Radius * 0.1));
    }
    paintGoldShape(Image, frame.simplified(), qMax(0.6, Radius / 45), Radius / 16);
}

// "CORVANE" in large capitals and "Online" beneath, between two rules.
void paintTitle(QImage &Image, qreal CentreX, qreal Baseline, int PixelSize)
{
    const QPainterPath name = centredText(QStringLiteral("CORVANE"),
                                          font(PixelSize, PixelSize / 14.0), CentreX, Baseline);
    paintGoldShape(Image, name, qMax(0.7, PixelSize / 26.0), PixelSize / 10.0);

    const int smallSize = qMax(9, PixelSize * 9 / 20);
    const qreal smallBaseline = Baseline + smallSize * 1.45;
    QPainterPath online = centredText(QStringLiteral("ONLINE"), font(smallSize, smallSize / 2.5),
                                      CentreX, smallBaseline);
    const QRectF bounds = online.boundingRect();
    const qreal ruleY = bounds.center().y();
    const qreal ruleLength = PixelSize * 1.3;
    QPainterPath rules;
    rules.addRect(QRectF(bounds.left() - 6 - ruleLength, ruleY - 0.6, ruleLength, 1.2));
    rules.addRect(QRectF(bounds.right() + 6, ruleY - 0.6, ruleLength, 1.2));
    rules.addPath(diamond(QPointF(bounds.left() - 6 - ruleLength, ruleY), 2));
    rules.addPath(diamond(QPointF(bounds.right() + 6 + ruleLength, ruleY), 2));
    paintGoldShape(Image, rules.simplified(), 0.5, 1);

    QImage shadow = transparentImage(Image.width(), Image.height());
    {
        QPainter painter(&shadow);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(online.translated(0, 1), QColor(0, 0, 0, 230));
    }
    blur(shadow, 1);
    QPainter painter(&Image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawImage(0, 0, shadow);
    painter.fillPath(online, textColour);
}

// The frame shared by the splash screens: a dark edge, a gold line and a bronze inner line.
void paintFrame(QImage &Image)
{
    QPainter painter(&Image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(0, 0, Image.width(), Image.height());
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(ink, 1));
    painter.drawRect(area.adjusted(0.5, 0.5, -0.5, -0.5));
    painter.setPen(QPen(gold, 1.5));
    painter.drawRect(area.adjusted(2, 2, -2, -2));
    painter.setPen(QPen(QColor(bronze.red(), bronze.green(), bronze.blue(), 170), 1));
    painter.drawRect(area.adjusted(4.5, 4.5, -4.5, -4.5));
    painter.end();
    QPainterPath corners;
    for (const QPointF &corner :
         {area.topLeft() + QPointF(2, 2), area.topRight() + QPointF(-2, 2),
          area.bottomLeft() + QPointF(2, -2), area.bottomRight() + QPointF(-2, -2)})
        corners.addPath(diamond(corner, 4));
    paintGoldShape(Image, corners, 0.6, 0);
}

QImage withNoise(QImage Image, int Amplitude, unsigned Seed)
{
    std::mt19937 generator(Seed);
    addNoise(Image, Amplitude, generator);
    return Image;
}

} // namespace

std::vector<LauncherArtwork::Picture> LauncherArtwork::paintAll() const
{
    std::vector<Picture> pictures;
    auto add = [&pictures](const QString &Name, const QImage &Image) {
        pictures.push_back({Name, Image});
    };
    add(QStringLiteral("BackgroundImage.jpg"), background());
    add(QStringLiteral("KelmontLogo.png"), makerLogo());
    add(QStringLiteral("icircle.png"), aboutIcon());
    add(QStringLiteral("Twitter.png"), socialIcon(true));
    add(QStringLiteral("Discord.png"), socialIcon(false));
    add(QStringLiteral("hint-background.png"), footerPanel());
    add(QStringLiteral("LauncherLogo_QT.png"), splash(QStringLiteral("Loading...")));
    add(QStringLiteral("LauncherLogo_UpdatingLauncher.png"),
        splash(QStringLiteral("Updating launcher...")));
    add(QStringLiteral("CorvaneLogo_LaunchingClient.png"),
        splash(QStringLiteral("Starting the game...")));
    const QImage logo = tileLogo();
    add(QStringLiteral("CorvaneLogo_QT.png"), logo);
    add(QStringLiteral("CorvaneLogo_QT_disabled.png"), disabled(logo));
    const std::pair<const char *, QColor> colours[] = {{"Red", QColor(0xb0, 0x2c, 0x2a)},
                                                       {"Blue", QColor(0x2c, 0x5e, 0xc0)},
                                                       {"Orange", QColor(0xd6, 0x80, 0x1a)},
                                                       {"Green", QColor(0x3a, 0x98, 0x38)}};
    const std::pair<const char *, int> states[] = {
        {"idle", Idle}, {"hover", Hover}, {"pressed", Pressed}};
    for (const auto &[colourName, colour] : colours)
        for (const auto &[stateName, state] : states)
            add(QStringLiteral("Button_%1_%2.png")
                    .arg(QLatin1String(colourName), QLatin1String(stateName)),
                button(colour, state));
    for (const char *word : {"Download", "Update", "Play"})
        add(QStringLiteral("Icon_%1.png").arg(QLatin1String(word)),
            buttonIcon(QLatin1String(word)));
    add(QStringLiteral("ProgressBar_BG.png"), progressBackground());
    add(QStringLiteral("ProgressBar.png"), progressChunk());
    add(QStringLiteral("clientpackage-background.png"), tilePanel());
    add(QStringLiteral("checkbox-checked.png"), checkBox(true));
    add(QStringLiteral("checkbox-unchecked.png"), checkBox(false));
    add(QStringLiteral("scrollbar-texture-vertical.png"), scrollGroove());
    add(QStringLiteral("scrollbar-handle-vertical.png"), scrollHandle());
    add(QStringLiteral("scrollbar-buttonup-up.png"), scrollArrow(true, false));
    add(QStringLiteral("scrollbar-buttonup-down.png"), scrollArrow(true, true));
    add(QStringLiteral("scrollbar-buttondown-up.png"), scrollArrow(false, false));
    add(QStringLiteral("scrollbar-buttondown-down.png"), scrollArrow(false, true));
    return pictures;
}

bool LauncherArtwork::save(const std::vector<Picture> &Pictures, const QString &Directory)
{
    if (!QDir().mkpath(Directory))
        return false;
    const QDir directory(Directory);
    for (const Picture &picture : Pictures) {
        const bool jpeg = picture.fileName.endsWith(QLatin1String(".jpg"));
        const QImage image = jpeg ? picture.image.convertToFormat(QImage::Format_RGB32)
                                  : picture.image.convertToFormat(QImage::Format_ARGB32);
        if (!image.save(directory.filePath(picture.fileName), jpeg ? "JPEG" : "PNG",
                        jpeg ? 90 : -1))
            return false;
    }
    return true;
}

QImage LauncherArtwork::background()
{
    const int width = 850;
    const int height = 450;
    std::mt19937 generator(1852);
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    paintNightSky(image, QRectF(0, 0, width, height), 1100, generator);
    paintMoon(image, QPointF(742, 62), 22);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);

        // Far range lit from behind by the moon, mist in the valleys, then nearer and darker hills.
        const QPainterPath far = ridge(width, height, 305, 110, generator);
        QLinearGradient farFill(0, 230, 0, 380);
        farFill.setColorAt(0, QColor(0x2c, 0x22, 0x5a));
        farFill.setColorAt(1, QColor(0x14, 0x10, 0x30));
        painter.setBrush(farFill);
        painter.drawPath(far);
        painter.setPen(QPen(QColor(0xb8, 0xa0, 0xe8, 45), 1.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(far);
        painter.setPen(Qt::NoPen);

        QLinearGradient mist(0, 300, 0, 400);
        mist.setColorAt(0, QColor(0x8a, 0x70, 0xc0, 0));
        mist.setColorAt(0.5, QColor(0x8a, 0x70, 0xc0, 55));
        mist.setColorAt(1, QColor(0x8a, 0x70, 0xc0, 0));
        painter.fillRect(QRectF(0, 300, width, 100), mist);

        const QPainterPath middle = ridge(width, height, 350, 60, generator);
        painter.setBrush(QColor(0x10, 0x0c, 0x26));
        painter.drawPath(middle);
        // The castle stands on a crag of the middle range.
        QPainterPath crag;
        crag.moveTo(-4, height);
        crag.lineTo(-4, 326);
        crag.lineTo(14, 318);
        crag.lineTo(30, 317);
        crag.lineTo(112, 317);
        crag.lineTo(128, 326);
        crag.quadTo(150, 340, 190, height);
        crag.closeSubpath();
        painter.drawPath(crag);
        paintCastle(painter, QPointF(40, 318), 1.0);
        const QPainterPath near = ridge(width, height, 418, 40, generator);
        painter.setBrush(QColor(0x07, 0x05, 0x10));
        painter.drawPath(near);

        // Darker edges keep the eye on the tiles in the middle.
        QRadialGradient vignette(QPointF(width / 2.0, height * 0.4), width * 0.62);
        vignette.setColorAt(0.55, QColor(0, 0, 0, 0));
        vignette.setColorAt(1.0, QColor(0, 0, 0, 150));
        painter.fillRect(image.rect(), vignette);
    }
    addNoise(image, 3, generator);
    return image;
}

QImage LauncherArtwork::tileLogo()
{
    QImage image = transparentImage(196, 152);
    std::mt19937 generator(77);
    paintEmblem(image, QPointF(98, 50), 38, generator);
    paintTitle(image, 98, 122, 30);
    return image;
}

QImage LauncherArtwork::splash(const QString &Status)
{
    QImage image(196, 152, QImage::Format_ARGB32_Premultiplied);
    std::mt19937 generator(4242);
    paintNightSky(image, QRectF(image.rect()), 160, generator);
    paintEmblem(image, QPointF(98, 41), 25, generator);
    paintTitle(image, 98, 94, 24);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPainterPath status = centredText(Status, font(12, 0.4), 98, 136);
        painter.fillPath(status.translated(0, 1), ink);
        painter.fillPath(status, textColour);
    }
    paintFrame(image);
    addNoise(image, 2, generator);
    return image;
}

QImage LauncherArtwork::makerLogo()
{
    QImage image = transparentImage(149, 23);
    QPainterPath mark = diamond(QPointF(11, 11.5), 9.5);
    mark = mark.subtracted(diamond(QPointF(11, 11.5), 6.8));
    mark.addPath(diamond(QPointF(11, 11.5), 3.6));
    paintGoldShape(image, mark.simplified(), 0.6, 1);
    const QPainterPath name = [] {
        QPainterPath path;
        path.addText(27, 17.5, font(16, 3.2), QStringLiteral("KELMONT"));
        return path;
    }();
    QImage shadow = transparentImage(image.width(), image.height());
    {
        QPainter painter(&shadow);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(name.translated(0, 1), QColor(0, 0, 0, 220));
    }
    blur(shadow, 1);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawImage(0, 0, shadow);
    painter.fillPath(name, textColour);
    return image;
}

QImage LauncherArtwork::aboutIcon()
{
    QImage image = transparentImage(16, 16);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(gold, 1.4));
    painter.setBrush(QColor(0x1e, 0x16, 0x40));
    painter.drawEllipse(QPointF(8, 8), 7.1, 7.1);
    painter.setPen(Qt::NoPen);
    painter.setBrush(textColour);
    painter.drawEllipse(QPointF(8, 4.7), 1.25, 1.25);
    painter.drawRoundedRect(QRectF(7, 6.9, 2, 5.6), 0.5, 0.5);
    return image;
}

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
