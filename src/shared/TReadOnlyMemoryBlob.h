#pragma once

#include <QByteArray>
#include <QString>

namespace shared {

// A local file read whole into memory each time data() is asked for.
class TReadOnlyMemoryBlob
{
public:
    explicit TReadOnlyMemoryBlob(QString Path, QByteArray PresetContents = {});
    virtual ~TReadOnlyMemoryBlob() = default;
    TReadOnlyMemoryBlob(const TReadOnlyMemoryBlob &) = delete;
    TReadOnlyMemoryBlob &operator=(const TReadOnlyMemoryBlob &) = delete;

    virtual QByteArray data();
    const QString &path() const { return m_path; }

protected:
    QByteArray readBytes() const;

private:
    QString m_path;
    QByteArray m_presetContents;
};

// A local file that may hold a compressed container; data() returns the decoded bytes, or the
// raw bytes when the file is not a container that decodes.
class TLZMACompressedReadOnlyMemoryBlob final : public TReadOnlyMemoryBlob
{
public:
    using TReadOnlyMemoryBlob::TReadOnlyMemoryBlob;
    QByteArray data() override;
};

} // namespace shared
