#pragma once

#include <QByteArray>

#include <cstdint>

namespace shared {

// Owner of a named, system-wide marker object: a named file mapping on Windows, a POSIX shared
// memory object "/<name>" elsewhere. Processes announce themselves by creating one and others
// test for it by name.
class TNamedFileMapping final
{
public:
    // With Create set, opens an existing object of that name for reading or, when there is none,
    // creates one of one byte; creation failure throws std::runtime_error. An existing object is
    // neither kept open nor taken over.
    TNamedFileMapping(QByteArray Name, bool Create);
    ~TNamedFileMapping();
    TNamedFileMapping(const TNamedFileMapping &) = delete;
    TNamedFileMapping &operator=(const TNamedFileMapping &) = delete;

    // Whether this object created the mapping (and so removes it when destroyed).
    bool isOwner() const { return m_handle != 0; }
    const QByteArray &name() const { return m_name; }

    // Whether a mapping of this name exists and can be opened for reading.
    static bool canOpenForReading(const QByteArray &Name);

private:
    QByteArray m_name;
    std::intptr_t m_handle = 0;
};

} // namespace shared
