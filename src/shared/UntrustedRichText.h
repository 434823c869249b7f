#pragma once

#include <QString>

namespace shared {

// Rich text from a document that is not signed (a hint's caption), made safe for a QLabel: a
// label's text document reads any image, background or style sheet it names from the local
// disk (file:///dev/zero, a relative path) on the main thread. Text that names any such
// resource is shown as its plain text instead; other rich text is returned unchanged.
QString richTextWithoutResources(const QString &Html);

} // namespace shared
