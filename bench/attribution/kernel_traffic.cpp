#include "kernel_traffic.h"

#include "tcp_load.h"

#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace attributionbench {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds)
{
    return Clock::now() + std::chrono::microseconds(long(seconds * 1e6));
}

int portOf(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
    return ntohs(local.sin_port);
}

// A socket of the peer bound to peerAddress at a port the kernel chose.
int peerSocket(const char *peerNetns, const char *peerAddress, int type)
{
    const int fd = socketIn(peerNetns, AF_INET, type);
    const sockaddr_in local = endpoint(peerAddress, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 4096) != 0)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

bool connectTo(int fd, const char *address, int port)
{
    const sockaddr_in peer = endpoint(address, port);
    return ::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0;
}

// Accepts connections, reads each one's request, answers and closes first.
void serveShortConnections(int listener, int stopFd)
{
    const int poller = ::epoll_create1(0);
    epoll_event event{EPOLLIN, {}};
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    event.data.fd = stopFd;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, stopFd, &event);
    const char reply[100] = {};
    char request[100];
    for (epoll_event ready[64];;) {
        const int count = ::epoll_wait(poller, ready, 64, -1);
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == stopFd) {
                ::close(poller);
                return;
            }
            if (fd == listener) {
                for (int accepted;
                     (accepted = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    event.data.fd = accepted;
                    ::epoll_ctl(poller, EPOLL_CTL_ADD, accepted, &event);
                }
                continue;
            }
            if (::read(fd, request, sizeof request) > 0)
                ::write(fd, reply, sizeof reply);
            ::close(fd);
        }
    }
}

} // namespace

int socketIn(const char *netns, int domain, int type)
{
    int fd = -1;
    std::thread creator([&] {
        const int target = ::open(netns, O_RDONLY | O_CLOEXEC);
        if (target >= 0 && ::setns(target, CLONE_NEWNET) == 0)
            fd = ::socket(domain, type | SOCK_CLOEXEC, 0);
        if (target >= 0)
            ::close(target);
    });
    creator.join();
    return fd;
}

double tcpStreamBitsPerSecond(const char *peerNetns, const char *peerAddress, double seconds)
{
    const int listener = peerSocket(peerNetns, peerAddress, SOCK_STREAM);
    const int sender = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0 || !connectTo(sender, peerAddress, portOf(listener)))
        return -1;
    const int sink = ::accept(listener, nullptr, nullptr);
    long long received = 0;
    std::thread reader([&] {
        std::vector<char> buffer(256 * 1024);
        for (ssize_t n; (n = ::read(sink, buffer.data(), buffer.size())) > 0;)
            received += n;
    });
    const std::vector<char> chunk(64 * 1024, 's');
    const auto start = Clock::now(), end = after(seconds);
    while (Clock::now() < end && ::write(sender, chunk.data(), chunk.size()) > 0) {
    }
    ::shutdown(sender, SHUT_WR);
    reader.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (int fd : {sender, sink, listener})
        ::close(fd);
    return received * 8.0 / elapsed;
}

double udpDatagramsPerSecond(const char *peerNetns, const char *peerAddress, int payloadBytes,
                             double seconds)
{
    const int sink = peerSocket(peerNetns, peerAddress, SOCK_DGRAM);
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int buffer = 8 << 20;
    ::setsockopt(sink, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    if (sink < 0 || !connectTo(sender, peerAddress, portOf(sink)))
        return -1;
    std::atomic<bool> sending{true};
    long received = 0;
    std::thread reader([&] {
        char datagram[2048];
        pollfd wait{sink, POLLIN, 0};
        while (sending || ::poll(&wait, 1, 100) > 0) {
            if (::recv(sink, datagram, sizeof datagram, MSG_DONTWAIT) >= 0)
                ++received;
            else if (sending)
                ::poll(&wait, 1, 10);
        }
    });
    const std::vector<char> payload(std::size_t(payloadBytes), 'u');
    const auto start = Clock::now(), end = after(seconds);
    while (Clock::now() < end)
        ::send(sender, payload.data(), payload.size(), 0);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    sending = false;
    reader.join();
    ::close(sender);
    ::close(sink);
    return received / elapsed;
}

long churn(const char *peerNetns, const char *peerAddress, long connections, double seconds,
           int clients, int tickMs, const std::function<void()> &tick)
{
    const int listener = peerSocket(peerNetns, peerAddress, SOCK_STREAM);
    int stop[2];
    if (listener < 0 || ::pipe(stop) != 0)
        return -1;
    ::fcntl(listener, F_SETFL, O_NONBLOCK);
    std::thread server(serveShortConnections, listener, stop[0]);
    const int port = portOf(listener);
    std::atomic<long> made{0};
    const auto start = Clock::now();
    const double interval = seconds * clients / double(connections); // per client
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const char request[100] = {};
            char reply[100];
            for (long i = c; i < connections; i += clients) {
                std::this_thread::sleep_until(
                    start + std::chrono::microseconds(long(i / clients * interval * 1e6)));
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                if (connectTo(fd, peerAddress, port) && ::write(fd, request, sizeof request) > 0) {
                    while (::read(fd, reply, sizeof reply) > 0) {
                    }
                    ++made;
                }
                ::close(fd);
            }
        });
    }
    std::atomic<int> running{clients};
    std::thread ticker([&] {
        while (running > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(tickMs));
            tick();
        }
    });
    for (std::thread &thread : threads) {
        thread.join();
        --running;
    }
    ticker.join();
    ::write(stop[1], "x", 1);
    server.join();
    ::close(stop[0]);
    ::close(stop[1]);
    ::close(listener);
    tick();
    return made;
}

} // namespace attributionbench
