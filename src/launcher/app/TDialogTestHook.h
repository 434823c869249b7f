#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

class QWidget;

namespace vorna::launcher {

// Test hook, inactive in normal use. Process-level tests run the real launcher, whose message
// boxes are modal and would wait for a user forever. When the environment variable
// CORVANE_TEST_DIALOG_LOG names a file, this hook appends every message box the launcher shows to
// that file (one JSON object per line with "title" and "text") and then dismisses the box through
// its escape button (or default button), exactly as a user's click would: the code after the box
// runs as it does in production. A box is dismissed at the second poll that sees it, so it stays
// open for at least one poll interval and pending events are delivered by its nested event loop.
class TDialogTestHook final : public QObject
{
    Q_DISABLE_COPY(TDialogTestHook)

public:
    // The hook when CORVANE_TEST_DIALOG_LOG is set, otherwise null.
    static std::unique_ptr<TDialogTestHook> createFromEnvironment();

    explicit TDialogTestHook(QString LogPath);
    ~TDialogTestHook() override;

private:
    void onPoll();
    static QWidget *openDialog();
    void record(QWidget *Dialog) const;
    static void dismiss(QWidget *Dialog);

    QString m_logPath;
    QTimer m_pollTimer;
    QPointer<QWidget> m_seenDialog;
};

} // namespace vorna::launcher
