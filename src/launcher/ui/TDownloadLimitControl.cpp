#include "TDownloadLimitControl.h"

#include "ProgressFormatting.h"
#include "UiStyle.h"
#include "shared/LogCategories.h"
#include "shared/TBandwidthLimiter.h"

#include <QComboBox>
#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>

namespace vorna::launcher {

namespace {

// Caps offered in the list, in bytes per second; 0 is "No limit".
constexpr qint64 OfferedRates[] = {0,       500000,   1000000,  2000000,
                                   5000000, 10000000, 20000000, 50000000};

QString rateText(qint64 BytesPerSecond)
{
    if (BytesPerSecond <= 0)
        return QStringLiteral("No limit");
    return sizeText(BytesPerSecond) + QStringLiteral("/s");
}

} // namespace

TDownloadLimitControl::TDownloadLimitControl(std::shared_ptr<::shared::TBandwidthLimiter> Limiter,
                                             QWidget *Parent)
    : QWidget(Parent), m_limiter(std::move(Limiter))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto *label = new QLabel(QStringLiteral("Download limit"), this);
    label->setStyleSheet(
        QStringLiteral("QLabel { %1 font-size: 11px; color: #DADABC; }").arg(launcherFontStyle()));
    m_comboBox = new QComboBox(this);
    m_comboBox->setToolTip(QStringLiteral("Caps the download rate of all packages for this run"));
    m_comboBox->setStyleSheet(
        QStringLiteral("QComboBox { %1 font-size: 11px; color: #DADABC; background: #14153A; "
                       "border: 1px solid #6B6A50; border-radius: 2px; padding: 1px 6px; }\n"
                       "QComboBox QAbstractItemView { %1 font-size: 11px; color: #DADABC; "
                       "background: #14153A; selection-background-color: #3A3B70; }")
            .arg(launcherFontStyle()));
    for (const qint64 Rate : OfferedRates)
        m_comboBox->addItem(rateText(Rate), Rate);
    layout->addWidget(label);
    layout->addWidget(m_comboBox);
    selectRate(m_limiter ? m_limiter->rate() : 0);
    connect(m_comboBox, qOverload<int>(&QComboBox::activated), this,
            &TDownloadLimitControl::onActivated);
}

TDownloadLimitControl::~TDownloadLimitControl() = default;

void TDownloadLimitControl::selectRate(qint64 BytesPerSecond)
{
    int Index = m_comboBox->findData(BytesPerSecond);
    if (Index < 0) {
        Index = 0;
        while (Index < m_comboBox->count() &&
               m_comboBox->itemData(Index).toLongLong() < BytesPerSecond)
            ++Index;
        m_comboBox->insertItem(Index, rateText(BytesPerSecond), BytesPerSecond);
    }
    m_comboBox->setCurrentIndex(Index);
}

void TDownloadLimitControl::onActivated(int Index)
{
    const qint64 Rate = m_comboBox->itemData(Index).toLongLong();
    qCInfo(lcUi) << "download limit set to " << Rate << " bytes per second";
    if (m_limiter)
        m_limiter->setRate(Rate);
}

} // namespace vorna::launcher
