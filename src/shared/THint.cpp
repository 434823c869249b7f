#include "THint.h"
#include "shared/LogCategories.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <mutex>

namespace shared {

namespace {

THint readHint(const QJsonObject &Object)
{
    THint hint;
    hint.title = Object.value(QLatin1String("title")).toString();
    hint.richText = Object.value(QLatin1String("richText")).toString();
    hint.imageUrl = Object.value(QLatin1String("imageUrl")).toString();
    hint.category = Object.value(QLatin1String("category")).toString();
    hint.url = Object.value(QLatin1String("url")).toString();
    hint.displayAfter =
        QDateTime::fromString(Object.value(QLatin1String("displayAfter")).toString(), Qt::ISODate);
    hint.displayUntil =
        QDateTime::fromString(Object.value(QLatin1String("displayUntil")).toString(), Qt::ISODate);
    hint.hasEmergency = Object.contains(QLatin1String("emergency"));
    if (hint.hasEmergency)
        hint.emergency = Object.value(QLatin1String("emergency")).toBool(false);
    if (!hint.richText.isEmpty())
        hint.richText.prepend(QStringLiteral("<style>a { color: #c0c0c0; }</style>"));
    return hint;
}

bool isInDisplayWindow(const THint &Hint, const QDateTime &Now)
{
    return (!Hint.displayAfter.isValid() || Hint.displayAfter <= Now) &&
           (!Hint.displayUntil.isValid() || Hint.displayUntil >= Now);
}

} // namespace

std::vector<THint> parseHints(const QByteArray &Data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(Data, &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(lcShared).noquote()
            << "Could not parse hints file at offset" << error.offset << ":" << error.errorString();
        return {};
    }

    std::vector<THint> hints;
    const QJsonArray elements = document.array();
    for (const QJsonValue &element : elements) {
        THint hint = readHint(element.toObject());
        if (!hint.richText.isEmpty())
            hints.push_back(std::move(hint));
    }
    return hints;
}

std::optional<THint> chooseHint(const std::vector<THint> &Hints, const QDateTime &Now)
{
    for (const THint &hint : Hints) {
        if (hint.hasEmergency && hint.emergency)
            return hint;
    }

    std::vector<const THint *> eligible;
    for (const THint &hint : Hints) {
        if (!hint.hasEmergency && isInDisplayWindow(hint, Now))
            eligible.push_back(&hint);
    }
    for (const THint *hint : eligible) {
        if (hint->displayAfter.isValid() || hint->displayUntil.isValid())
            return *hint;
    }
    if (eligible.empty())
        return std::nullopt;

    const auto milliseconds = static_cast<quint64>(Now.toMSecsSinceEpoch());
    return *eligible[milliseconds % eligible.size()];
}

void registerHintMetaTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<THint>();
        qRegisterMetaType<std::vector<THint>>();
        // moc keeps these spellings of "const ::shared::THint &" and "std::vector<::shared::THint>"
        // in the signatures of classes outside this namespace; the meta-type system looks
        // parameter types up by exactly that text.
        qRegisterMetaType<THint>("::shared::THint");
        qRegisterMetaType<THint>("const::shared::THint&");
        qRegisterMetaType<std::vector<THint>>("std::vector< ::shared::THint>");
        qRegisterMetaType<std::vector<THint>>("std::vector<::shared::THint>");
    });
}

} // namespace shared
