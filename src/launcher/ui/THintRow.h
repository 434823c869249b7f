#pragma once

#include "ClickableLabel.h"
#include "shared/THint.h"
#include "shared/widgets/QTextBrowserWithNetwork.h"

#include <QNetworkAccessManager>
#include <QPointer>
#include <QWidget>

#include <array>
#include <memory>

class QHBoxLayout;
class QNetworkReply;

namespace shared {
class TDownloadPool;
} // namespace shared

namespace vorna::launcher {

// The row of up to three news hints in the footer of the main window: one slot per category
// "cat1", "cat2", "cat3", cut so that neighbours interlock along slanted edges. Images are fetched
// in the background; the caption and link show at once.
class THintRow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(THintRow)

public:
    static constexpr int SlotCount = 3;

    THintRow(QWidget *Window, std::shared_ptr<::shared::TDownloadPool> Pool);
    ~THintRow() override;

    // The slot of a category, or -1 for a category the row does not show.
    static int slotOfCategory(const QString &Category);

    // Shows the hint in Slot, replacing what the slot showed before.
    void showHint(int Slot, const ::shared::THint &Hint);

    QHBoxLayout *rowLayout() const { return m_layout; }
    QWidget *slotContainer(int Slot) const { return m_slots.at(Slot).container; }
    // Null until the slot has shown a hint.
    QWidget *slotWrapper(int Slot) const { return m_slots.at(Slot).wrapper; }
    ClickableLabel *imageLabel(int Slot) const { return m_slots.at(Slot).image; }
    ClickableLabel *captionLabel(int Slot) const { return m_slots.at(Slot).caption; }
    ::shared::QTextBrowserWithNetwork *placeholder(int Slot) const
    {
        return m_slots.at(Slot).placeholder;
    }

    // The outline of a slot of the given size: the slanted edges depend on the slot's place.
    static QRegion slotMask(int Slot, const QSize &Size);

signals:
    // An image arrived (or failed to) and the slot shows its final state.
    void hintImageSettled(int Slot);

private:
    struct TSlot
    {
        QWidget *container = nullptr;
        QWidget *wrapper = nullptr;
        QPointer<::shared::QTextBrowserWithNetwork> placeholder;
        QPointer<ClickableLabel> image;
        QPointer<ClickableLabel> caption;
        QPointer<QNetworkReply> pendingImage;
    };

    void fetchImage(int Slot, const QString &ImageUrl);
    void onImageReply(int Slot, QNetworkReply *Reply);
    void setImage(int Slot, const QImage &Image);
    void wrap(int Slot);

    QWidget *m_window = nullptr;
    QHBoxLayout *m_layout = nullptr;
    std::array<TSlot, SlotCount> m_slots;
    QNetworkAccessManager m_network;
};

} // namespace vorna::launcher
