// The kernel programs' running counts into increments and owners, fed
// hand-made counts.
#include "kernel_count_ledger.h"

#include <gtest/gtest.h>
#include <map>
#include <tuple>

using namespace vexmora::meter;

namespace {

KernelSocketCount counted(quint64 cookie, quint32 tgid, ByteCounts wire, bool finished = false)
{
    KernelSocketCount socket;
    socket.cookie = cookie;
    socket.tgid = tgid;
    socket.comm = tgid ? QByteArray("prog") + QByteArray::number(tgid) : QByteArray();
    socket.wire = wire;
    socket.finished = finished;
    return socket;
}

// (pid, inode) -> (recv, sent, held)
using Taken = std::map<std::pair<qint64, quint32>, std::tuple<quint64, quint64, bool>>;

Taken bytesOf(const SourceSample &sample)
{
    Taken taken;
    for (const SocketBytes &socket : sample.bytes) {
        auto &[recv, sent, held] = taken[{socket.owner.pid, socket.owner.inode}];
        recv += socket.bytes.recv;
        sent += socket.bytes.sent;
        held = socket.held;
    }
    return taken;
}

TEST(KernelCountLedger, OwnersAreTheRecordedProcessOrTheHolderOfAnOlderSocketsInode)
{
    KernelCountLedger ledger;
    ledger.setExisting({{30, 3000}});
    const struct
    {
        const char *what;
        KernelSocketCount socket;
        SocketOwner owner;
    } cases[] = {
        {"a client: its creator", counted(10, 100, {5, 5}), {100, 0, "prog100"}},
        {"accepted: the listener's creator, as recorded",
         counted(20, 200, {5, 5}),
         {200, 0, "prog200"}},
        {"older than the programs: the inode listed for its cookie",
         counted(30, 0, {5, 5}),
         {0, 3000, {}}},
        {"older, and not listed", counted(40, 0, {5, 5}), {}},
    };
    for (const auto &c : cases) {
        ledger.applyLive({c.socket});
        const SourceSample sample = ledger.take();
        ASSERT_EQ(sample.bytes.size(), 1u) << c.what;
        EXPECT_EQ(sample.bytes[0].owner.pid, c.owner.pid) << c.what;
        EXPECT_EQ(sample.bytes[0].owner.inode, c.owner.inode) << c.what;
        EXPECT_EQ(sample.bytes[0].owner.comm, c.owner.comm) << c.what;
        EXPECT_EQ(sample.newOwners.size(), c.owner.isKnown() ? 1u : 0u) << c.what;
    }
}

TEST(KernelCountLedger, IncrementsBetweenReadsFinalCountsOnceAndAnotherMoverIsANewOwner)
{
    KernelCountLedger ledger;
    ledger.applyLive({counted(1, 100, {10, 1}), counted(2, 100, {0, 0})});
    ledger.take();
    ledger.applyLive({counted(1, 100, {15, 1}), counted(2, 300, {7, 0})});
    SourceSample sample = ledger.take();
    EXPECT_EQ(bytesOf(sample), (Taken{{{100, 0}, {5, 0, true}}, {{300, 0}, {7, 0, true}}}));
    ASSERT_EQ(sample.newOwners.size(), 1u) << "a pre-forked child moved socket 2's bytes";
    EXPECT_EQ(sample.newOwners[0].pid, 300);
    EXPECT_TRUE(sample.ownersReleased);

    ledger.applyLive({counted(2, 300, {7, 0})});
    ledger.applyFinished({counted(1, 100, {20, 2}, true)});
    sample = ledger.take();
    EXPECT_EQ(bytesOf(sample), (Taken{{{100, 0}, {5, 1, false}}}));
    EXPECT_EQ(ledger.trackedSockets(), 1);
    QSet<quint32> inodes;
    QSet<qint64> pids;
    ledger.ownersInUse(inodes, pids);
    EXPECT_EQ(pids, QSet<qint64>{300});
}

// A socket that sends after its counts were finished (a reset after
// TCP_CLOSE) or connects again counts anew in another life of its cookie,
// whose counts may be read before the previous life's final ones come.
TEST(KernelCountLedger, EachLifeOfACookieCountsFromItsOwnStart)
{
    KernelCountLedger ledger;
    ledger.applyLive({counted(1, 100, {1000, 500})});
    ledger.take();
    KernelSocketCount again = counted(1, 100, {0, 54});
    again.life = 1;
    ledger.applyLive({again});
    ledger.applyFinished({counted(1, 100, {1200, 600}, true)});
    EXPECT_EQ(bytesOf(ledger.take()), (Taken{{{100, 0}, {200, 154, false}}}));
    again.finished = true;
    ledger.applyFinished({again});
    EXPECT_TRUE(ledger.take().bytes.empty());
    EXPECT_EQ(ledger.trackedSockets(), 0);
}

TEST(KernelCountLedger, SocketMissingFromTwoReadsWithoutFinalCountsIsGivenUp)
{
    KernelCountLedger ledger;
    ledger.applyLive({counted(1, 100, {10, 1}), counted(2, 100, {10, 1})});
    ledger.take();
    ledger.applyLive({counted(2, 100, {10, 1})});
    ledger.take();
    EXPECT_EQ(ledger.vanishedSockets(), 0u) << "its final counts may come after the read";
    ledger.applyLive({counted(2, 100, {10, 1})});
    ledger.take();
    EXPECT_EQ(ledger.vanishedSockets(), 1u);
    EXPECT_EQ(ledger.trackedSockets(), 1);
}

} // namespace
