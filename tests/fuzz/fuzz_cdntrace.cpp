// The CDN trace reply: plain "key=value" lines from whatever answers at the trace address.
//
// Input: the reply body.

#include "FuzzSupport.h"

#include "download/TCloudflareCdnTrace.h"

using vorna::launcher::TCloudflareCdnTrace;

namespace {

void checkValue(const QString &Value, const QString &Reply, const char *Key)
{
    fuzz::check(Value == Value.trimmed(), "value not trimmed", QString::fromLatin1(Key));
    fuzz::check(!Value.contains(QLatin1Char('\n')) && !Value.contains(QLatin1Char('=')),
                "value spans a line or a separator", QString::fromLatin1(Key));
    fuzz::check(Reply.contains(Value), "value not taken from the reply", QString::fromLatin1(Key));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    const QByteArray reply = fuzz::bytes(Data, Size);
    const TCloudflareCdnTrace::TValues values = TCloudflareCdnTrace::parse(reply);
    const QString text = QString::fromUtf8(reply);
    checkValue(values.fl, text, "fl");
    checkValue(values.ts, text, "ts");
    checkValue(values.colo, text, "colo");
    checkValue(values.ip, text, "ip");
    return 0;
}
