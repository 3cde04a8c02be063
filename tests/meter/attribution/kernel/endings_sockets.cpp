#include "endings_sockets.h"

#include "kernel_fixture.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace endings {

namespace {

Address addressOf(Kind kind, const char *v4, const char *v6, quint16 port)
{
    Address result;
    if (kind == Kind::V4) {
        const sockaddr_in in = kerneltest::address4(v4, port);
        std::memcpy(&result.storage, &in, sizeof in);
        result.length = sizeof in;
        return result;
    }
    const std::string mapped = kind == Kind::Mapped ? std::string("::ffff:") + v4 : std::string();
    const sockaddr_in6 in6 = kerneltest::address6(kind == Kind::V6 ? v6 : mapped.c_str(), port);
    std::memcpy(&result.storage, &in6, sizeof in6);
    result.length = sizeof in6;
    return result;
}

int boundOnAny(Kind kind, int type)
{
    const int fd = socketOf(kind, type);
    const int off = 0;
    if (kind != Kind::V4)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    const Address any = kind == Kind::V4 ? addressOf(kind, "0.0.0.0", nullptr, 0)
                                         : addressOf(Kind::V6, nullptr, "::", 0);
    return ::bind(fd, any.sockaddr(), any.length) == 0 ? fd : -1;
}

} // namespace

std::string nameOf(Kind kind)
{
    switch (kind) {
    case Kind::V4:
        return "IPv4";
    case Kind::V6:
        return "IPv6";
    case Kind::Mapped:
        return "IPv4-mapped";
    }
    return {};
}

Address peerOf(Kind kind, quint16 port)
{
    return addressOf(kind, kerneltest::kAddressB, kerneltest::kAddressB6, port);
}

Address silentOf(Kind kind, quint16 port)
{
    return addressOf(kind, kSilentAddress, kSilentAddress6, port);
}

Address addressOfA(Kind kind, quint16 port)
{
    return addressOf(peerKindOf(kind), kerneltest::kAddressA, kerneltest::kAddressA6, port);
}

Kind peerKindOf(Kind kind)
{
    return kind == Kind::Mapped ? Kind::V4 : kind;
}

int socketOf(Kind kind, int type)
{
    return ::socket(kind == Kind::V4 ? AF_INET : AF_INET6, type | SOCK_CLOEXEC, 0);
}

int connectTo(Kind kind, const Address &to)
{
    const int fd = socketOf(kind, SOCK_STREAM);
    if (::connect(fd, to.sockaddr(), to.length) == 0)
        return fd;
    ::close(fd);
    return -1;
}

int listenOnAny(Kind kind, int backlog)
{
    const int fd = boundOnAny(kind, SOCK_STREAM);
    return fd >= 0 && ::listen(fd, backlog) == 0 ? fd : -1;
}

int boundUdpOnAny(Kind kind)
{
    return boundOnAny(kind, SOCK_DGRAM);
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
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
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
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
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

} // namespace endings
