#include "BlobContainer.h"

namespace shared {

bool isBlobContainer(const QByteArray &Data)
{
    int i = 0;
    while (i < Data.size() && Data.at(i) == 0)
        ++i;
    return Data.size() - i >= 2 && static_cast<quint8>(Data.at(i)) == 0x70 &&
           static_cast<quint8>(Data.at(i + 1)) <= 23;
}

QByteArray decodeBlobContainerStrict(const QByteArray &Data, qint64 MaximumUnpackedSize)
{
    Q_UNUSED(MaximumUnpackedSize)
    if (!isBlobContainer(Data))
        return Data;
    throw TDecompressionError();
}

QByteArray decodeBlobContainerLenient(const QByteArray &Data)
{
    return Data;
}

} // namespace shared
