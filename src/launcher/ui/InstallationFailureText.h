#pragma once

#include "download/EPackageDownloaderError.h"

#include <QString>
#include <QStringList>

namespace vorna::launcher {

// What the player reads when an installation ends badly: the one place that turns a reason into
// words. Every text goes through the translator (context "InstallationFailure"); without a
// catalogue the English texts below are shown as they are.
struct TInstallationFailureText
{
    QString title;
    QString text;
};

// The dialog for Reason and the package named PackageName; empty for NoError. Arguments fill
// the reason's further places in order: the diagnostic line for DownloadFailed; the size needed,
// the size free and the volume for NotEnoughDiskSpace. All places are filled at once, so a "%2"
// in a package name stays as it is.
TInstallationFailureText installationFailureText(EPackageDownloaderError Reason,
                                                 const QString &PackageName,
                                                 const QStringList &Arguments = {});

// The diagnostic line of the download-failed dialog while the CDN trace is outstanding
// (Loading true), or when it could not be had.
QString cdnDiagnosticPlaceholder(bool Loading);

} // namespace vorna::launcher
