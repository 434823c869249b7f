#include "TSentinelDirectory.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace testsupport {

namespace {

void writeFile(const QString &Path, const QByteArray &Content)
{
    QFile File(Path);
    if (File.open(QIODevice::WriteOnly | QIODevice::Truncate))
        File.write(Content);
}

} // namespace

TSentinelDirectory::TSentinelDirectory(const QString &Path) : m_path(QDir::cleanPath(Path))
{
    QDir().mkpath(m_path + QStringLiteral("/inner"));
    // Names that a hostile document is likely to aim at.
    for (const QString &Name : {QStringLiteral("victim.txt"), QStringLiteral("x"),
                                QStringLiteral("package.json"), QStringLiteral("inner/victim.txt")})
        writeFile(filePath(Name), "sentinel " + Name.toUtf8());
    // An old modification time, so that a rewrite with equal content still shows.
    for (const QString &Name : listTree(m_path)) {
        if (Name.endsWith(QLatin1Char('/')))
            continue;
        QFile File(filePath(Name));
        if (File.open(QIODevice::ReadWrite))
            File.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000),
                             QFileDevice::FileModificationTime);
    }
    m_entries = snapshot();
}

QString TSentinelDirectory::filePath(const QString &Name) const
{
    return m_path + QLatin1Char('/') + Name;
}

QMap<QString, TSentinelDirectory::TEntry> TSentinelDirectory::snapshot() const
{
    QMap<QString, TEntry> Entries;
    for (const QString &Name : listTree(m_path)) {
        TEntry Entry;
        const QFileInfo Info(filePath(Name));
        Entry.modified = Info.lastModified();
        if (!Name.endsWith(QLatin1Char('/'))) {
            QFile File(filePath(Name));
            if (File.open(QIODevice::ReadOnly))
                Entry.content = File.readAll();
        }
        Entries.insert(Name, Entry);
    }
    return Entries;
}

QStringList TSentinelDirectory::changes() const
{
    QStringList Changes;
    const auto Now = snapshot();
    for (auto It = m_entries.cbegin(); It != m_entries.cend(); ++It) {
        const auto Found = Now.constFind(It.key());
        if (Found == Now.cend())
            Changes << QStringLiteral("removed: ") + It.key();
        else if (Found->content != It->content)
            Changes << QStringLiteral("content changed: ") + It.key();
        else if (!It.key().endsWith(QLatin1Char('/')) && Found->modified != It->modified)
            Changes << QStringLiteral("modified: ") + It.key();
    }
    for (auto It = Now.cbegin(); It != Now.cend(); ++It) {
        if (!m_entries.contains(It.key()))
            Changes << QStringLiteral("added: ") + It.key();
    }
    return Changes;
}

QStringList listTree(const QString &Root)
{
    QStringList Names;
    const QDir Base(Root);
    QDirIterator It(Root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (It.hasNext()) {
        It.next();
        const QFileInfo Info = It.fileInfo();
        QString Name = Base.relativeFilePath(Info.filePath());
        if (Info.isDir() && !Info.isSymLink())
            Name += QLatin1Char('/');
        Names << Name;
    }
    Names.sort();
    return Names;
}

} // namespace testsupport
