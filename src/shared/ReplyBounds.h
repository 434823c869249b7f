#pragma once

#include <QtGlobal>

class QNetworkReply;
class QUrl;

namespace shared {

// Bounds a reply that is read outside the download pool (hint images, survey and funnel
// answers): it is aborted once its body exceeds MaxBytes or once DeadlineMs have passed since
// this call, whatever the server announces or however slowly it sends. The reply then finishes
// with OperationCanceledError and whatever it buffered, which its user treats as a failure. The
// abort runs from the event loop: a body that arrives whole before then finishes without an
// error, so the user also refuses a finished body beyond MaxBytes.
void boundReply(QNetworkReply *Reply, qint64 MaxBytes, int DeadlineMs);

// Whether a link from a document that is not signed may be fetched or handed to the desktop:
// only http and https. file:, smb: and the like would open or run something on the machine.
bool isWebUrl(const QUrl &Url);

} // namespace shared
