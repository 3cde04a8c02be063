#pragma once

// The endings' cases between the namespaces of kernel_fixture.h: each leaves
// every socket of A that it made closed, its packets on the veth.

#include "kernel_fixture.h"

#include <initializer_list>
#include <unistd.h>

namespace kerneltest {

class KernelEndings : public KernelCountersTest
{
protected:
    // The veth's counters without IPv6 multicast (the reports and
    // solicitations IPv6 sends by itself): what the sockets moved.
    LinkStats unicastOfA();

    // The cases: each leaves every socket of A closed.
    void closeWithUnreadData(Kind kind, bool abortive);
    void peerResets(Kind kind);
    void refusedConnect(Kind kind);
    void synOnlyTimeout(Kind kind);
    void shutdownThenClose(Kind kind);
    void orderlyClose(Kind kind, bool programFirst);
    void connectAgain(Kind kind, bool afterUnspec);
    void fastOpen(Kind kind);
    void listenerResetsBeforeAccept(Kind kind);
    void passedOverScmRights(Kind kind);
    void inheritedAcrossExec(Kind kind);
    void udp(Kind kind, bool connected);
    void pingSocket(Kind kind);

    int listenerInB(Kind kind)
    {
        int fd = -1;
        inB([&] { fd = listenOnAny(kind, 16); });
        return fd;
    }
    // A's client connected to a listener of B, and B's end of it.
    struct Connection
    {
        int listener, client, peer;
    };
    Connection connectToB(Kind kind)
    {
        const int listener = listenerInB(kind);
        const int client = connectTo(peerOf(kind, portOf(listener)));
        return {listener, client, ::accept(listener, nullptr, nullptr)};
    }
    static void closeAll(std::initializer_list<int> fds)
    {
        for (int fd : fds)
            ::close(fd);
    }
};

} // namespace kerneltest
