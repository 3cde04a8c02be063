// netlink/: one netlink dump, its answer checked: sequence, truncation, interruption, errors.
// May use the C library and Qt's strings only; host/ and attribution/sock_diag/ use it.
#pragma once

#include <QString>
#include <QtGlobal>
#include <cstddef>
#include <functional>
#include <linux/netlink.h>
#include <memory>

namespace vexmora::meter {

// A dump request of `type` with its body, the header filled in but for the
// sequence number, which NetlinkDump::dump() sets.
template <typename Body> struct DumpRequest
{
    explicit DumpRequest(quint16 type)
    {
        header.nlmsg_len = sizeof *this;
        header.nlmsg_type = type;
        header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    }
    nlmsghdr header{};
    Body body{};
};

// Each message of a dump's answer but the NLMSG_DONE and NLMSG_ERROR that end it.
using NetlinkMessageSink = std::function<void(const nlmsghdr &)>;

// What the datagrams of one dump's answer said so far.
struct DumpReply
{
    quint32 sequence = 0; // the request's: other messages are leftovers of an earlier one
    bool done = false;
    bool interrupted = false; // NLM_F_DUMP_INTR: what it dumped changed meanwhile
    bool truncated = false;   // a datagram larger than the buffer (MSG_TRUNC)
    int error = 0;            // errno of an NLMSG_ERROR, or of an NLMSG_DONE that carried one
    quint64 cutMessages = 0;  // messages cut short, the rest of their datagram skipped

    // Complete, whole and without error: its messages are all there, once each.
    bool accepted() const { return done && !interrupted && !truncated && error == 0; }
};

// Reads one datagram of the answer (recvmsg's flags with it) into reply;
// messages of reply.sequence go to take. Ends the reply (done) at the first
// NLMSG_DONE or NLMSG_ERROR, or at a truncated datagram.
void readDumpPart(const char *data, std::size_t length, int receiveFlags, DumpReply &reply,
                  const NetlinkMessageSink &take);

// A netlink socket of one protocol, kept open between dumps, that sends a
// dump request and reads its whole answer, refusing any that is not whole.
class NetlinkDump
{
public:
    explicit NetlinkDump(int protocol);
    ~NetlinkDump();
    NetlinkDump(const NetlinkDump &) = delete;
    NetlinkDump &operator=(const NetlinkDump &) = delete;

    // Opens the socket in the network namespace of the calling thread.
    bool open(QString *error);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // Sends request (its header first, its sequence number set here) and
    // passes the answer's messages to take; an interrupted answer is asked
    // for again, after restart(), a few times. False with the reason, naming
    // `what` was dumped, when no whole answer came.
    bool dump(nlmsghdr &request, const char *what, const std::function<void()> &restart,
              const NetlinkMessageSink &take, QString *error);
    // Messages cut short in the answers so far.
    quint64 cutMessages() const { return cutMessages_; }

private:
    bool receive(DumpReply &reply, const QString &what, const NetlinkMessageSink &take,
                 QString *error);
    void discardPending();

    int protocol_;
    int fd_ = -1;
    quint32 sequence_ = 0;
    quint64 cutMessages_ = 0;
    std::unique_ptr<quint64[]> buffer_;
};

} // namespace vexmora::meter
