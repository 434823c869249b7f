#include "TLZMACompressedReadOnlyMemoryBlob.h"

#include "BlobContainer.h"

namespace shared {

QByteArray TLZMACompressedReadOnlyMemoryBlob::data()
{
    return decodeBlobContainerLenient(readBytes());
}

} // namespace shared
