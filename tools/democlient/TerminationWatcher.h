#pragma once

#include <QObject>

#include <memory>

class QAbstractNativeEventFilter;
class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (on Windows: a WM_CLOSE posted to the main thread, as
// QProcess::terminate() and taskkill send it) into a signal on the event loop, so that a client
// that is closed from outside still removes its running marker. A marker left behind would make
// every later launcher believe that a client runs.
class TerminationWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TerminationWatcher)

public:
    explicit TerminationWatcher(QObject *Parent = nullptr);
    ~TerminationWatcher() override;

signals:
    void terminationRequested();

private:
    QSocketNotifier *m_notifier = nullptr;
    std::unique_ptr<QAbstractNativeEventFilter> m_closeFilter;
};
