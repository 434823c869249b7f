#include "NocacheUrl.h"

#include "TRandomNumberGenerator.h"

#include <QUrlQuery>

namespace shared {

QUrl appendNocacheToUrl(QUrl Url)
{
    return appendNocacheToUrl(std::move(Url), TRandomNumberGenerator::instance());
}

QUrl appendNocacheToUrl(QUrl Url, TRandomNumberGenerator &Generator)
{
    if (!Url.isValid()) {
        return Url;
    }
    static const QLatin1String Alphabet(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    constexpr int TokenLength = 32;
    QString Token;
    Token.reserve(TokenLength);
    for (int I = 0; I < TokenLength; ++I) {
        Token.append(Alphabet.at(static_cast<int>(
            Generator.randomUnsigned(0, static_cast<quint64>(Alphabet.size() - 1)))));
    }
    QUrlQuery Query(Url.query(QUrl::PrettyDecoded));
    Query.addQueryItem(QStringLiteral("nocache"), Token);
    Url.setQuery(Query.toString(), QUrl::TolerantMode);
    return Url;
}

} // namespace shared
