#pragma once

#include <QObject>
#include <QString>

#include <set>

namespace shared {

// Place for credentials of servers that ask for them. The launcher's servers never do, so nothing
// is connected to it: a request that meets an authentication challenge gets no credentials and
// ends with Qt's authentication error.
class TNetworkAccessManagerAuthenticationHandler final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TNetworkAccessManagerAuthenticationHandler)

public:
    explicit TNetworkAccessManagerAuthenticationHandler(QObject *Parent = nullptr);

    const std::set<QString> &entries() const { return m_entries; }

private:
    std::set<QString> m_entries;
};

} // namespace shared
