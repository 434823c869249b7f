#pragma once

#include <QImage>
#include <QString>

// A mock-up of the launcher window built from real widgets and the launcher's style rules, with
// the pictures taken from a directory: the way to judge the artwork where it will be seen.
class ArtworkPreview final
{
public:
    static QImage render(const QString &Directory);
};
