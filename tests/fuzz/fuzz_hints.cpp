// The hints document and the choice of the hint to announce. The document comes from the web
// server named in the launcher metadata.
//
// Input: the hints document. The choice is made for a few fixed moments around the dates the
// seeds use and for the moment given by the input's length, so both dated and undated paths run.

#include "FuzzSupport.h"

#include "shared/THint.h"

#include <QDateTime>

namespace {

bool sameHint(const shared::THint &Left, const shared::THint &Right)
{
    return Left.title == Right.title && Left.richText == Right.richText &&
           Left.imageUrl == Right.imageUrl && Left.category == Right.category &&
           Left.url == Right.url && Left.displayAfter == Right.displayAfter &&
           Left.displayUntil == Right.displayUntil && Left.hasEmergency == Right.hasEmergency &&
           Left.emergency == Right.emergency;
}

void checkChoice(const std::vector<shared::THint> &Hints, const QDateTime &Now)
{
    const std::optional<shared::THint> chosen = shared::chooseHint(Hints, Now);
    if (!chosen)
        return;
    bool listed = false;
    for (const shared::THint &hint : Hints)
        listed = listed || sameHint(hint, *chosen);
    fuzz::check(listed, "chosen hint is not in the list");
    if (chosen->hasEmergency) {
        fuzz::check(chosen->emergency, "hint with emergency false chosen");
        return;
    }
    fuzz::check(!chosen->displayAfter.isValid() || chosen->displayAfter <= Now,
                "hint chosen before its display window");
    fuzz::check(!chosen->displayUntil.isValid() || chosen->displayUntil >= Now,
                "hint chosen after its display window");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    const std::vector<shared::THint> hints = shared::parseHints(fuzz::bytes(Data, Size));
    const QString prefix = QStringLiteral("<style>a { color: #c0c0c0; }</style>");
    for (const shared::THint &hint : hints)
        fuzz::check(hint.richText.startsWith(prefix) && hint.richText.size() > prefix.size(),
                    "hint kept without rich text");

    static const QDateTime moments[] = {
        QDateTime(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC),
        QDateTime(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC),
        QDateTime::fromMSecsSinceEpoch(0, Qt::UTC),
    };
    for (const QDateTime &now : moments)
        checkChoice(hints, now);
    checkChoice(hints, QDateTime::fromMSecsSinceEpoch(qint64(Size) * 1000003, Qt::UTC));
    return 0;
}
