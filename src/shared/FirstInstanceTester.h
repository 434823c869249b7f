#pragma once

#include <QObject>
#include <QSharedMemory>

namespace shared {

// Tells whether this process is the first of its kind: it holds a one-byte shared memory segment
// of the given key for as long as it lives.
class FirstInstanceTester final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(FirstInstanceTester)

public:
    explicit FirstInstanceTester(const QString &Key, QObject *Parent = nullptr);

    bool isFirstInstance() const { return m_isFirstInstance; }

private:
    QSharedMemory m_sharedMemory;
    bool m_isFirstInstance = false;
};

} // namespace shared
