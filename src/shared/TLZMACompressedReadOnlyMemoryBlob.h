#pragma once

#include "TReadOnlyMemoryBlob.h"

namespace shared {

// A local file that may hold a compressed container; data() returns the decoded bytes, or the
// raw bytes when the file is not a container that decodes.
class TLZMACompressedReadOnlyMemoryBlob final : public TReadOnlyMemoryBlob
{
public:
    using TReadOnlyMemoryBlob::TReadOnlyMemoryBlob;
    QByteArray data() override;
};

} // namespace shared
