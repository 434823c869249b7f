#include "TLZMACompressedReadOnlyMemoryBlob.h"

#include "format/BlobContainer.h"

namespace shared {

QByteArray TLZMACompressedReadOnlyMemoryBlob::data()
{
    return decodeBlobContainerLenient(readBytes());
}

} // namespace shared
