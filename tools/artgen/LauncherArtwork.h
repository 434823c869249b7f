#pragma once

#include <QImage>
#include <QString>

#include <vector>

// Paints every picture the launcher's user interface loads from its resources, at the pixel sizes
// its layout relies on. The same run always yields the same pictures.
class LauncherArtwork final
{
public:
    struct Picture
    {
        QString fileName;
        QImage image;
    };

    std::vector<Picture> paintAll() const;

    // Writes the pictures into the directory (PNG, or JPEG for ".jpg" names); false on failure.
    static bool save(const std::vector<Picture> &Pictures, const QString &Directory);

private:
    enum ButtonState
    {
        Idle,
        Hover,
        Pressed
    };

    static QImage background();
    static QImage tileLogo();
    static QImage splash(const QString &Status);
    static QImage makerLogo();
    static QImage aboutIcon();
    static QImage socialIcon(bool Twitter);
    static QImage button(const QColor &Colour, int State);
    static QImage buttonIcon(const QString &Word);
    static QImage progressBackground();
    static QImage progressChunk();
    static QImage tilePanel();
    static QImage footerPanel();
    static QImage checkBox(bool Checked);
    static QImage scrollGroove();
    static QImage scrollHandle();
    static QImage scrollArrow(bool Up, bool Pressed);
};
