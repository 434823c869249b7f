#include "TerminationWatcher.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Self-pipe: the handler may only write, the event loop reads. Written once, before the handlers
// are installed.
int s_signalSockets[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(s_signalSockets[0], &byte, 1);
}

} // namespace

TerminationWatcher::TerminationWatcher(QObject *Parent) : QObject(Parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, s_signalSockets) != 0)
        return;
    ::fcntl(s_signalSockets[0], F_SETFL, O_NONBLOCK);
    m_notifier = new QSocketNotifier(s_signalSockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(s_signalSockets[1], &byte, 1);
        emit terminationRequested();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
}

TerminationWatcher::~TerminationWatcher()
{
    if (m_notifier == nullptr)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
    delete m_notifier;
    m_notifier = nullptr;
    ::close(s_signalSockets[0]);
    ::close(s_signalSockets[1]);
    s_signalSockets[0] = s_signalSockets[1] = -1;
}

#else

#include <windows.h>

namespace {

// A client without a window receives the WM_CLOSE of QProcess::terminate() as a thread message,
// which nothing dispatches: it is caught on its way through the event loop.
class TCloseMessageFilter final : public QAbstractNativeEventFilter
{
public:
    explicit TCloseMessageFilter(TerminationWatcher &Watcher) : m_watcher(Watcher) {}

    bool nativeEventFilter(const QByteArray &EventType, void *Message, long *) override
    {
        const auto *message = static_cast<const MSG *>(Message);
        if (EventType != "windows_generic_MSG" || message->hwnd != nullptr ||
            message->message != WM_CLOSE)
            return false;
        emit m_watcher.terminationRequested();
        return true;
    }

private:
    TerminationWatcher &m_watcher;
};

} // namespace

TerminationWatcher::TerminationWatcher(QObject *Parent)
    : QObject(Parent), m_closeFilter(std::make_unique<TCloseMessageFilter>(*this))
{
    QCoreApplication::instance()->installNativeEventFilter(m_closeFilter.get());
}

TerminationWatcher::~TerminationWatcher()
{
    if (QCoreApplication *application = QCoreApplication::instance())
        application->removeNativeEventFilter(m_closeFilter.get());
}

#endif
