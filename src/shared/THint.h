#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <optional>
#include <vector>

namespace shared {

// One news hint of the hints document.
struct THint
{
    QString title;
    // Stored with the link style prefix when not empty.
    QString richText;
    QString imageUrl;
    // "cat1", "cat2" or "cat3": the slot of the hint row.
    QString category;
    QString url;
    // Invalid when absent or unparsable.
    QDateTime displayAfter;
    QDateTime displayUntil;
    // The object names "emergency" at all, whatever its value.
    bool hasEmergency = false;
    bool emergency = false;
};

// Parses a hints document; hints without rich text are dropped, file order is kept. A document
// that is not JSON gives an empty list and a warning.
std::vector<THint> parseHints(const QByteArray &Data);

// The hint to announce at Now (UTC): the first emergency hint; else the first dated hint whose
// window contains Now; else one undated hint, chosen by the millisecond count of Now.
std::optional<THint> chooseHint(const std::vector<THint> &Hints, const QDateTime &Now);

} // namespace shared

Q_DECLARE_METATYPE(shared::THint)
Q_DECLARE_METATYPE(std::vector<shared::THint>)
