#pragma once

#include <QMetaType>

namespace vorna::launcher {

// Why a package download ended badly. Stored by the installation as its errorReason and shown
// by the failure dialogs; the numeric values are part of that contract, never renumber them.
enum class EPackageDownloaderError : int
{
    NoError = 0,
    // A chunk could not be fetched, decompressed or checked.
    DownloadFailed = 1,
    // A chunk arrived intact but could not be written (disk full, no permission).
    SavingOperationFailed = 2,
    // Set by the installation when the files read back do not match their hashes.
    VerificationFailed = 3,
    // Set by the installation manager: the files do not fit on the disk, found before the
    // download (nothing was written) or after saving failed on a full disk.
    NotEnoughDiskSpace = 4,
};

} // namespace vorna::launcher

Q_DECLARE_METATYPE(vorna::launcher::EPackageDownloaderError)
