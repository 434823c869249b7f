#include "THintRow.h"

#include "ClickableLabel.h"
#include "UiStyle.h"
#include "shared/LogCategories.h"
#include "shared/ReplyBounds.h"
#include "shared/UntrustedRichText.h"
#include "shared/widgets/QTextBrowserWithNetwork.h"

#include <QDebug>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPolygon>
#include <QRegion>

namespace vorna::launcher {

namespace {

const QSize slotSize(276, 80);
const QSize wrapperSize(286, 84);
const QSize placeholderSize(280, 104);
const QSize imageSize(290, 80);
// A hint image is a small banner; a server that sends more, or takes longer, gets no picture.
constexpr qint64 MaxImageSize = 8 * 1024 * 1024;
constexpr int ImageDeadline = 60000;

QString placeholderStyleSheet()
{
    return QStringLiteral(
               "QTextBrowser { %1 font-size: 11px; color: #DADABC; border-style: none; }\n"
               "QScrollBar:vertical { border-image: url(%2) 0 0 0 0 repeat; "
               "border: 6px transparent; border: 0px; background: none; width: 12px; "
               "margin: 12px 0 12px 0; }\n"
               "QScrollBar::handle:vertical { border-image: url(%3) 6 6 6 6; "
               "border: 6px transparent; min-height: 12px; }\n"
               "QScrollBar::add-line:vertical { border: 0px; background: none; height: 12px; "
               "subcontrol-position: bottom; subcontrol-origin: margin; }\n"
               "QScrollBar::sub-line:vertical { border: 0px; background: none; height: 12px; "
               "subcontrol-position: top; subcontrol-origin: margin; }\n"
               "QScrollBar::up-arrow:vertical { image: url(%4); }\n"
               "QScrollBar::up-arrow:vertical:pressed { image: url(%5); }\n"
               "QScrollBar::down-arrow:vertical { image: url(%6); }\n"
               "QScrollBar::down-arrow:vertical:pressed { image: url(%7); }\n"
               "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
        .arg(launcherFontStyle(), launcherImage(QStringLiteral("scrollbar-texture-vertical.png")),
             launcherImage(QStringLiteral("scrollbar-handle-vertical.png")),
             launcherImage(QStringLiteral("scrollbar-buttonup-up.png")),
             launcherImage(QStringLiteral("scrollbar-buttonup-down.png")),
             launcherImage(QStringLiteral("scrollbar-buttondown-up.png")),
             launcherImage(QStringLiteral("scrollbar-buttondown-down.png")));
}

QString captionStyleSheet(int Slot)
{
    return QStringLiteral("QLabel { %1 font-size: 11px; color: #DADABC; padding-left: %2px; "
                          "background-color: rgba(50, 50, 50, 0.7); }")
        .arg(launcherFontStyle())
        .arg(Slot == 0 ? 10 : 18);
}

} // namespace

THintRow::THintRow(QWidget *Window, std::shared_ptr<::shared::TDownloadPool> Pool)
    : QWidget(Window), m_window(Window), m_layout(new QHBoxLayout)
{
    m_layout->setSpacing(0);
    m_layout->setContentsMargins(0, 0, 44, 0);
    for (int slot = 0; slot < SlotCount; ++slot) {
        TSlot &entry = m_slots.at(static_cast<size_t>(slot));
        entry.container = new QWidget;
        entry.container->setFixedSize(slotSize);
        entry.container->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

        auto *placeholder = new ::shared::QTextBrowserWithNetwork(entry.container, Pool);
        placeholder->setFixedSize(placeholderSize);
        placeholder->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        placeholder->setOpenExternalLinks(true);
        placeholder->setContextMenuPolicy(Qt::NoContextMenu);
        placeholder->viewport()->setAutoFillBackground(true);
        placeholder->document()->setDefaultStyleSheet(
            QStringLiteral("a { color: #c0c0c0; text-decoration: underline; }"));
        placeholder->setStyleSheet(placeholderStyleSheet());
        entry.placeholder = placeholder;

        entry.container->setMask(slotMask(slot, entry.container->size()));
        m_layout->addWidget(entry.container);
    }
    setLayout(m_layout);
    hide();
}

THintRow::~THintRow() = default;

int THintRow::slotOfCategory(const QString &Category)
{
    if (Category == QLatin1String("cat1"))
        return 0;
    if (Category == QLatin1String("cat2"))
        return 1;
    if (Category == QLatin1String("cat3"))
        return 2;
    return -1;
}

QRegion THintRow::slotMask(int Slot, const QSize &Size)
{
    const int w = Size.width();
    const int h = Size.height();
    QPolygon polygon;
    switch (Slot) {
    case 0:
        polygon << QPoint(0, 0) << QPoint(w, 0) << QPoint(w - h / 2, h) << QPoint(0, h);
        break;
    case 1:
        polygon << QPoint(h / 2, 0) << QPoint(w, 0) << QPoint(w - h / 2, h) << QPoint(0, h);
        break;
    default:
        polygon << QPoint(h / 2, 0) << QPoint(w, 0) << QPoint(w, h) << QPoint(0, h);
        break;
    }
    if (Slot > 0) {
        // The stroke's outline widens the slanted left edge by a pixel, so that the slot meets
        // its left neighbour without a see-through seam.
        QPainterPath shape;
        shape.addPolygon(polygon);
        shape.closeSubpath();
        QPainterPathStroker stroker;
        stroker.setWidth(1);
        stroker.setJoinStyle(Qt::RoundJoin);
        polygon << stroker.createStroke(shape).toFillPolygon().toPolygon();
    }
    return QRegion(polygon, Qt::OddEvenFill);
}

void THintRow::showHint(int Slot, const ::shared::THint &Hint)
{
    if (Slot < 0 || Slot >= SlotCount)
        return;
    TSlot &entry = m_slots.at(static_cast<size_t>(Slot));

    // Whatever the slot showed before goes: the placeholder at first, an earlier hint later.
    for (QWidget *child :
         entry.container->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        child->hide();
        child->deleteLater();
    }
    if (entry.pendingImage)
        entry.pendingImage->abort();

    // The hints document is not signed: only web pages open, never a file or a share.
    const QUrl link(Hint.url);
    const bool linkUsable = ::shared::isWebUrl(link);
    if (!linkUsable && !Hint.url.isEmpty())
        qCWarning(lcUi).noquote() << "Hint link refused:" << Hint.url.left(200);
    auto openLink = [link, linkUsable] {
        if (linkUsable)
            QDesktopServices::openUrl(link);
    };

    auto *image = new ClickableLabel(entry.container);
    image->setMinimumSize(imageSize);
    image->setGeometry((slotSize.width() - imageSize.width()) / 2,
                       (slotSize.height() - imageSize.height()) / 2, imageSize.width(),
                       imageSize.height());
    image->setOpenExternalLinks(true);
    image->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard |
                                   Qt::TextSelectableByMouse);
    image->setToolTip(Hint.url);
    image->setCursor(Qt::PointingHandCursor);
    connect(image, &ClickableLabel::clicked, this, openLink);
    image->show();
    entry.image = image;

    auto *caption = new ClickableLabel(entry.container);
    const QString captionText = ::shared::richTextWithoutResources(Hint.richText);
    if (captionText != Hint.richText)
        qCWarning(lcUi) << "Hint caption names resources; shown as plain text";
    caption->setText(captionText);
    caption->setGeometry(0, 50, 280, 30);
    caption->setAlignment(Qt::AlignVCenter);
    caption->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    caption->setToolTip(Hint.url);
    caption->setCursor(Qt::PointingHandCursor);
    caption->setStyleSheet(captionStyleSheet(Slot));
    connect(caption, &ClickableLabel::clicked, this, openLink);
    caption->show();
    entry.caption = caption;

    if (!entry.wrapper)
        wrap(Slot);
    fetchImage(Slot, Hint.imageUrl);
    qCInfo(lcUi) << "Hint shown in slot" << Slot;
}

void THintRow::wrap(int Slot)
{
    TSlot &entry = m_slots.at(static_cast<size_t>(Slot));
    auto *wrapper = new QWidget(m_window);
    wrapper->setFixedSize(wrapperSize);
    wrapper->setStyleSheet(QStringLiteral("QWidget:hover { background-color: #8ED838; }\n"
                                          "QWidget { background-color: transparent; }"));
    auto *wrapperLayout = new QHBoxLayout(wrapper);
    wrapperLayout->setSpacing(0);
    wrapperLayout->setContentsMargins(0, 0, 0, 0);
    delete m_layout->replaceWidget(entry.container, wrapper, Qt::FindChildrenRecursively);
    wrapperLayout->addWidget(entry.container);
    m_layout->setAlignment(Qt::AlignCenter);
    wrapper->setMask(slotMask(Slot, wrapper->size()));
    wrapper->show();
    entry.wrapper = wrapper;
}

// Fetched without a nested event loop: the slot shows its caption at once and the image when it
// arrives, so progress and timers keep running meanwhile.
void THintRow::fetchImage(int Slot, const QString &ImageUrl)
{
    const QUrl url(ImageUrl);
    if (ImageUrl.isEmpty() || !::shared::isWebUrl(url)) {
        if (!ImageUrl.isEmpty())
            qCWarning(lcUi).noquote() << "Hint image refused:" << ImageUrl.left(200);
        setImage(Slot, QImage());
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(ImageDeadline);
    QNetworkReply *reply = m_network.get(request);
    ::shared::boundReply(reply, MaxImageSize, ImageDeadline);
    m_slots.at(static_cast<size_t>(Slot)).pendingImage = reply;
    connect(reply, &QNetworkReply::finished, this,
            [this, Slot, reply] { onImageReply(Slot, reply); });
}

void THintRow::onImageReply(int Slot, QNetworkReply *Reply)
{
    Reply->deleteLater();
    TSlot &entry = m_slots.at(static_cast<size_t>(Slot));
    // A reply that a newer hint of the same slot has replaced.
    if (entry.pendingImage != Reply)
        return;
    entry.pendingImage = nullptr;
    QImage image;
    // The bound aborts from the event loop; a picture that arrived whole before then is dropped.
    if (Reply->error() == QNetworkReply::NoError && Reply->bytesAvailable() <= MaxImageSize) {
        image = QImage::fromData(Reply->readAll());
        if (!image.isNull())
            image =
                image.scaled(imageSize, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    }
    setImage(Slot, image);
}

void THintRow::setImage(int Slot, const QImage &Image)
{
    TSlot &entry = m_slots.at(static_cast<size_t>(Slot));
    if (entry.image) {
        entry.image->setPixmap(QPixmap::fromImage(Image));
        entry.image->setGeometry((slotSize.width() - Image.width()) / 2,
                                 (slotSize.height() - Image.height()) / 2, Image.width(),
                                 Image.height());
        // The caption stays above the picture.
        if (entry.caption)
            entry.caption->raise();
    }
    emit hintImageSettled(Slot);
}

} // namespace vorna::launcher
