#pragma once

#include <QString>
#include <QUrl>
#include <QtGlobal>

namespace vorna::launcher {

// A patch listed with a file entry; carried along, not applied by anything yet.
struct TPatchInPackage
{
    QUrl url;
    QString fromVersion;
    QString toVersion;
    qint64 size = 0;
};

} // namespace vorna::launcher
