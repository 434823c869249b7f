#include "TNamedFileMapping.h"

#include "format/TTextError.h"

#include <QString>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

namespace shared {

namespace {

QByteArray objectName(const QByteArray &Name)
{
    return QByteArray("/") + Name;
}

[[noreturn]] void throwCreationError(int Error)
{
    throw ::shared::TTextError(QStringLiteral("Error from CreateFileMapping: %1").arg(Error));
}

// Shared memory objects outlive a process that is killed, unlike Windows mappings, which vanish
// with their last handle. The creator therefore stores its process id in the object, and an
// object whose creator no longer exists counts as absent.
bool creatorIsGone(int Descriptor)
{
    pid_t creator = 0;
    if (::pread(Descriptor, &creator, sizeof creator, 0) != ssize_t(sizeof creator) || creator <= 0)
        return false;
    return ::kill(creator, 0) != 0 && errno == ESRCH;
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
        throwCreationError(errno);
    }
    const pid_t self = ::getpid();
    if (::ftruncate(fd, sizeof self) != 0 ||
        ::pwrite(fd, &self, sizeof self, 0) != ssize_t(sizeof self)) {
        const int error = errno;
        ::close(fd);
        ::shm_unlink(objectName(m_name).constData());
        throwCreationError(error);
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
    const bool stale = creatorIsGone(fd);
    ::close(fd);
    if (stale)
        ::shm_unlink(objectName(Name).constData());
    return !stale;
}

} // namespace shared
