#pragma once

#include <QString>

#include <exception>

namespace shared {

// What went wrong, for code that has to decide what to do next or what to tell the player. The
// text for the log and the critical file dialog is composed from it by TError::text().
enum class EErrorCode
{
    // A file could not be opened, read or written; the detail is the reason.
    OpenFailed,
    ReadFailed,
    WriteFailed,
    // A file could not be deleted, or a link or directory tree could not be removed or renamed.
    DeleteFailed,
    RemoveFailed,
    RenameFailed,
    // A directory could not be created, or the one to create it in does not exist.
    CreateFolderFailed,
    FolderMissing,
    // A name from a document that leads out of the installation directory or names the
    // directory itself.
    PathOutsideDirectory,
    InvalidFileName,
    // Content that does not have its hash, or cannot be unpacked or rebuilt from a delta.
    HashMismatch,
    DecompressionFailed,
    DeltaFailed,
    // Content to be cached for a later place that no pending entry expects.
    PendingChunkMissing,
    // A package whose documents cannot be installed as they are.
    InvalidPackage,
    // A package whose configuration for this platform went away while it was being installed.
    ConfigurationUnavailable,
    // The scan of the installation directory failed; the detail is the first failure.
    ScanFailed,
    // The publisher: an option, or a combination of options, it refuses.
    InvalidOption,
    // The publisher: input it cannot publish, such as a source tree, a description or a key that
    // is not what it must be.
    InvalidInput,
    // The publisher: a source file or stored object that changed while it was being published.
    SourceChanged,
    // Anything else: an exception of another kind, whose text is the detail.
    Unexpected,
};

// One failure: its code, the file or directory concerned (may be empty) and a detail in the
// system's fixed English or the operating system's words.
struct TError
{
    EErrorCode code = EErrorCode::Unexpected;
    QString path;
    QString detail;

    // The text as the log and the dialogs show it: "I/O error on file '<path>': <detail>" for a
    // failure with a path, the detail alone without one, and the fixed forms of deleting a file,
    // creating a folder, a refused file name and a failed scan.
    QString text() const;
};

// The I/O error text shared by every file operation: "I/O error on file '<name>': <reason>".
QString ioErrorText(const QString &FileName, const QString &Reason);

// The error an exception carries: a TErrorException's own, the code of a container or delta
// that cannot be decoded, else Unexpected with the exception's text.
TError errorOf(const std::exception &Error);

} // namespace shared
