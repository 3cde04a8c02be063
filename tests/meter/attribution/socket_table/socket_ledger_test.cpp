// The accounting core fed hand-made socket records: dumps and destroy messages.
#include "diag_sockets.h"
#include "socket_ledger.h"

#include <map>

using namespace vexmora::meter;
using test::ip;
using test::tcp;

namespace {

using Taken = std::map<quint32, std::pair<quint64, quint64>>; // owner inode -> recv, sent

class Ledger : public testing::Test
{
protected:
    Taken taken()
    {
        Taken sums;
        for (const SocketBytes &socket : ledger_.takeBytes()) {
            sums[socket.owner.inode].first += socket.bytes.recv;
            sums[socket.owner.inode].second += socket.bytes.sent;
        }
        return sums;
    }
    // Listening on the dual-stack wildcard, which takes IPv4 connections too.
    static DiagSocket listening(DiagSocket record)
    {
        record.state = 10; // TCP_LISTEN
        record.localAddress = ip("::");
        return record;
    }

    LocalAddresses local_{[] { return std::vector<IpAddress>{ip("198.51.100.1")}; }};
    SocketLedger ledger_{local_};
};

TEST_F(Ledger, DestroyOfASocketNeverSeenGoesToItsListenerElseToNobody)
{
    ledger_.applyDump({listening(tcp(9, 90, {}, 8080, "::"))});
    ledger_.applyDestroy(tcp(50, 0, {300, 5}, 8080));
    ledger_.applyDestroy(tcp(51, 0, {10, 20}, 40001));
    EXPECT_EQ(taken(), (Taken{{90, {300, 5}}, {0, {10, 20}}}));
}

TEST_F(Ledger, CookieThatComesBackForAnotherSocketStartsOverAndCountsTheLoss)
{
    ledger_.applyDump({tcp(1, 7, {100, 100})});
    ledger_.applyDump({tcp(1, 8, {30, 30})});
    EXPECT_EQ(taken(), (Taken{{8, {30, 30}}}));
    EXPECT_EQ(ledger_.vanishedSockets(), 1u);
    ledger_.applyDump({tcp(1, 8, {10, 10})}); // same inode, smaller counters
    EXPECT_EQ(taken(), (Taken{{8, {10, 10}}}));
    EXPECT_EQ(ledger_.vanishedSockets(), 2u);
    ledger_.applyDestroy(tcp(1, 0, {40, 40}, 40009));
    EXPECT_EQ(taken(), (Taken{{0, {40, 40}}}));
    EXPECT_EQ(ledger_.vanishedSockets(), 3u);
}

TEST_F(Ledger, SocketGoneFromTwoDumpsIsLostButItsBytesAreNotAndItMayComeBack)
{
    ledger_.applyDump({tcp(1, 7, {100, 100}), tcp(2, 8, {100, 100})});
    ledger_.applyDump({tcp(1, 7, {150, 150}), tcp(2, 8, {150, 150})});
    ledger_.applyDump({});
    EXPECT_EQ(ledger_.vanishedSockets(), 0u) << "a destroy message may still be on its way";
    ledger_.applyDestroy(tcp(1, 0, {160, 160}));
    ledger_.applyDump({});
    EXPECT_EQ(ledger_.vanishedSockets(), 1u);
    EXPECT_EQ(taken(), (Taken{{7, {60, 60}}, {8, {50, 50}}}));
    // A dump can skip a socket: its cookie coming back is the same socket.
    ledger_.applyDump({tcp(2, 8, {170, 170})});
    EXPECT_EQ(taken(), (Taken{{8, {20, 20}}}));
    EXPECT_EQ(ledger_.vanishedSockets(), 0u);
}

// A connection that ended while its program holds the socket leaves the
// kernel's table; the destroy message comes when the program closes it.
TEST_F(Ledger, SocketHeldAfterItLeftTheTableGetsOnlyItsGrowthWhenItIsFinallyClosed)
{
    ledger_.applyDump({tcp(1, 7, {100, 100}), tcp(2, 0, {100, 100}, 40002)}); // 2: orphaned
    ledger_.applyDump({tcp(1, 7, {150, 5000}), tcp(2, 0, {150, 150}, 40002)});
    taken();
    for (int i = 0; i < 100; ++i) // minutes of samples at a short interval
        ledger_.applyDump({});
    ledger_.applyDestroy(tcp(1, 0, {160, 6000}));
    ledger_.applyDestroy(tcp(2, 0, {170, 170}, 40002)); // long forgotten: taken for a new one
    EXPECT_EQ(taken(), (Taken{{7, {10, 1000}}, {0, {170, 170}}}));
    EXPECT_EQ(ledger_.vanishedSockets(), 1u);
}

TEST_F(Ledger, HeldSocketsGoneFromTheTableAreRememberedUpToALimitOldestForgottenFirst)
{
    constexpr quint64 kLimit = 4096;
    std::vector<DiagSocket> held;
    for (quint64 cookie = 1; cookie <= kLimit + 1; ++cookie)
        held.push_back(tcp(cookie, quint32(cookie), {100, 100}, quint16(cookie)));
    ledger_.applyDump({held.front()});
    ledger_.applyDump(held);
    for (int i = 0; i < 3; ++i)
        ledger_.applyDump({});
    taken();
    ledger_.applyDestroy(tcp(1, 0, {100, 900}, 1)); // the oldest: forgotten
    ledger_.applyDestroy(tcp(2, 0, {100, 900}, 2)); // remembered
    EXPECT_EQ(taken(), (Taken{{0, {100, 900}}, {2, {0, 800}}}));
}

TEST_F(Ledger, LocalAndListeningSocketsCountNothing)
{
    ledger_.applyDump({});
    ledger_.applyDump(
        {tcp(1, 7, {5, 5}, 40000, "127.0.0.1"), tcp(2, 8, {5, 5}, 40000, "198.51.100.1"),
         tcp(3, 9, {5, 5}, 40000, "::ffff:127.0.0.1"), listening(tcp(4, 10, {5, 5}))});
    EXPECT_EQ(taken(), Taken{});
}

TEST_F(Ledger, RecordWithoutCountersKeepsTheLastOnesAndADestroyWithoutThemIsALoss)
{
    DiagSocket counterless = tcp(6, 12, {});
    counterless.hasCounters = false;
    ledger_.applyDump({tcp(6, 12, {100, 100})});
    ledger_.applyDump({counterless});
    ledger_.applyDump({tcp(6, 12, {130, 110})});
    EXPECT_EQ(taken(), (Taken{{12, {30, 10}}}));
    ledger_.applyDestroy(counterless);
    EXPECT_EQ(ledger_.vanishedSockets(), 1u);
}

} // namespace
