#include "TNamedFileMapping.h"

#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace shared {

namespace {

QByteArray objectName(const QByteArray &Name)
{
    return QByteArray("/") + Name;
}

} // namespace

TNamedFileMapping::TNamedFileMapping(QByteArray Name, bool Create) : m_name(std::move(Name))
{
    if (canOpenForReading(m_name) || !Create)
        return;
    const int fd = ::shm_open(objectName(m_name).constData(), O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        if (errno == EEXIST)
            return;
        throw std::runtime_error(
            QStringLiteral("Error from CreateFileMapping: %1").arg(errno).toStdString());
    }
    if (::ftruncate(fd, 1) != 0) {
        const int error = errno;
        ::close(fd);
        ::shm_unlink(objectName(m_name).constData());
        throw std::runtime_error(
            QStringLiteral("Error from CreateFileMapping: %1").arg(error).toStdString());
    }
    // Descriptors are small non-negative numbers; store them shifted so 0 still means "none".
    m_handle = static_cast<std::intptr_t>(fd) + 1;
}

TNamedFileMapping::~TNamedFileMapping()
{
    if (m_handle == 0)
        return;
    ::close(static_cast<int>(m_handle - 1));
    ::shm_unlink(objectName(m_name).constData());
}

bool TNamedFileMapping::canOpenForReading(const QByteArray &Name)
{
    const int fd = ::shm_open(objectName(Name).constData(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace shared
