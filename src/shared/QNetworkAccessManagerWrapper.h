#pragma once

#include <QAuthenticator>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>

#include <memory>

class QAbstractNetworkCache;
class QNetworkAccessManager;

namespace shared {

class QNetworkReplyWrapper;

// Thin, replaceable view of a QNetworkAccessManager: the download pool reaches the network only
// through this class, so a test can put something else behind it.
class QNetworkAccessManagerWrapper : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QNetworkAccessManagerWrapper)

public:
    explicit QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> Manager,
                                          QObject *Parent = nullptr);
    ~QNetworkAccessManagerWrapper() override;

public slots:
    // Starts a GET; the returned wrapper is a child of the new reply and dies with it.
    virtual shared::QNetworkReplyWrapper *get(const QNetworkRequest &Request);
    virtual void setCache(QAbstractNetworkCache *Cache);
    virtual void setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy);

signals:
    void authenticationRequired(QNetworkReply *pReply, QAuthenticator *pAuthenticator);

private:
    std::shared_ptr<QNetworkAccessManager> m_manager;
};

} // namespace shared
