// Paints the launcher's artwork into a directory, and optionally a mock-up of the window using it:
//   corvane-artgen <output directory> [--preview <file.png>]
// The pictures are committed under resources/images/launcher/; run this again after changing it.

#include "ArtworkPreview.h"
#include "LauncherArtwork.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Painting needs fonts but no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QStringList arguments = QApplication::arguments().mid(1);
    QString previewPath;
    const int previewAt = arguments.indexOf(QStringLiteral("--preview"));
    if (previewAt >= 0 && previewAt + 1 < arguments.size()) {
        previewPath = arguments.at(previewAt + 1);
        arguments.erase(arguments.begin() + previewAt, arguments.begin() + previewAt + 2);
    }
    if (arguments.size() != 1) {
        std::fprintf(stderr, "usage: corvane-artgen <output directory> [--preview <file.png>]\n");
        return 1;
    }
    const QString directory = arguments.first();
    const auto pictures = LauncherArtwork().paintAll();
    if (!LauncherArtwork::save(pictures, directory)) {
        std::fprintf(stderr, "corvane-artgen: cannot write into %s\n", qPrintable(directory));
        return 1;
    }
    std::printf("%d pictures written to %s\n", static_cast<int>(pictures.size()),
                qPrintable(directory));
    if (!previewPath.isEmpty() && !ArtworkPreview::render(directory).save(previewPath)) {
        std::fprintf(stderr, "corvane-artgen: cannot write %s\n", qPrintable(previewPath));
        return 1;
    }
    return 0;
}
