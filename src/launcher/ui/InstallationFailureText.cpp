#include "InstallationFailureText.h"

#include <QCoreApplication>

namespace vorna::launcher {

namespace {

QString translated(const char *Text)
{
    return QCoreApplication::translate("InstallationFailure", Text);
}

} // namespace

TInstallationFailureText installationFailureText(EPackageDownloaderError Reason,
                                                 const QString &PackageName,
                                                 const QStringList &Arguments)
{
    switch (Reason) {
    case EPackageDownloaderError::NoError:
        break;
    case EPackageDownloaderError::DownloadFailed:
        return {translated("Download failed"),
                translated("The installation of %1 failed.\n\nNot all files necessary could "
                           "be downloaded. Please try again later.\n\nDiagnostic "
                           "information: %2")
                    .arg(PackageName, Arguments.value(0))};
    case EPackageDownloaderError::SavingOperationFailed:
        return {translated("Installation failed"),
                translated("The installation of %1 failed.\n\nMake sure you have enough "
                           "free disk space and the application isn't currently running, "
                           "then try again.")
                    .arg(PackageName)};
    case EPackageDownloaderError::VerificationFailed:
        return {translated("Installation failed"),
                translated("The installation of %1 failed.\n\nVerification of game data "
                           "failed!")
                    .arg(PackageName)};
    case EPackageDownloaderError::NotEnoughDiskSpace:
        return {translated("Not enough disk space"),
                translated("%1 does not fit on the disk: needs %2, %3 free on %4.\n\n"
                           "Make room on %4, then try again.")
                    .arg(PackageName, Arguments.value(0), Arguments.value(1), Arguments.value(2))};
    }
    return {};
}

QString cdnDiagnosticPlaceholder(bool Loading)
{
    return Loading ? translated("Loading, please wait...")
                   : translated("Failed to obtain information.");
}

} // namespace vorna::launcher
