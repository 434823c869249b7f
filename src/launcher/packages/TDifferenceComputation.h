#pragma once

#include "TPackageConfigurationReader.h"
#include "TPackageDifference.h"

#include <QDir>

#include <functional>
#include <memory>

namespace vorna::launcher {

class TLauncherFilesystemHelper;

// Receives (bytes scanned, bytes total); called from worker threads with the scan's lock held, so
// the values reported never go backwards.
using TScanProgressCallback = std::function<void(TFileSize BytesScanned, TFileSize BytesTotal)>;

// Compares the remote configuration with the installation directory and prepares the directory
// for the download: files that match are kept, reusable chunks are moved to their final offsets,
// files are cut to their final size, and files that cannot be reused are deleted. Returns what is
// left to download and which files of Local the remote configuration no longer has.
//
// Runs 6 workers on the global thread pool and blocks until they are done; call it from a pool
// task or any thread but the main one. Nothing outside InstallationDirectory is read, written or
// deleted: paths are confined to it and symbolic links are never followed. Throws
// std::runtime_error when a worker failed (for example when memory ran out); the directory is
// then partly rearranged, which a complete rescan repairs.
TPackageDifference
computeRequiredChanges(const QDir &InstallationDirectory,
                       const std::shared_ptr<TLauncherFilesystemHelper> &FilesystemHelper,
                       TPackageConfigurationReader Remote, TPackageConfigurationReader Local,
                       bool FastScan, TScanProgressCallback Progress);

} // namespace vorna::launcher
