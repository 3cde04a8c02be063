#include "kernel_sockets.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kerneltest {

namespace {

Address addressOf(Kind kind, const char *v4, const char *v6, quint16 port)
{
    if (kind == Kind::Mapped)
        return at((std::string("::ffff:") + v4).c_str(), port);
    return at(kind == Kind::V4 ? v4 : v6, port);
}

// One byte, and a descriptor with it where `control` is given.
msghdr descriptorMessage(iovec &data, char *control, std::size_t controlBytes)
{
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = controlBytes;
    return message;
}

} // namespace

Address at(const char *ip, quint16 port)
{
    Address result;
    if (std::strchr(ip, ':')) {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(result.storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        ::inet_pton(AF_INET6, ip, &in6.sin6_addr);
        result.length = sizeof in6;
    } else {
        auto &in = reinterpret_cast<sockaddr_in &>(result.storage);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        ::inet_pton(AF_INET, ip, &in.sin_addr);
        result.length = sizeof in;
    }
    return result;
}

std::string nameOf(Kind kind)
{
    return kind == Kind::V4 ? "IPv4" : kind == Kind::V6 ? "IPv6" : "IPv4-mapped";
}

Address peerOf(Kind kind, quint16 port)
{
    return addressOf(kind, kAddressB, kAddressB6, port);
}

Address silentOf(Kind kind, quint16 port)
{
    return addressOf(kind, kSilentAddress, kSilentAddress6, port);
}

Address addressOfA(Kind kind, quint16 port)
{
    return addressOf(kind == Kind::Mapped ? Kind::V4 : kind, kAddressA, kAddressA6, port);
}

int socketOf(Kind kind, int type)
{
    return ::socket(kind == Kind::V4 ? AF_INET : AF_INET6, type | SOCK_CLOEXEC, 0);
}

quint64 cookieOf(int fd)
{
    quint64 cookie = 0;
    socklen_t length = sizeof cookie;
    ::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length);
    return cookie;
}

quint16 portOf(int fd)
{
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
    return ntohs(local.sin6_port); // the same place in sockaddr_in
}

int receiving(int fd)
{
    const timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

int udpAt(const char *ip)
{
    const Address address = at(ip);
    const int fd = receiving(::socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return ::bind(fd, address.sockaddr(), address.length) == 0 ? fd : -1;
}

int listenAt(const char *ip, int receiveBuffer)
{
    const Address address = at(ip);
    const int fd = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const bool listening =
        ::bind(fd, address.sockaddr(), address.length) == 0 && ::listen(fd, 16) == 0;
    return listening ? fd : -1;
}

bool connects(int fd, const Address &to)
{
    return ::connect(fd, to.sockaddr(), to.length) == 0;
}

int connectTo(const Address &to)
{
    const int fd = ::socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connects(fd, to))
        return fd;
    ::close(fd);
    return -1;
}

int listenOnAny(Kind kind, int backlog)
{
    const int fd = boundOnAny(kind, SOCK_STREAM);
    return fd >= 0 && ::listen(fd, backlog) == 0 ? fd : -1;
}

int boundOnAny(Kind kind, int type)
{
    const int fd = socketOf(kind, type);
    const int off = 0;
    if (kind != Kind::V4)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    const Address any = at(kind == Kind::V4 ? "0.0.0.0" : "::");
    return ::bind(fd, any.sockaddr(), any.length) == 0 ? fd : -1;
}

void lingerZero(int fd)
{
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

void sendAll(int fd, std::size_t bytes)
{
    const std::vector<char> chunk(65536, 'x');
    for (std::size_t left = bytes; left > 0;) {
        const ssize_t n = ::send(fd, chunk.data(), std::min(left, chunk.size()), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        left -= std::size_t(n);
    }
}

std::size_t receiveAll(int fd, std::size_t atMost)
{
    std::vector<char> buffer(65536);
    std::size_t total = 0;
    for (ssize_t n; total < atMost && (n = ::recv(fd, buffer.data(),
                                                  std::min(buffer.size(), atMost - total), 0)) > 0;)
        total += std::size_t(n);
    return total;
}

void readExactly(int fd, void *into, std::size_t bytes)
{
    auto *next = static_cast<char *>(into);
    for (ssize_t n; bytes > 0 && (n = ::read(fd, next, bytes)) > 0; next += n)
        bytes -= std::size_t(n);
}

bool allAcknowledged(int fd)
{
    for (int waited = 0; waited < 2000; waited += 10) {
        int unacknowledged = 0;
        if (::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0)
            return true;
        ::usleep(10'000);
    }
    return false;
}

void sendDescriptor(int over, int fd)
{
    char byte = 'f';
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fd)] = {};
    msghdr message = descriptorMessage(data, control, sizeof control);
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof fd);
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ::sendmsg(over, &message, 0);
}

int receiveDescriptor(int over)
{
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = descriptorMessage(data, control, sizeof control);
    if (::recvmsg(over, &message, 0) != 1)
        return -1;
    const cmsghdr *header = CMSG_FIRSTHDR(&message);
    int fd = -1;
    if (header && header->cmsg_type == SCM_RIGHTS)
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

bool exitedWell(pid_t child)
{
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int pingSocketOf(Kind kind)
{
    return kind == Kind::V4 ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP)
                            : ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMPV6);
}

// Type, code, checksum and identifier are the kernel's to fill but the type.
std::vector<char> echoRequest(Kind kind, int sequence, std::size_t payload)
{
    std::vector<char> echo(8 + payload, 'p');
    echo[0] = char(kind == Kind::V4 ? 8 : 128);
    echo[1] = 0;
    std::memset(&echo[2], 0, 4);
    const quint16 number = htons(quint16(sequence));
    std::memcpy(&echo[6], &number, sizeof number);
    return echo;
}

bool withinATenthOfAPercent(quint64 counted, quint64 truth)
{
    const quint64 difference = counted > truth ? counted - truth : truth - counted;
    return difference * 1000 <= truth;
}

} // namespace kerneltest
