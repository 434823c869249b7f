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

} // namespace shared
