#pragma once

#include "diag_socket.h"
#include "local_addresses.h"
#include "socket_record.h"

#include <QHash>
#include <QSet>
#include <utility>
#include <vector>

namespace vexmora::meter {

// The accounting core: turns the counters of successive dumps and of destroy
// messages into per-socket increments. Sockets are told apart by their
// cookie; a cookie that comes back with other endpoints, another inode or
// smaller counters is taken for a new socket. Cookies are never reused, so a
// socket given up after missing from two dumps (a dump can skip one) is still
// recognised when it shows again a few dumps later, or, when a process held it,
// when its destroy message comes much later: a connection that ended while
// its program still holds the socket is out of the kernel's table until the
// program closes it.
//
// Not counted: listening sockets, sockets whose remote end is a local address
// (both ends on this host), and bytes from before the first dump.
class SocketLedger
{
public:
    explicit SocketLedger(LocalAddresses &local);

    void applyDump(const std::vector<DiagSocket> &dump);
    void applyDestroy(const DiagSocket &destroyed);

    // Inodes first seen since the previous call: their owners are to be found.
    std::vector<quint32> takeNewInodes();
    // The bytes not taken yet, one entry per socket that has some. Sockets
    // that closed are forgotten after this.
    std::vector<SocketBytes> takeBytes();
    // Every inode that bytes still to come may be attributed to.
    QSet<quint32> ownerInodes() const;
    // Whether an owner inode may have stopped being referenced (a socket
    // forgotten, or its inode changed) since the last call: only then is there
    // anything to clean up after ownerInodes().
    bool takeOwnersReleased() { return std::exchange(ownersReleased_, false); }

    // Sockets whose final counts never came: they left the dumps without a
    // destroy message (the kernel dropped it), their cookie was taken by
    // another socket, or their destroy message had no counters.
    quint64 vanishedSockets() const { return vanished_; }
    int trackedSockets() const { return sockets_.size(); }

private:
    struct Tracked
    {
        DiagSocket last;
        quint32 ownerInode = 0;
        ByteCounts unreported;
        bool counted = false;
        bool absent = false; // missing from the latest dump, no destroy message yet
        quint64 seenInDump = 0;
    };
    struct Listener
    {
        IpAddress address;
        quint16 port = 0;
        quint32 inode = 0;
    };
    using Table = QHash<quint64, Tracked>;
    struct Tombstone
    {
        Tracked tracked;
        quint64 settledInDump = 0;
        bool held = false; // a process held it when it was last seen
    };
    using Tombstones = QHash<quint64, Tombstone>;

    void observe(const DiagSocket &record);
    void update(Tracked &tracked, const DiagSocket &record);
    void track(const DiagSocket &record);
    Table::iterator retire(Table::iterator it);
    Table::iterator loseFinalBytes(Table::iterator it);
    Table::iterator revive(const DiagSocket &record);
    void settleAbsent();
    void expireTombstones();
    Tombstones::iterator forget(Tombstones::iterator tombstone);
    void indexListeners(const std::vector<DiagSocket> &dump);
    quint32 listenerInode(const DiagSocket &accepted) const;
    bool isCounted(const DiagSocket &record);

    LocalAddresses &local_;
    Table sockets_;
    Tombstones tombstones_; // sockets given up by settleAbsent()
    int heldTombstones_ = 0;
    std::vector<Listener> listeners_;
    std::vector<SocketBytes> retired_;
    std::vector<quint32> newInodes_;
    quint64 dumps_ = 0;
    quint64 vanished_ = 0;
    bool ownersReleased_ = false;
};

} // namespace vexmora::meter
