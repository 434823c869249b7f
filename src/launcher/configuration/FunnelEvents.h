#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace vorna::launcher {

// Where funnel events go: the object that owns the network managers of the posts (the
// application), the settings key of the per-user identifier, and the funnel address of the
// launcher metadata, asked for at the moment of each event.
struct TFunnelTarget
{
    QObject *parent = nullptr;
    QString identifierKey;
    std::function<QUrl()> funnelUrl;
};

// Set by the application object once at start; without a target events are not sent.
void setFunnelTarget(TFunnelTarget Target);

// Posts one funnel event: {"first", "id", "step"}. The first-time key is cleared in the user's
// settings before the post is made; the answer is never read.
void sendFunnelEvent(const QString &Step, const QString &FirstTimeKey);

// The event document as it is posted.
QByteArray funnelEventDocument(const QString &Step, bool First, const QString &Identifier);

} // namespace vorna::launcher
