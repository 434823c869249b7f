#include "TPauseTestHook.h"
#include "shared/LogCategories.h"

#include <QApplication>
#include <QDebug>
#include <QPushButton>

namespace vorna::launcher {

namespace {

constexpr int pollIntervalMs = 50;

} // namespace

std::unique_ptr<TPauseTestHook> TPauseTestHook::createFromEnvironment()
{
    bool ok = false;
    const int milliseconds = qEnvironmentVariableIntValue("CORVANE_TEST_PAUSE_MS", &ok);
    if (!ok || milliseconds <= 0)
        return {};
    return std::make_unique<TPauseTestHook>(milliseconds);
}

TPauseTestHook::TPauseTestHook(int PauseMilliseconds) : m_pauseMilliseconds(PauseMilliseconds)
{
    m_pollTimer.setInterval(pollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &TPauseTestHook::onPoll);
    m_pollTimer.start();
}

TPauseTestHook::~TPauseTestHook() = default;

QPushButton *TPauseTestHook::visibleButton(const QString &Text)
{
    const auto widgets = QApplication::allWidgets();
    for (QWidget *widget : widgets) {
        auto *button = qobject_cast<QPushButton *>(widget);
        if (button && button->isVisible() && button->text() == Text)
            return button;
    }
    return nullptr;
}

void TPauseTestHook::onPoll()
{
    if (!m_sincePause.isValid()) {
        if (QPushButton *pause = visibleButton(QStringLiteral("Pause"))) {
            qCInfo(lcApp) << "test hook: clicking Pause";
            m_sincePause.start();
            pause->click();
        }
        return;
    }
    if (m_sincePause.elapsed() < m_pauseMilliseconds)
        return;
    // Looked for until it shows: the tile hides it for a moment while it shows another phase.
    if (QPushButton *resume = visibleButton(QStringLiteral("Resume"))) {
        qCInfo(lcApp) << "test hook: clicking Resume";
        m_pollTimer.stop();
        resume->click();
    }
}

} // namespace vorna::launcher
