#pragma once

// The endings' cases between the namespaces of kernel_fixture.h: each leaves
// every socket of A that it made closed, its packets on the veth.

#include "endings_sockets.h"
#include "kernel_fixture.h"

#include <set>

namespace kerneltest {

class KernelEndings : public KernelCountersTest
{
protected:
    // Both namespaces: segmentation off, neighbours permanent (also for an
    // address nobody answers), nothing sent unasked over IPv6, Fast Open
    // and ping sockets allowed.
    void prepareLink();
    std::set<quint64> liveCookies(vexmora::meter::KernelSocketCounters &counters);
    // The veth's counters without IPv6 multicast (the reports and
    // solicitations IPv6 sends by itself): what the sockets moved.
    LinkStats unicastOfA();

    // The cases: each leaves every socket of A closed.
    void closeWithUnreadData(endings::Kind kind, bool abortive);
    void peerResets(endings::Kind kind);
    void refusedConnect(endings::Kind kind);
    void synOnlyTimeout(endings::Kind kind);
    void shutdownThenClose(endings::Kind kind);
    void orderlyClose(endings::Kind kind, bool programFirst);
    void connectAgain(endings::Kind kind, bool afterUnspec);
    void fastOpen(endings::Kind kind);
    void listenerResetsBeforeAccept(endings::Kind kind);
    void passedOverScmRights(endings::Kind kind);
    void inheritedAcrossExec(endings::Kind kind);
    void udp(endings::Kind kind, bool connected);
    void pingSocket(endings::Kind kind);

    // B's end of a connection to A's socket `client` (connected by A).
    int acceptInB(int listener) { return ::accept(listener, nullptr, nullptr); }
    int listenerInB(endings::Kind kind)
    {
        int fd = -1;
        inB([&] { fd = listenOnAny(kind, 16); });
        return fd;
    }
};

} // namespace kerneltest
