// The confined join that every relative path from a document goes through before the launcher
// touches the disk: whatever the document says, the result stays inside the base directory.
//
// Input: one selector byte that picks the base directory, then the relative path in UTF-8.

#include "FuzzSupport.h"

#include "shared/TFileSystemHelper.h"

#include <QDir>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (Size < 1)
        return 0;
    // Bases with a trailing separator, with parent references of their own, the root and a
    // relative one (made absolute against the working directory).
    static const QDir bases[] = {
        QDir(QStringLiteral("/srv/corvane/packages/client")),
        QDir(QStringLiteral("/srv/corvane/packages/client/")),
        QDir(QStringLiteral("/srv/corvane/other/../packages/./client")),
        QDir(QStringLiteral("/")),
        QDir(QStringLiteral("packages/client")),
        QDir(QStringLiteral("/srv/corvane/packages/client.old")),
    };
    const QDir &base = bases[Data[0] % (sizeof(bases) / sizeof(bases[0]))];
    const QString relative =
        QString::fromUtf8(reinterpret_cast<const char *>(Data + 1), int(Size - 1));

    static const shared::TFileSystemHelper helper;
    const QString cleanedBase = QDir::cleanPath(base.absolutePath());
    const QString path = helper.filePathInDirectory(base, relative);
    fuzz::checkConfined(path, cleanedBase, relative);
    fuzz::check(helper.filePathInDirectory(base, relative) == path, "confined join not stable");
    return 0;
}
