#include "socket_ledger.h"

#include "source_rules.h"

#include <algorithm>

namespace vexmora::meter {

namespace {

// How long a socket given up for missing from the dumps is remembered.
constexpr quint64 kTombstoneDumps = 4;
// A connection that ended while its program still holds the socket leaves the
// kernel's table at once, but its destroy message comes only when the program
// closes it: a socket last seen held is remembered for an hour of samples at
// the default interval, and at most this many of them.
constexpr quint64 kHeldTombstoneDumps = 1800;
constexpr int kMaxHeldTombstones = 4096;

bool countersShrank(const DiagSocket &last, const DiagSocket &now)
{
    return last.hasCounters && now.hasCounters &&
           (now.counters.recv < last.counters.recv || now.counters.sent < last.counters.sent);
}

// Destroy messages and orphaned sockets have no inode, so only two inodes
// that are both known can disagree.
bool sameSocket(const DiagSocket &last, const DiagSocket &now)
{
    const bool inodesAgree = last.inode == 0 || now.inode == 0 || last.inode == now.inode;
    return inodesAgree && last.sameEndpoints(now) && !countersShrank(last, now);
}

} // namespace

SocketLedger::SocketLedger(LocalAddresses &local) : local_(local) {}

void SocketLedger::applyDump(const std::vector<DiagSocket> &dump)
{
    indexListeners(dump);
    for (const DiagSocket &record : dump)
        observe(record);
    settleAbsent();
    expireTombstones();
    ++dumps_;
}

void SocketLedger::applyDestroy(const DiagSocket &destroyed)
{
    auto it = sockets_.find(destroyed.cookie);
    if (it == sockets_.end())
        it = revive(destroyed);
    if (it != sockets_.end() && sameSocket(it->last, destroyed)) {
        if (!destroyed.hasCounters) {
            loseFinalBytes(it);
            return;
        }
        if (it->counted)
            it->unreported += destroyed.wireSince(it->last);
        retire(it);
        return;
    }
    if (it != sockets_.end())
        loseFinalBytes(it);
    if (!destroyed.hasCounters) {
        ++vanished_;
        return;
    }
    // A socket that opened and closed between two dumps: all its bytes are new.
    const ByteCounts bytes = destroyed.wire();
    if (dumps_ == 0 || !isCounted(destroyed) || bytes.isZero())
        return;
    retired_.push_back({{0, listenerInode(destroyed), {}}, false, bytes});
}

std::vector<quint32> SocketLedger::takeNewInodes()
{
    std::vector<quint32> taken;
    taken.swap(newInodes_);
    return taken;
}

std::vector<SocketBytes> SocketLedger::takeBytes()
{
    std::vector<SocketBytes> taken;
    taken.swap(retired_);
    for (Tracked &tracked : sockets_) {
        if (tracked.unreported.isZero())
            continue;
        const bool held = tracked.last.inode != 0 && !tracked.absent;
        taken.push_back({{0, tracked.ownerInode, {}}, held, tracked.unreported});
        tracked.unreported = {};
    }
    return taken;
}

QSet<quint32> SocketLedger::ownerInodes() const
{
    QSet<quint32> inodes;
    inodes.reserve(sockets_.size());
    for (const Tracked &tracked : sockets_)
        inodes.insert(tracked.ownerInode);
    for (const SocketBytes &bytes : retired_)
        inodes.insert(bytes.owner.inode);
    for (const Tombstone &tombstone : tombstones_)
        inodes.insert(tombstone.tracked.ownerInode);
    inodes.remove(0);
    return inodes;
}

void SocketLedger::observe(const DiagSocket &record)
{
    auto it = sockets_.find(record.cookie);
    if (it == sockets_.end())
        it = revive(record);
    if (it != sockets_.end() && !sameSocket(it->last, record)) {
        loseFinalBytes(it);
        it = sockets_.end();
    }
    if (it == sockets_.end())
        track(record);
    else
        update(*it, record);
}

void SocketLedger::update(Tracked &tracked, const DiagSocket &record)
{
    tracked.absent = false;
    tracked.seenInDump = dumps_;
    if (record.inode != 0 && record.inode != tracked.ownerInode) {
        ownersReleased_ = ownersReleased_ || tracked.ownerInode != 0;
        tracked.ownerInode = record.inode;
        newInodes_.push_back(record.inode);
    }
    if (!record.hasCounters) {
        const DiagSocket previous = tracked.last;
        tracked.last = record;
        tracked.last.hasCounters = previous.hasCounters;
        tracked.last.counters = previous.counters;
        tracked.last.segmentsIn = previous.segmentsIn;
        tracked.last.segmentsOut = previous.segmentsOut;
        tracked.last.headerBytes = previous.headerBytes;
        return;
    }
    if (tracked.counted)
        tracked.unreported += record.wireSince(tracked.last);
    tracked.last = record;
}

void SocketLedger::track(const DiagSocket &record)
{
    Tracked tracked;
    tracked.last = record;
    tracked.seenInDump = dumps_;
    tracked.counted = isCounted(record);
    tracked.ownerInode = record.inode != 0 ? record.inode : listenerInode(record);
    // Sockets of the first dump are the baseline; any later one was born
    // since the previous dump, so all its bytes are new.
    if (tracked.counted && dumps_ > 0)
        tracked.unreported = record.wire();
    if (record.inode != 0)
        newInodes_.push_back(record.inode);
    sockets_.insert(record.cookie, tracked);
}

SocketLedger::Table::iterator SocketLedger::retire(Table::iterator it)
{
    if (!it->unreported.isZero())
        retired_.push_back({{0, it->ownerInode, {}}, false, it->unreported});
    ownersReleased_ = true;
    return sockets_.erase(it);
}

SocketLedger::Table::iterator SocketLedger::loseFinalBytes(Table::iterator it)
{
    ++vanished_;
    return retire(it);
}

// A given-up socket that shows again, in a dump or a destroy message, is
// tracked on from its last counts and was not lost after all.
SocketLedger::Table::iterator SocketLedger::revive(const DiagSocket &record)
{
    const auto tombstone = tombstones_.find(record.cookie);
    if (tombstone == tombstones_.end())
        return sockets_.end();
    const Tracked tracked = tombstone->tracked;
    heldTombstones_ -= tombstone->held ? 1 : 0;
    tombstones_.erase(tombstone);
    if (!sameSocket(tracked.last, record)) {
        ownersReleased_ = true;
        return sockets_.end();
    }
    --vanished_;
    return sockets_.insert(record.cookie, tracked);
}

// A socket missing from a dump may still have its destroy message on the
// way, until the rule of both sources gives it up.
void SocketLedger::settleAbsent()
{
    for (auto it = sockets_.begin(); it != sockets_.end();) {
        const quint64 dumpsMissed = dumps_ - it->seenInDump;
        if (dumpsMissed == 0) {
            ++it;
        } else if (isGivenUp(dumpsMissed)) {
            Tombstone tombstone{*it, dumps_, it->last.inode != 0};
            tombstone.tracked.unreported = {};
            tombstones_.insert(it.key(), tombstone);
            heldTombstones_ += tombstone.held ? 1 : 0;
            it = loseFinalBytes(it);
        } else {
            it->absent = true;
            ++it;
        }
    }
}

void SocketLedger::expireTombstones()
{
    for (auto it = tombstones_.begin(); it != tombstones_.end();) {
        const quint64 age = dumps_ - it->settledInDump;
        it = age >= (it->held ? kHeldTombstoneDumps : kTombstoneDumps) ? forget(it) : std::next(it);
    }
    if (heldTombstones_ <= kMaxHeldTombstones)
        return;
    std::vector<std::pair<quint64, quint64>> held; // settled in dump, cookie
    for (auto it = tombstones_.cbegin(); it != tombstones_.cend(); ++it) {
        if (it->held)
            held.emplace_back(it->settledInDump, it.key());
    }
    const auto excess = held.begin() + (heldTombstones_ - kMaxHeldTombstones);
    std::nth_element(held.begin(), excess, held.end());
    for (auto it = held.begin(); it != excess; ++it)
        forget(tombstones_.find(it->second));
}

SocketLedger::Tombstones::iterator SocketLedger::forget(Tombstones::iterator tombstone)
{
    ownersReleased_ = true;
    heldTombstones_ -= tombstone->held ? 1 : 0;
    return tombstones_.erase(tombstone);
}

void SocketLedger::indexListeners(const std::vector<DiagSocket> &dump)
{
    listeners_.clear();
    for (const DiagSocket &record : dump) {
        if (record.isListening() && record.inode != 0)
            listeners_.push_back({record.localAddress, record.localPort, record.inode});
    }
}

quint32 SocketLedger::listenerInode(const DiagSocket &accepted) const
{
    quint32 wildcard = 0;
    for (const Listener &listener : listeners_) {
        if (listener.port != accepted.localPort)
            continue;
        if (listener.address == accepted.localAddress)
            return listener.inode;
        // An IPv6 wildcard listener also accepts IPv4 connections.
        if (listener.address.isUnspecified() && (!listener.address.v4 || accepted.localAddress.v4))
            wildcard = listener.inode;
    }
    return wildcard;
}

bool SocketLedger::isCounted(const DiagSocket &record)
{
    return !record.isListening() && !local_.contains(record.remoteAddress);
}

} // namespace vexmora::meter
