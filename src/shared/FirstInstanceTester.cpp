#include "FirstInstanceTester.h"

#include "format/TTextError.h"
#include "platform/SingleInstancePlatform.h"

#include <stdexcept>

namespace shared {

FirstInstanceTester::FirstInstanceTester(const QString &Key, QObject *Parent)
    : QObject(Parent), m_sharedMemory(Key)
{
    platform::releaseOrphanedSharedMemory(Key);
    m_isFirstInstance = m_sharedMemory.create(1, QSharedMemory::ReadWrite);
    if (!m_isFirstInstance && m_sharedMemory.error() != QSharedMemory::AlreadyExists) {
        throw ::shared::TTextError(QStringLiteral("QSharedMemory::SharedMemoryError(%1)")
                                       .arg(static_cast<int>(m_sharedMemory.error())));
    }
}

} // namespace shared
