#include "TNetworkAccessManagerAuthenticationHandler.h"

namespace shared {

TNetworkAccessManagerAuthenticationHandler::TNetworkAccessManagerAuthenticationHandler(
    QObject *Parent)
    : QObject(Parent)
{
}

} // namespace shared
