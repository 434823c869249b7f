#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

class QPushButton;

namespace vorna::launcher {

// Test hook, inactive in normal use. Process-level tests cannot click the real launcher's
// window. When the environment variable CORVANE_TEST_PAUSE_MS holds a number of milliseconds,
// this hook clicks the first visible Pause button of a tile, as a player would, and once that
// time has passed clicks the button again, which then reads Resume; once per run. The
// installation goes through the same path as after a player's clicks.
class TPauseTestHook final : public QObject
{
    Q_DISABLE_COPY(TPauseTestHook)

public:
    // The hook when CORVANE_TEST_PAUSE_MS is set to a positive number, otherwise null.
    static std::unique_ptr<TPauseTestHook> createFromEnvironment();

    explicit TPauseTestHook(int PauseMilliseconds);
    ~TPauseTestHook() override;

private:
    void onPoll();
    static QPushButton *visibleButton(const QString &Text);

    int m_pauseMilliseconds = 0;
    QTimer m_pollTimer;
    QElapsedTimer m_sincePause;
};

} // namespace vorna::launcher
