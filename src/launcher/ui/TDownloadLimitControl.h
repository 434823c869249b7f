#pragma once

#include <QWidget>

#include <memory>

class QComboBox;

namespace shared {
class TBandwidthLimiter;
}

namespace vorna::launcher {

// The footer's "Download limit" choice: no limit or a cap in MB/s for all downloads together.
// Starts at the limiter's rate (the settings file's maxDownloadRate) and changes the limiter for
// this run only; the settings file is never written.
class TDownloadLimitControl final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(TDownloadLimitControl)

public:
    TDownloadLimitControl(std::shared_ptr<::shared::TBandwidthLimiter> Limiter,
                          QWidget *Parent = nullptr);
    ~TDownloadLimitControl() override;

    QComboBox *comboBox() const { return m_comboBox; }
    // Selects the entry of that rate, adding one for a rate the list does not offer.
    void selectRate(qint64 BytesPerSecond);

private:
    void onActivated(int Index);

    std::shared_ptr<::shared::TBandwidthLimiter> m_limiter;
    QComboBox *m_comboBox = nullptr;
};

} // namespace vorna::launcher
