#pragma once

#include "TReleaseSigner.h"

#include <QByteArray>
#include <QString>

namespace vorna::publisher {

// Turns a small description of the launcher's packages and services (a JSON file, see README.md)
// into the launcher metadata document. The description is checked strictly: an unknown key, an
// operating system or architecture the launcher would not recognise, a package without name or
// directory, or a service address the launcher could not reach stops with a TPublishError,
// because the launcher itself silently ignores such entries and the mistake would only show as
// a package missing on the players' machines.
class TMetadataWriter final
{
public:
    static QByteArray metadataFromDescription(const QByteArray &Description);

    // Reads the description file and writes the document atomically, signed when the signer has
    // keys; throws TPublishError.
    static void writeMetadata(const QString &DescriptionPath, const QString &OutputPath,
                              const TReleaseSigner &Signer = TReleaseSigner());
};

} // namespace vorna::publisher
