#include "TPackageInstallation.h"

#include "configuration/TLauncherFilesystemHelper.h"
#include "download/ChunkProcessing.h"
#include "download/TPackageFileDownloader.h"
#include "format/ParallelWork.h"
#include "format/TError.h"
#include "format/TSha256.h"
#include "format/TTextError.h"
#include "packages/TDifferenceComputation.h"
#include "packages/TPackage.h"
#include "shared/LogCategories.h"
#include "shared/QNetworkAccessManagerWrapper.h"
#include "shared/TBandwidthLimiter.h"
#include "shared/TDownloadPool.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QtConcurrent>

#include <optional>

namespace vorna::launcher {

namespace {

constexpr qint64 VerificationReadSize = 10485760;

void deleteDownloaderLater(TPackageFileDownloader *pDownloader)
{
    if (pDownloader)
        pDownloader->deleteLater();
}

// Shared by the workers of one verification; the mutex guards the byte counts.
struct TVerificationContext
{
    QMutex mutex;
    TFileSize bytesVerified = 0;
    TFileSize bytesTotal = 0;
    QDir directory;
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    std::function<void(TFileSize, TFileSize)> progress;
};

// Hashes one file; false when it is missing, unreadable or different.
bool verifyFile(TVerificationContext &Context, const TFileInPackage &File, QByteArray &Buffer)
{
    const QString Path =
        Context.filesystemHelper->filePathInDirectory(Context.directory, File.localFile);
    QFile Target(Path);
    if (!QFileInfo(Path).isFile() || !Target.open(QIODevice::ReadOnly))
        return false;
    try {
        ::shared::TSha256 Hash;
        for (;;) {
            const qint64 Read = Target.read(Buffer.data(), Buffer.size());
            if (Read < 0)
                return false;
            if (Read == 0)
                break;
            Hash.addData(Buffer.constData(), std::size_t(Read));
            QMutexLocker Lock(&Context.mutex);
            Context.bytesVerified += Read;
            Context.progress(Context.bytesVerified, Context.bytesTotal);
        }
        if (Hash.result() != File.unpackedHash) {
            qCWarning(lcInstallation) << "verification of file " << File.localFile << " failed";
            return false;
        }
    } catch (const std::exception &Error) {
        qCWarning(lcInstallation) << "verification of files crashed in file: " << File.localFile
                                  << " exception: " << ::shared::errorText(Error);
        return false;
    }
    qCInfo(lcInstallation) << "verification of file " << File.localFile << " successfully";
    return true;
}

} // namespace

// What the scan task hands back: the difference, or why it failed.
struct TPackageInstallation::TScanResult
{
    std::optional<TPackageDifference> difference;
    ::shared::TError error;
};

TPackageInstallation::TPackageInstallation(
    std::shared_ptr<TPackage> pPackage, std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
    : m_package(std::move(pPackage)), m_downloader(nullptr, &deleteDownloaderLater),
      m_filesystemHelper(std::move(FilesystemHelper))
{
    qRegisterMetaType<TPackageDifference>("TPackageDifference");
    m_pool = std::make_shared<::shared::TDownloadPool>(
        m_filesystemHelper->settings()->maxConcurrentDownloads,
        std::make_shared<::shared::QNetworkAccessManagerWrapper>(
            std::make_shared<QNetworkAccessManager>()),
        nullptr, false);
    m_pool->setTransferTimeout(m_filesystemHelper->settings()->transferTimeout);
    m_downloader.reset(new TPackageFileDownloader(m_pool, m_filesystemHelper));
    connect(m_downloader.get(), &TPackageFileDownloader::downloadCompleted, this,
            &TPackageInstallation::onDownloadCompleted);
    connect(m_downloader.get(), &TPackageFileDownloader::downloadFailed, this,
            &TPackageInstallation::onDownloadFailed);
}

TPackageInstallation::~TPackageInstallation()
{
    // Workers report to this object; they must be done before it goes.
    waitForWorkers();
}

std::shared_ptr<TPackageInstallation>
TPackageInstallation::makeInstallation(std::shared_ptr<TPackage> pPackage,
                                       std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
{
    return std::shared_ptr<TPackageInstallation>(
        new TPackageInstallation(std::move(pPackage), std::move(FilesystemHelper)),
        [](TPackageInstallation *pInstallation) { pInstallation->deleteLater(); });
}

void TPackageInstallation::waitForWorkers()
{
    if (m_scanWatcher)
        m_scanWatcher->waitForFinished();
    if (m_verificationWatcher)
        m_verificationWatcher->waitForFinished();
}

void TPackageInstallation::setBandwidthLimiter(std::shared_ptr<::shared::TBandwidthLimiter> Limiter)
{
    m_pool->setBandwidthLimiter(std::move(Limiter));
}

void TPackageInstallation::pause()
{
    if (m_paused)
        return;
    qCInfo(lcInstallation) << "pause: " << m_package->name();
    m_paused = true;
    // A limit of 0 starts nothing new; the chunks waiting in the pool's queue stay there.
    m_pool->setMaxConcurrentDownloads(0);
    emit pausedChanged(true);
}

void TPackageInstallation::resume()
{
    if (!m_paused)
        return;
    qCInfo(lcInstallation) << "resume: " << m_package->name();
    m_paused = false;
    m_pool->setMaxConcurrentDownloads(m_filesystemHelper->settings()->maxConcurrentDownloads);
    emit pausedChanged(false);
}

void TPackageInstallation::setNotEnoughDiskSpace(const TDiskSpaceCheck &Space)
{
    m_diskSpace = Space;
    m_succeeded = false;
    m_errorReason = EPackageDownloaderError::NotEnoughDiskSpace;
}

void TPackageInstallation::setVersions(const QString &LocalVersion, const QString &RemoteVersion)
{
    m_localVersion = LocalVersion;
    m_remoteVersion = RemoteVersion;
}

TPackageDifference TPackageInstallation::computeRequiredChanges(
    const QDir &InstallationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper> &FilesystemHelper,
    TPackageConfigurationReader Remote, TPackageConfigurationReader Local, bool FastScan)
{
    return vorna::launcher::computeRequiredChanges(
        InstallationDirectory, FilesystemHelper, std::move(Remote), std::move(Local), FastScan,
        [this](TFileSize Scanned, TFileSize Total) { emit scanProgress(Scanned, Total); });
}

void TPackageInstallation::startRequiredChangesComputation(TPackageConfigurationReader Remote,
                                                           TPackageConfigurationReader Local,
                                                           bool FastScan)
{
    const QDir Directory = m_installationDirectory;
    const auto Helper = m_filesystemHelper;
    auto Scan = [this, Directory, Helper, Remote = std::move(Remote), Local = std::move(Local),
                 FastScan]() {
        TScanResult Result;
        try {
            Result.difference = computeRequiredChanges(Directory, Helper, Remote, Local, FastScan);
        } catch (const std::exception &Error) {
            Result.error = ::shared::errorOf(Error);
        } catch (...) {
            Result.error = {
                ::shared::EErrorCode::Unexpected, {}, QStringLiteral("unknown exception")};
        }
        return Result;
    };
    m_scanWatcher = new QFutureWatcher<TScanResult>(this);
    connect(m_scanWatcher, &QFutureWatcher<TScanResult>::finished, this, [this] {
        const TScanResult Result = m_scanWatcher->result();
        m_scanWatcher->deleteLater();
        m_scanWatcher = nullptr;
        if (Result.difference) {
            onRequiredChangesComputedForInstallation(*Result.difference);
            return;
        }
        qCCritical(lcInstallation) << "computeRequiredChanges failed: " << Result.error.text();
        onDownloadFailed(EPackageDownloaderError::DownloadFailed);
    });
    m_scanWatcher->setFuture(QtConcurrent::run(Scan));
}

void TPackageInstallation::onRequiredChangesComputedForInstallation(TPackageDifference Changes)
{
    qCInfo(lcInstallation) << "onRequiredChangesComputedForInstallation"
                           << " files to download: " << Changes.filesToDownload.size()
                           << " files to delete: " << Changes.filesToDelete.size();
    m_filesToDownload = std::move(Changes.filesToDownload);
    m_filesToDelete = std::move(Changes.filesToDelete);
    try {
        qCInfo(lcInstallation) << "startDownload: " << m_package->name();
        deleteObsoleteFiles();
        if (m_filesToDownload.empty()) {
            onDownloadCompleted();
            return;
        }
        m_downloader->setTargetDirectory(m_installationDirectory);
        m_downloader->setInstallationMode(m_installationMode);
        m_downloader->prepare(m_filesToDownload);
        m_downloader->start();
    } catch (const std::runtime_error &Error) {
        emit diskAccessFailed(::shared::errorText(Error));
    }
}

void TPackageInstallation::deleteObsoleteFiles()
{
    for (const TFileInPackage &File : m_filesToDelete) {
        QString Path;
        try {
            Path = confinedFilePath(*m_filesystemHelper, m_installationDirectory, File.localFile);
        } catch (const std::runtime_error &Error) {
            // Never the installation directory itself.
            qCWarning(lcInstallation) << "deleteObsoleteFiles: " << ::shared::errorText(Error);
            continue;
        }
        if (!staysInsideOnDisk(m_installationDirectory.absolutePath(), Path)) {
            qCWarning(lcInstallation)
                << "deleteObsoleteFiles: linked directory leads outside: " << Path;
            continue;
        }
        // A link, even a dangling one or one to a directory, goes as a link; what it leads to
        // is never entered.
        if (m_filesystemHelper->fileExists(Path) || QFileInfo(Path).isSymLink())
            removeForRewrite(*m_filesystemHelper, Path, m_installationMode);
    }
}

void TPackageInstallation::onDownloadCompleted()
{
    qCInfo(lcInstallation) << "onDownloadCompleted" << m_package->name();
    m_succeeded = true;
    m_errorReason = EPackageDownloaderError::NoError;
    emit downloadFinished(m_package);
}

void TPackageInstallation::onDownloadFailed(EPackageDownloaderError ErrorReason)
{
    qCInfo(lcInstallation) << "onDownloadFailed" << m_package->name() << " " << int(ErrorReason);
    m_succeeded = false;
    m_errorReason = ErrorReason;
    emit downloadFinished(m_package);
}

void TPackageInstallation::startVerification(const TPackageConfigurationReader &Configuration,
                                             bool Force)
{
    if (!Force && m_filesystemHelper->settings()->skipVerification) {
        onVerifyFinished(true);
        return;
    }
    const QDir Directory = m_installationDirectory;
    const auto Helper = m_filesystemHelper;
    const TFileInPackageVector Files = Configuration.files();
    m_verificationWatcher = new QFutureWatcher<bool>(this);
    connect(m_verificationWatcher, &QFutureWatcher<bool>::finished, this, [this] {
        const bool Result = m_verificationWatcher->result();
        m_verificationWatcher->deleteLater();
        m_verificationWatcher = nullptr;
        onVerifyFinished(Result);
    });
    m_verificationWatcher->setFuture(QtConcurrent::run([this, Directory, Helper, Files] {
        try {
            return VerifyPackage(Directory, Helper, Files);
        } catch (...) {
            qCWarning(lcInstallation) << "verification of files crashed ";
            return false;
        }
    }));
}

bool TPackageInstallation::VerifyPackage(
    const QDir &Directory, const std::shared_ptr<TLauncherFilesystemHelper> &FilesystemHelper,
    TFileInPackageVector Files)
{
    qCInfo(lcInstallation) << "VerifyPackage: " << Directory.absolutePath();
    TVerificationContext Context;
    for (const TFileInPackage &File : Files)
        Context.bytesTotal += TFileSize(std::min<quint64>(File.unpackedSize, quint64(1) << 62));
    Context.directory = Directory;
    Context.filesystemHelper = FilesystemHelper;
    Context.progress = [this](TFileSize Verified, TFileSize Total) {
        emit verificationProgress(Verified, Total);
    };
    // One read buffer per worker, made when the worker takes its first file.
    std::vector<QByteArray> Buffers(size_t(::shared::parallelWorkerCount(Files.size())));
    try {
        return ::shared::forEachInParallel(Files.size(), [&](std::size_t Index, int Worker) {
            QByteArray &Buffer = Buffers[size_t(Worker)];
            if (Buffer.isEmpty())
                Buffer = QByteArray(int(VerificationReadSize), Qt::Uninitialized);
            return verifyFile(Context, Files[Index], Buffer);
        });
    } catch (const std::exception &Error) {
        qCWarning(lcInstallation) << "verification of files crashed. exception: "
                                  << ::shared::errorText(Error);
    } catch (...) {
        qCWarning(lcInstallation) << "verification of files crashed ";
    }
    return false;
}

void TPackageInstallation::onVerifyFinished(bool Result)
{
    qCInfo(lcInstallation) << "onVerifyFinished with " << Result;
    m_succeeded = Result;
    m_errorReason =
        Result ? EPackageDownloaderError::NoError : EPackageDownloaderError::VerificationFailed;
    emit verificationFinished(m_package);
}

} // namespace vorna::launcher
