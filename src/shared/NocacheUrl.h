#pragma once

#include <QUrl>

namespace shared {

class TRandomNumberGenerator;

// Adds "nocache=<32 random letters and digits>" after the URL's query items, so that caches on
// the way cannot answer with an older copy of a document. An invalid URL is returned unchanged.
QUrl appendNocacheToUrl(QUrl Url);
QUrl appendNocacheToUrl(QUrl Url, TRandomNumberGenerator &Generator);

} // namespace shared
