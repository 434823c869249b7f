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
