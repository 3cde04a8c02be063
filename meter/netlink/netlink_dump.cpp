#include "netlink_dump.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vexmora::meter {
namespace {

// Larger than any one datagram of a dump's answer: the kernel fills at most
// 32 KiB (or a page, where pages are larger) before it waits for the reader.
constexpr std::size_t kBufferBytes = 64 * 1024;
// A dump that the kernel stops answering must not hang a sample.
constexpr int kTimeoutSeconds = 2;
// An answer that what it dumped changed during is asked for again this often.
constexpr int kDumpAttempts = 3;

QString systemError(const QString &what)
{
    return what + QStringLiteral(": ") + qt_error_string(errno);
}

// The errno an NLMSG_ERROR or NLMSG_DONE carries, 0 for none.
int carriedError(const nlmsghdr &header)
{
    if (header.nlmsg_len < NLMSG_LENGTH(sizeof(int)))
        return header.nlmsg_type == NLMSG_ERROR ? EPROTO : 0;
    int code = 0;
    std::memcpy(&code, NLMSG_DATA(&header), sizeof code);
    if (code < 0)
        return -code;
    // In a dump, an error message with no error is no answer either.
    return header.nlmsg_type == NLMSG_ERROR ? EPROTO : 0;
}

} // namespace

void readDumpPart(const char *data, std::size_t length, int receiveFlags, DumpReply &reply,
                  const NetlinkMessageSink &take)
{
    if (receiveFlags & MSG_TRUNC) {
        reply.truncated = true;
        reply.done = true;
        return;
    }
    int left = int(qMin(length, kBufferBytes));
    const auto *header = reinterpret_cast<const nlmsghdr *>(data);
    for (; NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_seq != reply.sequence)
            continue;
        reply.interrupted = reply.interrupted || (header->nlmsg_flags & NLM_F_DUMP_INTR);
        if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
            reply.error = carriedError(*header);
            reply.done = true;
            return;
        }
        take(*header);
    }
    reply.cutMessages += left > 0 ? 1 : 0;
}

NetlinkDump::NetlinkDump(int protocol)
    : protocol_(protocol), buffer_(new quint64[kBufferBytes / sizeof(quint64)])
{}

NetlinkDump::~NetlinkDump()
{
    close();
}

bool NetlinkDump::open(QString *error)
{
    close();
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol_);
    if (fd_ < 0) {
        *error = systemError(QStringLiteral("cannot open a netlink socket"));
        return false;
    }
    const timeval timeout{kTimeoutSeconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return true;
}

void NetlinkDump::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool NetlinkDump::dump(nlmsghdr &request, const char *what, const std::function<void()> &restart,
                       const NetlinkMessageSink &take, QString *error)
{
    const QString subject = QString::fromLatin1(what);
    for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
        if (attempt > 0 && restart)
            restart();
        discardPending();
        DumpReply reply;
        reply.sequence = request.nlmsg_seq = ++sequence_;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(fd_, &request, request.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel),
                     sizeof kernel) != ssize_t(request.nlmsg_len)) {
            *error = systemError(QStringLiteral("cannot ask for ") + subject);
            return false;
        }
        if (!receive(reply, subject, take, error))
            return false;
        if (reply.accepted())
            return true;
    }
    *error = subject +
             QStringLiteral(" was interrupted by changes %1 times in a row").arg(kDumpAttempts);
    return false;
}

bool NetlinkDump::receive(DumpReply &reply, const QString &what, const NetlinkMessageSink &take,
                          QString *error)
{
    while (!reply.done) {
        iovec part{buffer_.get(), kBufferBytes};
        msghdr received{};
        received.msg_iov = &part;
        received.msg_iovlen = 1;
        const ssize_t length = ::recvmsg(fd_, &received, 0);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0) {
            *error = systemError(what + QStringLiteral(" broke off"));
            return false;
        }
        readDumpPart(reinterpret_cast<const char *>(buffer_.get()), std::size_t(length),
                     received.msg_flags, reply, take);
    }
    cutMessages_ += reply.cutMessages;
    if (reply.truncated) {
        *error = what + QStringLiteral(" came in a part larger than %1 bytes").arg(kBufferBytes);
        return false;
    }
    if (reply.error != 0) {
        errno = reply.error;
        *error = systemError(QStringLiteral("the kernel refused ") + what);
        return false;
    }
    return true;
}

// Leftovers of an answer that broke off are not read as the next one's.
void NetlinkDump::discardPending()
{
    while (::recv(fd_, buffer_.get(), kBufferBytes, MSG_DONTWAIT) > 0) {
    }
}

} // namespace vexmora::meter
