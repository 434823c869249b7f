#pragma once

#include <QString>

namespace testsupport {

// A tmpfs of limited size mounted over a test directory, so that disk-full and read-only faults
// hit the launcher for real. Mounting needs root (and a sandbox that allows it); tests skip when
// mount() fails and report errorText(). The destructor unmounts, lazily if the mount is busy,
// so a failed test never leaves a mount behind over a temporary directory that is about to be
// removed.
class TTmpfsMount final
{
public:
    TTmpfsMount() = default;
    ~TTmpfsMount();
    TTmpfsMount(const TTmpfsMount &) = delete;
    TTmpfsMount &operator=(const TTmpfsMount &) = delete;

    // Mounts a tmpfs of SizeBytes over Directory (created when missing).
    bool mount(const QString &Directory, qint64 SizeBytes);
    bool isMounted() const { return !m_directory.isEmpty(); }
    QString directory() const { return m_directory; }
    QString errorText() const { return m_errorText; }

    bool resize(qint64 SizeBytes);
    bool setReadOnly(bool ReadOnly);
    void unmount();

    qint64 freeBytes() const;
    // Fills the file system with a filler file so that exactly FreeBytes stay free (a multiple
    // of the page size). False when that cannot be reached.
    bool fillLeaving(qint64 FreeBytes);

    static constexpr qint64 PageSize = 4096;
    static qint64 roundUpToPages(qint64 Bytes)
    {
        return (Bytes + PageSize - 1) / PageSize * PageSize;
    }

private:
    bool run(const QString &Program, const QStringList &Arguments);

    QString m_directory;
    QString m_errorText;
};

} // namespace testsupport
