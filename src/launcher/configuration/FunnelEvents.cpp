#include "FunnelEvents.h"

#include "shared/ReplyBounds.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QUuid>

namespace vorna::launcher {

namespace {

TFunnelTarget &funnelTarget()
{
    static TFunnelTarget target;
    return target;
}

} // namespace

void setFunnelTarget(TFunnelTarget Target)
{
    funnelTarget() = std::move(Target);
}

QByteArray funnelEventDocument(const QString &Step, bool First, const QString &Identifier)
{
    QJsonObject event;
    event.insert(QStringLiteral("step"), Step);
    event.insert(QStringLiteral("first"), First);
    event.insert(QStringLiteral("id"), Identifier);
    return QJsonDocument(event).toJson();
}

void sendFunnelEvent(const QString &Step, const QString &FirstTimeKey)
{
    const TFunnelTarget &target = funnelTarget();
    if (!target.parent || target.identifierKey.isEmpty())
        return;

    QSettings settings;
    QString identifier = settings.value(target.identifierKey).toString();
    if (identifier.isEmpty()) {
        identifier = QUuid::createUuid().toString(QUuid::WithoutBraces);
        settings.setValue(target.identifierKey, identifier);
    }
    const bool first = settings.value(FirstTimeKey, true).toBool();
    if (first)
        settings.setValue(FirstTimeKey, false);
    settings.sync();

    const QByteArray document = funnelEventDocument(Step, first, identifier);
    QNetworkRequest request(target.funnelUrl ? target.funnelUrl() : QUrl());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    // The manager and its reply live as long as the parent; nothing waits for the answer.
    auto *manager = new QNetworkAccessManager(target.parent);
    QNetworkReply *reply = manager->post(request, document);
    // Nothing reads the answer: it is bounded and dropped once in.
    ::shared::boundReply(reply, 64 * 1024, 60000);
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}

} // namespace vorna::launcher
