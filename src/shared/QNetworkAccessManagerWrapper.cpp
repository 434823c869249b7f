#include "QNetworkAccessManagerWrapper.h"

#include "QNetworkReplyWrapper.h"

#include <QNetworkAccessManager>

namespace shared {

QNetworkAccessManagerWrapper::QNetworkAccessManagerWrapper(
    std::shared_ptr<QNetworkAccessManager> Manager, QObject *Parent)
    : QObject(Parent), m_manager(std::move(Manager))
{
    if (m_manager) {
        connect(m_manager.get(), &QNetworkAccessManager::authenticationRequired, this,
                &QNetworkAccessManagerWrapper::authenticationRequired);
    }
}

QNetworkAccessManagerWrapper::~QNetworkAccessManagerWrapper() = default;

QNetworkReplyWrapper *QNetworkAccessManagerWrapper::get(const QNetworkRequest &Request)
{
    return new QNetworkReplyWrapper(m_manager->get(Request));
}

void QNetworkAccessManagerWrapper::setCache(QAbstractNetworkCache *Cache)
{
    m_manager->setCache(Cache);
}

void QNetworkAccessManagerWrapper::setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy)
{
    m_manager->setRedirectPolicy(Policy);
}

} // namespace shared
