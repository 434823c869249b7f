#pragma once

#include "Documents.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace shared {

// Writes the package, asset and metadata documents from their plain values. Optional keys are
// left out when their value is empty, so that what TDocumentReader reads from a written document
// writes the same bytes again. The objects can be extended before they are turned into bytes (a
// signed document gets its release block).
class TDocumentWriter final
{
public:
    static QJsonObject toJson(const TPackageDocument &Document);
    static QJsonObject toJson(const TAssetDocument &Document);
    static QJsonObject toJson(const TMetadataDocument &Document);
    static QJsonObject toJson(const TMetadataPackage &Package);
    static QJsonObject toJson(const TDeltaEntry &Delta);

    // The document as published: indented JSON.
    template <typename TDocument> static QByteArray toBytes(const TDocument &Document)
    {
        return QJsonDocument(toJson(Document)).toJson(QJsonDocument::Indented);
    }
};

} // namespace shared
