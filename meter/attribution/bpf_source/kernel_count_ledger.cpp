#include "kernel_count_ledger.h"

#include "source_rules.h"

namespace vexmora::meter {

namespace {

bool sameOwner(const SocketOwner &a, const SocketOwner &b)
{
    return a.pid == b.pid && a.inode == b.inode;
}

} // namespace

void KernelCountLedger::applyLive(const std::vector<KernelSocketCount> &live)
{
    ++reads_;
    for (const KernelSocketCount &socket : live)
        apply(socket);
}

void KernelCountLedger::applyFinished(const std::vector<KernelSocketCount> &finished)
{
    for (const KernelSocketCount &socket : finished)
        apply(socket);
}

SourceSample KernelCountLedger::take()
{
    forgetVanished();
    SourceSample taken;
    std::swap(taken, pending_);
    pending_.bytes.reserve(taken.bytes.size()); // the next sample moves as many, mostly
    return taken;
}

void KernelCountLedger::ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const
{
    for (const Tracked &socket : tracked_) {
        if (socket.owner.pid != 0)
            pids.insert(socket.owner.pid);
        else if (socket.owner.inode != 0)
            inodes.insert(socket.owner.inode);
    }
}

SocketOwner KernelCountLedger::ownerOf(const KernelSocketCount &socket) const
{
    if (socket.tgid != 0)
        return {qint64(socket.tgid), 0, socket.comm};
    return {0, existing_.value(socket.cookie), {}};
}

void KernelCountLedger::apply(const KernelSocketCount &socket)
{
    const QPair<quint64, quint8> key(socket.cookie, socket.life);
    auto it = tracked_.find(key);
    if (it == tracked_.end())
        it = tracked_.insert(key, Tracked{});
    const SocketOwner owner = ownerOf(socket);
    if (!sameOwner(owner, it->owner)) {
        if (owner.isKnown())
            pending_.newOwners.push_back(owner);
        pending_.ownersReleased = pending_.ownersReleased || it->owner.isKnown();
        it->owner = owner;
    }
    const ByteCounts bytes{growth(it->wire.recv, socket.wire.recv),
                           growth(it->wire.sent, socket.wire.sent)};
    it->wire = socket.wire;
    it->seenInRead = reads_;
    if (!bytes.isZero())
        pending_.bytes.push_back({owner, !socket.finished, bytes});
    if (socket.finished) {
        tracked_.erase(it);
        existing_.remove(socket.cookie);
        pending_.ownersReleased = true;
    }
}

// A socket that finished while the live map was read has its final counts
// on the way (in the ring buffer), until the rule of both sources gives it up.
void KernelCountLedger::forgetVanished()
{
    for (auto it = tracked_.begin(); it != tracked_.end();) {
        if (!isGivenUp(reads_ - it->seenInRead)) {
            ++it;
            continue;
        }
        ++vanished_;
        existing_.remove(it.key().first);
        it = tracked_.erase(it);
        pending_.ownersReleased = true;
    }
}

} // namespace vexmora::meter
