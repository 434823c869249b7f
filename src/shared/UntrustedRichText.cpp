#include "UntrustedRichText.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QUrl>
#include <QVariant>

namespace shared {

namespace {

// Parses rich text without loading anything, and notes whether it asked for a resource while
// being parsed (style sheets are fetched then; images and backgrounds only when laid out).
class TResourceRecorder final : public QTextDocument
{
public:
    bool requested = false;

protected:
    QVariant loadResource(int, const QUrl &) override
    {
        requested = true;
        return {};
    }
};

bool namesBackground(const QTextFormat &Format)
{
    return Format.hasProperty(QTextFormat::BackgroundImageUrl);
}

bool framesNameResources(const QTextFrame *Frame)
{
    if (namesBackground(Frame->frameFormat()))
        return true;
    const QList<QTextFrame *> children = Frame->childFrames();
    for (const QTextFrame *child : children) {
        if (framesNameResources(child))
            return true;
    }
    return false;
}

} // namespace

QString richTextWithoutResources(const QString &Html)
{
    TResourceRecorder document;
    document.setHtml(Html);
    bool names = document.requested || framesNameResources(document.rootFrame());
    for (QTextBlock block = document.begin(); !names && block.isValid(); block = block.next()) {
        names = namesBackground(block.blockFormat()) || namesBackground(block.charFormat());
        for (auto fragment = block.begin(); !names && !fragment.atEnd(); ++fragment) {
            const QTextCharFormat format = fragment.fragment().charFormat();
            names = format.isImageFormat() || namesBackground(format);
        }
    }
    // Marked up, so that the label does not show the escapes as text.
    if (!names)
        return Html;
    QString text = document.toPlainText();
    text.remove(QChar::ObjectReplacementCharacter);
    return QStringLiteral("<span>%1</span>").arg(text.toHtmlEscaped());
}

} // namespace shared
