// A meter stopped at any moment, by a kill, a stop or a switch, and started
// again: what it credits from the counters stored with the rows.
#include "meter_fixture.h"

#include <functional>
#include <limits>

using namespace metertest;

namespace {

class ResumeTest : public MeterTest
{
protected:
    // The process ends without a word, as under SIGKILL.
    void kill() { meter_.reset(); }
    // Time passes with no meter running.
    void pass(qint64 ms)
    {
        wallMs_ += ms;
        elapsedMs_ += ms;
    }

    WarningLog warnings_; // about stored counters
};

TEST_F(ResumeTest, AStartCreditsWhatMovedSinceTheStoredCountersWhereTheyStillApply)
{
    using Change = std::function<void()>;
    const struct
    {
        const char *what;
        Change meanwhile;
        qint64 credited; // of the 100 counted before the kill and the 5000 moved after it
        int warnings;
        int mins = 1; // 10:58, counted by both runs; 2 where the stored minutes are lost
    } cases[] = {
        {"same boot, same interface, counters higher", [] {}, 5100, 0},
        {"another boot", [this] { setBootId("0e6b9f42-another-boot"); }, 0, 0},
        {"no boot id", [this] { setBootId(""); }, 0, 0},
        {"another interface under the same name",
         [this] {
             setInterface("eth0", FakeInterface{6100, 2510, 7});
         },
         0, 0},
        {"counters lower than stored",
         [this] {
             setInterface("eth0", FakeInterface{900, 2510, 2});
         },
         0, 0},
        {"a rise no link carries in the time", [this] { move("eth0", 1ULL << 62, 0); }, 0, 0},
        {"no stored entry", [] { sql("DELETE FROM meter_baseline"); }, 0, 0},
        {"garbage: a negative counter", [] { sql("UPDATE meter_baseline SET recv = -5"); }, 0, 1},
        {"garbage: text for a number", [] { sql("UPDATE meter_baseline SET sent = 'lots'"); }, 0,
         1},
        {"garbage: minutes no hour has", [] { sql("UPDATE meter_minutes SET covered = -1"); }, 5100,
         1, 2},
        {"garbage: a negative carry",
         [] { sql("INSERT INTO meter_app_carry VALUES (20513, -5, 0)"); }, 5100, 1},
        {"garbage: a carry beyond the day's attributed bytes",
         [] { sql("INSERT INTO meter_app_carry VALUES (20513, 1000000000000000000, 0)"); }, 5100,
         1},
        {"a rise beyond the link's speed (1 Mbit/s) in the time",
         [this] {
             setLinkSpeed("eth0", 1);
             move("eth0", 10'000'000, 0);
         },
         0, 1},
        {"counters from the future",
         [] { sql("UPDATE meter_baseline SET elapsed_ms = elapsed_ms + 3600000"); }, 0, 1},
        {"a table of that name with other columns",
         [] {
             sql("DROP TABLE meter_baseline; CREATE TABLE meter_baseline (interface TEXT, bytes)");
         },
         0, 1, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::resetStateDir();
        wallMs_ = utcMs("2026-03-01T10:58:00Z");
        setBootId(kBootId);
        setInterface("eth0", FakeInterface{1000, 2000, 2});
        startMeter(); // stores its baseline at once
        move("eth0", 100, 10);
        step(10000);
        kill(); // before the minute's row
        move("eth0", 5000, 500);
        pass(20000);
        c.meanwhile();
        warnings_.lines.clear();
        startMeter();
        EXPECT_EQ(warnings_.lines.size(), c.warnings) << warnings_.text();
        move("eth0", 3, 0); // and counting goes on, its rows written
        step(10000);
        meter_->shutdown();
        const vexmora::store::HourRecord ten = row("2026-03-01 10:00");
        EXPECT_EQ(ten.recv, c.credited + 3);
        EXPECT_EQ(sumOf("SELECT SUM(recv) FROM app_data"), std::to_string(ten.recv));
        EXPECT_EQ(ten.mins, c.mins);
        EXPECT_EQ(ten.recv_peak, 0) << "what moved while no meter ran is in no minute";
    }
}

// Rows no meter wrote: fewer than no bytes count from 0, and no sum goes past
// what the column holds.
TEST_F(ResumeTest, StoredHourRowsThatCannotBeRightAreBounded)
{
    startMeter();
    meter_->shutdown();
    kill();
    sql("UPDATE hour_data SET recv = -50, sent = 9223372036854775800");
    warnings_.lines.clear();
    startMeter();
    move("eth0", 100, 10);
    step(60000);
    meter_->shutdown();
    const vexmora::store::HourRecord ten = row("2026-03-01 10:00");
    EXPECT_EQ(ten.recv, 100);
    EXPECT_EQ(ten.sent, std::numeric_limits<qint64>::max());
    EXPECT_EQ(warnings_.lines.size(), 1) << warnings_.text();
}

TEST_F(ResumeTest, KillsAtAnyMomentLoseNothingAndMinutesCountOnce)
{
    // Kills mid-minute, right after a minute's row, at the hour's end and five
    // times within one minute; a stop with SIGTERM among them. In the run
    // across the hour's end the store refuses the first writes.
    const qint64 runs[] = {5000, 10000, 65000, 1000, 1000, 1000, 1000, 1000, 120000, 30000};
    quint64 moved = 0;
    for (size_t i = 0; i < std::size(runs); ++i) {
        startMeter();
        if (i == 8)
            sql("CREATE TRIGGER refuse BEFORE INSERT ON meter_baseline BEGIN SELECT "
                "RAISE(ABORT, 'refused'); END");
        for (qint64 ran = 0; ran < runs[i]; ran += 1000) {
            if (i == 8 && ran == 60000) // 11:00:35: the write of 11:01 retries
                sql("DROP TRIGGER refuse");
            move("eth0", 1000, 10);
            moved += 1000;
            step(1000);
        }
        move("eth0", 1000, 10); // after the last sample
        moved += 1000;
        if (i == 6)
            meter_->shutdown();
        kill();
        move("eth0", 777, 7); // while no meter runs
        moved += 777;
        pass(i < 7 ? 1000 : 3000);
    }
    startMeter();
    meter_->shutdown();
    const vexmora::store::HourRecord ten = row("2026-03-01 10:00");
    const vexmora::store::HourRecord eleven = row("2026-03-01 11:00");
    EXPECT_EQ(quint64(ten.recv + eleven.recv), moved);
    EXPECT_EQ(sumOf("SELECT SUM(recv) FROM app_data"), std::to_string(moved));
    // 10:58:00 to 11:02:11: every minute the meters ran in, once.
    EXPECT_EQ(ten.mins, 2);
    EXPECT_EQ(eleven.mins, 3);
}

TEST_F(ResumeTest, WhatMovesWhileCountingIsOffIsNotCreditedByARestart)
{
    startMeter();
    move("eth0", 100, 0);
    step(10000);
    ASSERT_EQ(settings_.setCountStatus(0), 0);
    step(10000); // switched off: the stored counters go
    move("eth0", 5000, 0);
    kill();
    pass(20000);
    ASSERT_EQ(settings_.setCountStatus(1), 0);
    startMeter();
    move("eth0", 3, 0);
    step(10000);
    meter_->shutdown();

    // Restarts while counting is off credit nothing, and leave nothing that a
    // later start could credit.
    ASSERT_EQ(settings_.setCountStatus(0), 0);
    move("eth0", 7000, 0);
    pass(5000);
    startMeter();
    step(10000);
    kill();
    ASSERT_EQ(settings_.setCountStatus(1), 0);
    move("eth0", 8000, 0);
    pass(5000);
    startMeter();
    move("eth0", 4, 0);
    step(10000);
    meter_->shutdown();
    EXPECT_EQ(row("2026-03-01 10:00").recv, 107);
}

} // namespace
