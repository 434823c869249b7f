// A TCP proxy on 127.0.0.1 that behaves like one access line between its clients and a server:
// every byte arrives half a round trip later in each direction, a new connection costs one round
// trip before the client's first byte leaves (the TCP handshake), and each direction carries at
// most the given rate, shared by all connections (one line, not one per connection).
//
//     bench_linkemu --target PORT [--listen PORT] [--rtt-ms 40] [--rate-mbit 200]
//                   [--port-file FILE]
//
// With --listen 0 (the default) the kernel picks a free port; the port is printed on the first
// line of standard output and written to --port-file. SIGTERM or SIGINT end it; it then prints the
// connections and bytes it carried to standard error.
//
// The line is modelled as one first-in first-out link per direction: data is read from a sender
// only when the link is (nearly) idle, in slices of at most 16 KiB taken from the ready
// connections in turn; a slice leaves the link once the previous one has, plus its own
// serialisation time at the rate, and reaches the other side half a round trip after that. Data
// that the link cannot take yet stays in the sender's socket, so the sender sees the line's pace
// as its TCP would. Not modelled: loss, TCP slow start and the small queues of real routers.
//
// Linux only (ppoll, MSG_NOSIGNAL), like the rest of bench/.

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using TNanoseconds = std::int64_t;

TNanoseconds now()
{
    timespec Time{};
    clock_gettime(CLOCK_MONOTONIC, &Time);
    return TNanoseconds(Time.tv_sec) * 1000000000 + Time.tv_nsec;
}

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int)
{
    g_stop = 1;
}

constexpr std::size_t SliceBytes = 16 * 1024;
// How far ahead of the link's clock a slice may be taken: the proxy's own wake-up latency on a
// busy machine must not leave the line idle, so the link is kept a few milliseconds busy ahead.
constexpr TNanoseconds Lead = 4 * 1000000;
// How late the proxy may take a slice and still have it leave as if it had been taken on time. A
// proxy woken late on a loaded machine would otherwise leave the line idle and carry less than the
// rate; a real line does not idle because a process elsewhere was not scheduled. The price: after
// an idle spell the line passes this much of its rate at once (250 KB at 200 Mbit/s), as a token
// bucket would; the delay of each byte stays at least half a round trip.
constexpr TNanoseconds Slack = 10 * 1000000;
// Socket buffers towards the senders: a sender may write this far ahead of the line, so that a
// sender scheduled late does not leave the line idle either.
constexpr int SocketBuffer = 4 * 1024 * 1024;

struct TSegment
{
    TNanoseconds arrival = 0;
    std::string data; // empty: the sender's end of stream
    std::size_t written = 0;
};

// One direction of one connection: bytes read from `from` on their way to `to`.
struct TFlow
{
    int from = -1;
    int to = -1;
    std::deque<TSegment> inFlight;
    std::size_t inFlightBytes = 0;
    bool readEnded = false;  // end of stream or error read from `from`
    bool hungUp = false;     // poll reported a hang-up on `from`: read it without polling
    bool writeEnded = false; // end of stream passed on to `to`
};

struct TConnection
{
    int client = -1;
    int server = -1;
    // The client's first byte may leave only after the handshake's round trip.
    TNanoseconds openAt = 0;
    TFlow up;   // client to server
    TFlow down; // server to client
    bool broken = false;
};

// One direction of the line, shared by every connection.
struct TLink
{
    TNanoseconds freeAt = 0; // when the last slice taken has left the link
    std::uint64_t bytes = 0;
    std::size_t nextTurn = 0; // round robin over connections
};

struct TOptions
{
    int listenPort = 0;
    int targetPort = 0;
    double rttMs = 40;
    double rateMbit = 200;
    std::string portFile;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: bench_linkemu --target PORT [--listen PORT] [--rtt-ms 40] "
                         "[--rate-mbit 200] [--port-file FILE]\n");
    std::exit(2);
}

TOptions parse(int argc, char *argv[])
{
    TOptions Options;
    for (int i = 1; i < argc; ++i) {
        const std::string Name = argv[i];
        if (i + 1 >= argc)
            usage();
        const char *Value = argv[++i];
        if (Name == "--listen")
            Options.listenPort = std::atoi(Value);
        else if (Name == "--target")
            Options.targetPort = std::atoi(Value);
        else if (Name == "--rtt-ms")
            Options.rttMs = std::atof(Value);
        else if (Name == "--rate-mbit")
            Options.rateMbit = std::atof(Value);
        else if (Name == "--port-file")
            Options.portFile = Value;
        else
            usage();
    }
    if (Options.targetPort <= 0 || Options.rttMs < 0 || Options.rateMbit <= 0)
        usage();
    return Options;
}

void setNonBlocking(int Socket)
{
    fcntl(Socket, F_SETFL, fcntl(Socket, F_GETFL) | O_NONBLOCK);
    const int One = 1;
    setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
}

sockaddr_in loopback(int Port)
{
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(std::uint16_t(Port));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return Address;
}

class TLinkEmulator
{
public:
    explicit TLinkEmulator(const TOptions &Options)
        : m_halfRtt(TNanoseconds(Options.rttMs * 1e6 / 2)),
          m_rtt(TNanoseconds(Options.rttMs * 1e6)), m_nsPerByte(8e3 / Options.rateMbit),
          m_targetPort(Options.targetPort),
          // Enough in flight per connection for one connection to fill the line for a round trip
          // (the bandwidth-delay product), with room to spare.
          m_flowLimit(std::max<std::size_t>(
              256 * 1024, std::size_t(Options.rateMbit * 1e6 / 8 * Options.rttMs / 1e3 * 2)))
    {
    }

    int listen(int Port)
    {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        const int One = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
        setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &SocketBuffer, sizeof SocketBuffer);
        sockaddr_in Address = loopback(Port);
        if (bind(m_listener, reinterpret_cast<sockaddr *>(&Address), sizeof Address) != 0 ||
            ::listen(m_listener, 512) != 0) {
            std::perror("bench_linkemu: listen");
            std::exit(1);
        }
        fcntl(m_listener, F_SETFL, fcntl(m_listener, F_GETFL) | O_NONBLOCK);
        socklen_t Length = sizeof Address;
        getsockname(m_listener, reinterpret_cast<sockaddr *>(&Address), &Length);
        return ntohs(Address.sin_port);
    }

    void run()
    {
        std::vector<pollfd> Polled;
        // What each polled descriptor stands for: -1 the listener, else 2 * connection + side.
        std::vector<long> Meaning;
        while (!g_stop) {
            const TNanoseconds Now = now();
            deliver(Now);
            take(m_up, Now, true);
            take(m_down, Now, false);
            reap();

            Polled.clear();
            Meaning.clear();
            Polled.push_back({m_listener, POLLIN, 0});
            Meaning.push_back(-1);
            TNanoseconds Wake = Now + 1000000000;
            for (std::size_t i = 0; i < m_connections.size(); ++i) {
                TConnection &Connection = *m_connections[i];
                short ClientEvents = 0, ServerEvents = 0;
                if (wantsRead(Connection.up, m_up, Now) && Now >= Connection.openAt)
                    ClientEvents |= POLLIN;
                if (wantsRead(Connection.down, m_down, Now))
                    ServerEvents |= POLLIN;
                if (Connection.up.from >= 0 && !Connection.up.readEnded && Now < Connection.openAt)
                    Wake = std::min(Wake, Connection.openAt);
                for (TFlow *Flow : {&Connection.up, &Connection.down}) {
                    if (Flow->inFlight.empty())
                        continue;
                    const TSegment &Head = Flow->inFlight.front();
                    if (Head.arrival <= Now)
                        (Flow == &Connection.up ? ServerEvents : ClientEvents) |= POLLOUT;
                    else
                        Wake = std::min(Wake, Head.arrival);
                }
                // A hung-up socket would wake poll at once, again and again: it is read on
                // every round instead, until its end of stream has been taken.
                for (const TFlow *Flow : {&Connection.up, &Connection.down})
                    if (Flow->hungUp &&
                        wantsRead(*Flow, Flow == &Connection.up ? m_up : m_down, Now))
                        Wake = Now;
                Polled.push_back({Connection.up.hungUp ? -1 : Connection.client, ClientEvents, 0});
                Meaning.push_back(long(2 * i));
                Polled.push_back(
                    {Connection.down.hungUp ? -1 : Connection.server, ServerEvents, 0});
                Meaning.push_back(long(2 * i + 1));
            }
            // A link that is busy ahead wakes us when it may take the next slice.
            for (const TLink *Link : {&m_up, &m_down})
                if (Link->freeAt - Lead > Now)
                    Wake = std::min(Wake, Link->freeAt - Lead);
            const TNanoseconds Wait = std::max<TNanoseconds>(0, Wake - Now);
            timespec Timeout{time_t(Wait / 1000000000), long(Wait % 1000000000)};
            const int Ready = ppoll(Polled.data(), Polled.size(), &Timeout, nullptr);
            if (Ready < 0) {
                if (errno == EINTR)
                    continue;
                std::perror("bench_linkemu: ppoll");
                break;
            }
            // Reads and writes happen in take() and deliver() on the next round; here only
            // errors and hang-ups are noted.
            for (std::size_t i = 1; i < Polled.size(); ++i) {
                TConnection &Connection = *m_connections[std::size_t(Meaning[i] / 2)];
                if (Polled[i].revents & (POLLERR | POLLNVAL))
                    Connection.broken = true;
                else if (Polled[i].revents & POLLHUP)
                    (Meaning[i] % 2 == 0 ? Connection.up : Connection.down).hungUp = true;
            }
            if (Polled[0].revents & POLLIN)
                accept();
        }
        std::fprintf(stderr, "bench_linkemu: %llu connections, %llu bytes up, %llu bytes down\n",
                     static_cast<unsigned long long>(m_accepted),
                     static_cast<unsigned long long>(m_up.bytes),
                     static_cast<unsigned long long>(m_down.bytes));
    }

private:
    bool wantsRead(const TFlow &Flow, const TLink &Link, TNanoseconds Now) const
    {
        return Flow.from >= 0 && !Flow.readEnded && Flow.inFlightBytes < m_flowLimit &&
               Link.freeAt - Lead <= Now;
    }

    void accept()
    {
        for (;;) {
            const int Client = ::accept(m_listener, nullptr, nullptr);
            if (Client < 0)
                return;
            const int Server = socket(AF_INET, SOCK_STREAM, 0);
            setsockopt(Server, SOL_SOCKET, SO_RCVBUF, &SocketBuffer, sizeof SocketBuffer);
            sockaddr_in Address = loopback(m_targetPort);
            // A blocking connect on loopback returns at once; the round trip of the handshake
            // is charged through openAt instead.
            if (::connect(Server, reinterpret_cast<sockaddr *>(&Address), sizeof Address) != 0) {
                std::perror("bench_linkemu: connect");
                close(Client);
                close(Server);
                continue;
            }
            setNonBlocking(Client);
            setNonBlocking(Server);
            auto Connection = std::make_unique<TConnection>();
            Connection->client = Client;
            Connection->server = Server;
            Connection->openAt = now() + m_rtt;
            Connection->up.from = Client;
            Connection->up.to = Server;
            Connection->down.from = Server;
            Connection->down.to = Client;
            m_connections.push_back(std::move(Connection));
            ++m_accepted;
        }
    }

    // Takes slices from the connections in turn while the link is idle or nearly so.
    void take(TLink &Link, TNanoseconds Now, bool Up)
    {
        char Buffer[SliceBytes];
        std::size_t Idle = 0;
        while (Link.freeAt - Lead <= Now && !m_connections.empty() && Idle < m_connections.size()) {
            const std::size_t Index = Link.nextTurn++ % m_connections.size();
            TConnection &Connection = *m_connections[Index];
            TFlow &Flow = Up ? Connection.up : Connection.down;
            if (Connection.broken || !wantsRead(Flow, Link, Now) ||
                (Up && Now < Connection.openAt)) {
                ++Idle;
                continue;
            }
            const std::size_t Room = std::min(SliceBytes, m_flowLimit - Flow.inFlightBytes);
            const ssize_t Got = recv(Flow.from, Buffer, Room, MSG_DONTWAIT);
            if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                ++Idle;
                continue;
            }
            Idle = 0;
            TSegment Segment;
            if (Got <= 0) {
                // End of stream, or a reset: passed on after the same delay as data.
                Flow.readEnded = true;
                if (Got < 0)
                    Connection.broken = true;
            } else {
                Segment.data.assign(Buffer, std::size_t(Got));
                Flow.inFlightBytes += std::size_t(Got);
                Link.bytes += std::uint64_t(Got);
            }
            const TNanoseconds Start = std::max(Now - Slack, Link.freeAt);
            const TNanoseconds Leaves =
                Start + TNanoseconds(double(Got > 0 ? Got : 0) * m_nsPerByte);
            Link.freeAt = Leaves;
            // Never earlier than half a round trip after the bytes were read.
            Segment.arrival = std::max(Leaves, Now) + m_halfRtt;
            Flow.inFlight.push_back(std::move(Segment));
        }
    }

    void deliver(TNanoseconds Now)
    {
        for (auto &Connection : m_connections)
            for (TFlow *Flow : {&Connection->up, &Connection->down})
                while (!Connection->broken && !Flow->inFlight.empty() &&
                       Flow->inFlight.front().arrival <= Now) {
                    TSegment &Head = Flow->inFlight.front();
                    if (Head.data.empty()) {
                        shutdown(Flow->to, SHUT_WR);
                        Flow->writeEnded = true;
                        Flow->inFlight.pop_front();
                        continue;
                    }
                    const ssize_t Sent =
                        send(Flow->to, Head.data.data() + Head.written,
                             Head.data.size() - Head.written, MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (Sent < 0) {
                        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                            Connection->broken = true;
                        break;
                    }
                    Head.written += std::size_t(Sent);
                    if (Head.written < Head.data.size())
                        break;
                    Flow->inFlightBytes -= Head.data.size();
                    Flow->inFlight.pop_front();
                }
    }

    // Ends connections that are finished both ways, or broken.
    void reap()
    {
        const auto Done = [](const std::unique_ptr<TConnection> &Connection) {
            const bool Finished = Connection->up.writeEnded && Connection->down.writeEnded;
            // A reset on one side ends the other at once, as the line would carry the reset.
            if (!Connection->broken && !Finished)
                return false;
            close(Connection->client);
            close(Connection->server);
            return true;
        };
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(), Done),
                            m_connections.end());
    }

    const TNanoseconds m_halfRtt;
    const TNanoseconds m_rtt;
    const double m_nsPerByte;
    const int m_targetPort;
    const std::size_t m_flowLimit;
    int m_listener = -1;
    std::vector<std::unique_ptr<TConnection>> m_connections;
    TLink m_up;
    TLink m_down;
    std::uint64_t m_accepted = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    const TOptions Options = parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction Action
    {
    };
    Action.sa_handler = onSignal;
    sigaction(SIGTERM, &Action, nullptr);
    sigaction(SIGINT, &Action, nullptr);

    TLinkEmulator Emulator(Options);
    const int Port = Emulator.listen(Options.listenPort);
    std::printf("%d\n", Port);
    std::fflush(stdout);
    if (!Options.portFile.empty()) {
        const std::string Temporary = Options.portFile + ".tmp";
        if (FILE *File = std::fopen(Temporary.c_str(), "w")) {
            std::fprintf(File, "%d\n", Port);
            std::fclose(File);
            std::rename(Temporary.c_str(), Options.portFile.c_str());
        }
    }
    Emulator.run();
    return 0;
}
