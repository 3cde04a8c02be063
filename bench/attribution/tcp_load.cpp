#include "tcp_load.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace attributionbench {

sockaddr_in endpoint(const char *address, int port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

namespace {

bool stopRequested(int stopFd, int timeoutMs)
{
    pollfd watch{stopFd, POLLIN, 0};
    return ::poll(&watch, 1, timeoutMs) > 0;
}

[[noreturn]] void serve(const char *netns, const char *address, int port, int stopFd, int readyFd)
{
    const rlimit files{65536, 65536};
    ::setrlimit(RLIMIT_NOFILE, &files);
    // A socket belongs to the namespace it was created in: join first.
    const int target = ::open(netns, O_RDONLY);
    const bool joined = target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const sockaddr_in local = endpoint(address, port);
    const bool listening =
        joined && listener >= 0 &&
        ::bind(listener, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0 &&
        ::listen(listener, 4096) == 0;
    ::write(readyFd, listening ? "y" : "n", 1);
    const int poller = ::epoll_create1(0);
    epoll_event event{EPOLLIN, {}};
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    event.data.fd = stopFd;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, stopFd, &event);
    char buffer[65536];
    for (epoll_event ready[64];;) {
        const int count = ::epoll_wait(poller, ready, 64, -1);
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == stopFd)
                ::_exit(0);
            if (fd != listener) {
                if (::read(fd, buffer, sizeof buffer) <= 0)
                    ::close(fd);
                continue;
            }
            for (int accepted; (accepted = ::accept4(listener, nullptr, nullptr, 0)) >= 0;) {
                event.data.fd = accepted;
                ::epoll_ctl(poller, EPOLL_CTL_ADD, accepted, &event);
            }
        }
    }
}

[[noreturn]] void trickle(const char *address, int port, const TcpLoad::Shape &shape, int stopFd,
                          int readyFd, int index)
{
    char name[32]; // the kernel keeps the first 15 characters
    std::snprintf(name, sizeof name, "vxload-%d", index);
    ::prctl(PR_SET_NAME, name);
    const sockaddr_in server = endpoint(address, port);
    std::vector<int> sockets;
    for (int i = 0; i < shape.connectionsPerClient; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
            ::write(readyFd, "n", 1);
            ::_exit(1);
        }
        sockets.push_back(fd);
    }
    ::write(readyFd, "y", 1);
    const std::vector<char> payload(std::size_t(shape.bytesPerWrite), 'x');
    while (!stopRequested(stopFd, shape.writeIntervalMs)) {
        for (int fd : sockets)
            ::write(fd, payload.data(), payload.size());
    }
    ::_exit(0);
}

bool readReady(int readyFd)
{
    char answer = 0;
    return ::read(readyFd, &answer, 1) == 1 && answer == 'y';
}

} // namespace

bool TcpLoad::start(const char *serverNetns, const char *serverAddress, int port,
                    const Shape &shape)
{
    serverAddress_ = serverAddress;
    port_ = port;
    shape_ = shape;
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0 || ::pipe2(ready_, O_CLOEXEC) != 0)
        return false;
    // Each child closes its copy of the stop pipe's write end, so that the
    // parent's close() is the end of file that stops them all.
    server_ = ::fork();
    if (server_ == 0) {
        ::close(stopPipe_[1]);
        serve(serverNetns, serverAddress, port, stopPipe_[0], ready_[1]);
    }
    bool ok = server_ > 0 && readReady(ready_[0]);
    for (int i = 0; ok && i < shape.clients; ++i)
        ok = addClient();
    return ok;
}

bool TcpLoad::addClient()
{
    const pid_t client = ::fork();
    if (client == 0) {
        ::close(stopPipe_[1]);
        trickle(serverAddress_, port_, shape_, stopPipe_[0], ready_[1], int(clients_.size()));
    }
    if (client > 0)
        clients_.push_back(client);
    return client > 0 && readReady(ready_[0]);
}

void TcpLoad::stop()
{
    if (stopPipe_[1] >= 0)
        ::close(stopPipe_[1]);
    stopPipe_[1] = -1;
    for (pid_t client : clients_)
        ::waitpid(client, nullptr, 0);
    clients_.clear();
    if (server_ > 0)
        ::waitpid(server_, nullptr, 0);
    server_ = -1;
    for (int *fd : {&stopPipe_[0], &ready_[0], &ready_[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

} // namespace attributionbench
