#include "TNamedFileMapping.h"

#include "format/TTextError.h"

#include <QString>

#include <stdexcept>
#include <windows.h>

namespace shared {

TNamedFileMapping::TNamedFileMapping(QByteArray Name, bool Create) : m_name(std::move(Name))
{
    HANDLE existing = ::OpenFileMappingA(FILE_MAP_READ, FALSE, m_name.constData());
    if (existing != nullptr) {
        ::CloseHandle(existing);
        return;
    }
    if (!Create)
        return;
    HANDLE created = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1,
                                          m_name.constData());
    if (created == nullptr) {
        throw ::shared::TTextError(QStringLiteral("Error from CreateFileMapping: %1")
                                       .arg(static_cast<qulonglong>(::GetLastError())));
    }
    m_handle = reinterpret_cast<std::intptr_t>(created);
}

TNamedFileMapping::~TNamedFileMapping()
{
    if (m_handle != 0)
        ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool TNamedFileMapping::canOpenForReading(const QByteArray &Name)
{
    HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, Name.constData());
    if (mapping == nullptr)
        return false;
    ::CloseHandle(mapping);
    return true;
}

} // namespace shared
