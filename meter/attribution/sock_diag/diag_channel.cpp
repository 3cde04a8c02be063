#include "diag_channel.h"

#include <cerrno>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vexmora::meter {

namespace {

// Large enough for any single destroy message the kernel sends.
constexpr std::size_t kBufferBytes = 64 * 1024;
// Destroy messages are read in bounded batches; a flood continues at the
// next notification instead of holding the caller.
constexpr int kMaxDestroyReadsPerCall = 4096;

constexpr quint32 kDumpedStates =
    ((1u << (TCP_CLOSING + 1)) - 1) & ~(1u << TCP_TIME_WAIT) & ~(1u << TCP_SYN_RECV);

QString systemError(const char *what)
{
    return QString::fromLatin1(what) + QStringLiteral(": ") + qt_error_string(errno);
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool setReceiveBuffer(int fd, int bytes)
{
    // SO_RCVBUFFORCE passes net.core.rmem_max for a privileged caller.
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0 ||
           ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool joinDestroyGroups(int fd)
{
    for (int group : {SKNLGRP_INET_TCP_DESTROY, SKNLGRP_INET6_TCP_DESTROY}) {
        if (::setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0)
            return false;
    }
    return true;
}

} // namespace

DiagChannel::DiagChannel() : dumps_(NETLINK_SOCK_DIAG), buffer_(kBufferBytes) {}

DiagChannel::~DiagChannel()
{
    close();
}

void DiagChannel::close()
{
    dumps_.close();
    closeFd(destroyFd_);
}

bool DiagChannel::openForDumps(QString *error)
{
    close();
    return dumps_.open(error);
}

bool DiagChannel::open(int destroyBufferBytes, QString *error)
{
    if (!openForDumps(error))
        return false;
    destroyFd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG);
    if (destroyFd_ < 0) {
        *error = systemError("cannot open a sock_diag netlink socket");
        close();
        return false;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (!setReceiveBuffer(destroyFd_, destroyBufferBytes) ||
        ::bind(destroyFd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        !joinDestroyGroups(destroyFd_)) {
        *error = systemError("cannot subscribe to the TCP socket destroy messages");
        close();
        return false;
    }
    return true;
}

// The original request (TCPDIAG_GETSOCK with inet_diag_req) dumps both
// address families in one walk of the kernel's socket tables; a
// SOCK_DIAG_BY_FAMILY request walks them once per family, and the walk of the
// established table costs about as much as filling in 3,000 sockets.
bool DiagChannel::dumpTcp(DiagBatch &batch, QString *error)
{
    DumpRequest<inet_diag_req> request(TCPDIAG_GETSOCK);
    request.body.idiag_family = AF_INET; // ignored: this request takes both families
    request.body.idiag_ext = 1 << (INET_DIAG_INFO - 1);
    request.body.idiag_states = kDumpedStates;
    return dump(request.header, "the TCP socket dump", batch, error);
}

bool DiagChannel::dumpAll(quint8 family, quint8 protocol, DiagBatch &batch, QString *error)
{
    DumpRequest<inet_diag_req_v2> request(SOCK_DIAG_BY_FAMILY);
    request.body.sdiag_family = family;
    request.body.sdiag_protocol = protocol;
    request.body.idiag_states = ~0u;
    return dump(request.header, "the socket dump", batch, error);
}

// The messages of the answer, parsed; those of an answer that was
// interrupted and asked for again are dropped first.
bool DiagChannel::dump(nlmsghdr &request, const char *what, DiagBatch &batch, QString *error)
{
    const std::size_t kept = batch.sockets.size();
    const quint64 cutBefore = dumps_.cutMessages();
    const auto restart = [&batch, kept] {
        batch.sockets.erase(batch.sockets.begin() + std::ptrdiff_t(kept), batch.sockets.end());
    };
    const auto take = [&batch](const nlmsghdr &message) {
        parseDiagMessages(reinterpret_cast<const char *>(&message), message.nlmsg_len, batch);
    };
    const bool whole = dumps_.dump(request, what, restart, take, error);
    batch.malformed += dumps_.cutMessages() - cutBefore;
    batch.done = whole;
    return whole;
}

quint64 DiagChannel::readDestroyed(DiagBatch &batch)
{
    quint64 overruns = 0;
    for (int read = 0; read < kMaxDestroyReadsPerCall && destroyFd_ >= 0; ++read) {
        const ssize_t received = ::recv(destroyFd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (received < 0 && errno == ENOBUFS)
            ++overruns;
        else if (received < 0 && errno == EINTR)
            continue;
        else if (received <= 0)
            break;
        else
            parseDiagMessages(buffer_.data(), std::size_t(received), batch);
    }
    return overruns;
}

} // namespace vexmora::meter
