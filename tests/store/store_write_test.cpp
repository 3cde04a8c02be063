// The store's write interface against the scratch database.
#include "meter_store.h"
#include "store_test_support.h"
#include "traffic_store.h"

#include <cstdio>
#include <tuple>

using namespace vexmora::store;
using namespace storetest;

namespace {

using StoreWrite = StoreTest;

constexpr HourRecord kFirst{60, 1000, 2000, 10, 20, 30};
constexpr HourRecord kSecond{45, -5, 9000000000, 2147483647, -1, 7};

TEST_F(StoreWrite, AppTrafficAddsUpWithinTheUtcDayAndSplitsAcrossDays)
{
    ASSERT_EQ(addAppTraffic("mail", 100, 200), 0);
    exec("INSERT INTO app_data (pkgname, recv, sent, total, time) "
         "VALUES ('mail', 7, 8, 15, date('now', '-1 day'))");
    ASSERT_EQ(addAppTraffic("mail", 5000000000, 1), 0);
    ASSERT_EQ(addAppTraffic("web", 3, 4), 0);
    EXPECT_EQ(rows("SELECT pkgname, time = date('now'), recv, sent, total FROM app_data "
                   "ORDER BY pkgname, time"),
              "mail|0|7|8|15\nmail|1|5000000100|201|5000000301\nweb|1|3|4|7\n");
}

TEST_F(StoreWrite, ARewrittenHourTakesTheNewValuesAndIsUnreportedAgain)
{
    ASSERT_EQ(saveHourData("2026-01-01 10:00", kFirst), 0);
    exec("UPDATE hour_data SET report_status=1");
    ASSERT_EQ(saveHourData("2026-01-01 10:00", kSecond), 0);
    EXPECT_EQ(rows("SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, report_status "
                   "FROM hour_data"),
              "2026-01-01 10:00|45|-5|9000000000|2147483647|-1|7|0\n");

    // An absent hour, or a text that would rewrite the query if it were
    // pasted into it, finds nothing and leaves the record alone.
    for (const char *hour : {"2026-01-01 11:00", "x' OR '1'='1"}) {
        HourRecord untouched = kFirst;
        EXPECT_EQ(loadHourData(hour, untouched), 0) << hour;
        EXPECT_EQ(std::tie(untouched.mins, untouched.sent), std::tie(kFirst.mins, kFirst.sent));
    }
}

TEST_F(StoreWrite, PurgeCountsLocalDaysAndTheBoundaryDayGoes)
{
    const std::string d0 = localDate(0), d1 = localDate(1), d2 = localDate(2), d3 = localDate(3);
    const std::string hours[] = {d0 + " 00:00", d1 + " 23:00", d2 + " 00:00", d3 + " 23:00"};
    const struct
    {
        int days;
        std::string appDataLeft;
        std::string hourDataLeft; // an hour's text sorts after its day's
    } cases[] = {
        {2, d1 + "\n" + d0 + "\n", hours[2] + "\n" + hours[1] + "\n" + hours[0] + "\n"},
        {0, "", hours[0] + "\n"},
        {-1, d3 + "\n" + d2 + "\n" + d1 + "\n" + d0 + "\n",
         hours[3] + "\n" + hours[2] + "\n" + hours[1] + "\n" + hours[0] + "\n"},
    };
    ASSERT_EQ(createAppDataTable(db_) + createHourDataTable(db_), 0);
    for (const auto &c : cases) {
        exec("DELETE FROM app_data; DELETE FROM hour_data;");
        for (int i = 0; i < 4; ++i) {
            exec("INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES ('p', 1, 1, 2, '" +
                 localDate(i) +
                 "'); INSERT INTO hour_data (time, mins, recv, sent, recv_peak, "
                 "sent_peak, total_peak) VALUES ('" +
                 hours[i] + "', 60, 1, 1, 1, 1, 1)");
        }
        purgeOldRows("app_data", c.days);
        purgeOldRows("hour_data", c.days);
        EXPECT_EQ(rows("SELECT time FROM app_data ORDER BY time"), c.appDataLeft) << c.days;
        EXPECT_EQ(rows("SELECT time FROM hour_data ORDER BY time"), c.hourDataLeft) << c.days;
    }
    purgeOldRows("hour_data WHERE 1=1; --", 0);
    EXPECT_EQ(rows("SELECT count(*) FROM hour_data"), "4\n");
}

TEST_F(StoreWrite, FailuresAnswerTheirCodeAndNeverCreateTheDirectory)
{
    EXPECT_EQ(addAppTraffic(nullptr, 1, 1), 1); // against the column's constraint

    sqlite3_close(db_);
    db_ = nullptr;
    FILE *junk = fopen(vexmora::paths::kDatabaseFile, "w");
    fputs(std::string(4096, 'x').c_str(), junk);
    fclose(junk);
    EXPECT_EQ(saveHourData("2026-01-01 10:00", kFirst), 1);
    EXPECT_EQ(addAppTraffic("p", 1, 1), 1);

    std::filesystem::remove_all(vexmora::paths::kStateDir);
    HourRecord record{};
    EXPECT_EQ(addAppTraffic("p", 1, 1), 1);
    EXPECT_EQ(saveHourData("2026-01-01 10:00", kFirst), 1);
    EXPECT_EQ(loadHourData("2026-01-01 10:00", record), -1);
    purgeOldRows("app_data", 1);
    EXPECT_FALSE(std::filesystem::exists(vexmora::paths::kStateDir));
}

TEST_F(StoreWrite, AWriteWaitsOutAMomentaryLock)
{
    ASSERT_EQ(saveHourData("2026-01-01 10:00", kFirst), 0);
    exec("BEGIN EXCLUSIVE");
    std::thread release([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        exec("COMMIT");
    });
    const int result = saveHourData("2026-01-01 10:00", kSecond);
    release.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rows("SELECT mins FROM hour_data"), "45\n");
}

std::string baselinesOf(const MeterState &state)
{
    std::string text;
    for (const InterfaceBaseline &b : state.baselines)
        text += b.interface + '|' + std::to_string(b.ifindex) + '|' + b.bootId + '|' +
                std::to_string(b.recv) + '|' + std::to_string(b.sent) + '|' +
                std::to_string(b.elapsedMs) + '\n';
    for (const HourMinutes &m : state.minutes)
        text += m.hour + '=' + std::to_string(m.covered) + '\n';
    if (state.carry.utcDay >= 0)
        text += "carry " + std::to_string(state.carry.utcDay) + '|' +
                std::to_string(state.carry.recv) + '|' + std::to_string(state.carry.sent) + '\n';
    return text;
}

std::string loaded(MeterStore &store)
{
    MeterState state;
    EXPECT_EQ(store.loadState(state), StateResult::Read);
    return baselinesOf(state);
}

TEST_F(StoreWrite, TheMeterStateIsWrittenWithItsRowsOrNotAtAll)
{
    MeterStore store;
    const std::vector<InterfaceBaseline> baselines = {{"eth0", 2, "boot-a", 1000, 2000, 123456},
                                                      {"wlan0", 3, "boot-a", 5, 6, 123457}};
    // Each increment goes to the row of its own UTC day (20454: 2026-01-01).
    const AppWrite apps{
        {{"mail", 100, 10, 20454}, {"(unattributed)", 30, 5, 20454}, {"mail", 1, 2, 20453}},
        {20454, 7, 8}};
    ASSERT_EQ(store.save({{"2026-01-01 10:00", kFirst, 0b11}, {"2026-01-01 11:00", kSecond, 0b1}},
                         apps, baselines),
              StoreResult::Done);
    const std::string hours = "2026-01-01 10:00|60|1000|0\n2026-01-01 11:00|45|-5|0\n";
    const std::string state = "eth0|2|boot-a|1000|2000|123456\nwlan0|3|boot-a|5|6|123457\n"
                              "2026-01-01 10:00=3\n2026-01-01 11:00=1\ncarry 20454|7|8\n";
    const char *hourRows = "SELECT time, mins, recv, report_status FROM hour_data ORDER BY time";
    const char *appRows = "SELECT pkgname, recv, sent, total, time FROM app_data ORDER BY time, "
                          "pkgname";
    const std::string appsOnce = "mail|1|2|3|2025-12-31\n(unattributed)|30|5|35|2026-01-01\n"
                                 "mail|100|10|110|2026-01-01\n";
    EXPECT_EQ(rows(hourRows), hours);
    EXPECT_EQ(rows(appRows), appsOnce);
    EXPECT_EQ(loaded(store), state);

    // A write that fails half-way leaves neither rows without their counters
    // nor counters without their rows, and says so; retried, it adds the
    // increments once.
    exec("CREATE TRIGGER refuse BEFORE INSERT ON meter_baseline BEGIN SELECT RAISE(ABORT, "
         "'refused'); END");
    exec("UPDATE hour_data SET report_status = 1");
    EXPECT_EQ(store.save({{"2026-01-01 11:00", kFirst, 0b111}}, apps, baselines),
              StoreResult::Failed);
    EXPECT_EQ(rows(hourRows), "2026-01-01 10:00|60|1000|1\n2026-01-01 11:00|45|-5|1\n");
    EXPECT_EQ(rows(appRows), appsOnce);
    EXPECT_EQ(loaded(store), state);

    // A later hour's write drops the minutes of earlier hours; the baselines
    // are replaced, by none at all when counting stops, and so is the carry.
    exec("DROP TRIGGER refuse");
    ASSERT_EQ(store.save({{"2026-01-01 11:00", kFirst, 0b111}}, {apps.increments, {}}, {}),
              StoreResult::Done);
    EXPECT_EQ(rows(appRows), "mail|2|4|6|2025-12-31\n(unattributed)|60|10|70|2026-01-01\n"
                             "mail|200|20|220|2026-01-01\n");
    EXPECT_EQ(loaded(store), "2026-01-01 11:00=7\n");
    ASSERT_EQ(store.save({}, {}, baselines), StoreResult::Done);
    EXPECT_EQ(loaded(store), "eth0|2|boot-a|1000|2000|123456\nwlan0|3|boot-a|5|6|123457\n"
                             "2026-01-01 11:00=7\n");
}

TEST_F(StoreWrite, TheMeterStateTellsAForeignTableAndLeavesOutMistypedEntries)
{
    MeterStore store;
    MeterState state;
    EXPECT_EQ(store.loadState(state), StateResult::Read) << "no tables yet";
    exec("DROP TABLE meter_minutes;"
         "CREATE TABLE meter_minutes (hour TEXT, covered BIGINT NOT NULL, note TEXT NOT NULL)");
    EXPECT_EQ(store.loadState(state), StateResult::OtherTables);
    ASSERT_EQ(store.replaceMeterTables(), StoreResult::Done);
    ASSERT_EQ(store.save({{"2026-01-01 10:00", kFirst, 1}}, {},
                         {{"eth0", 2, "boot-a", 10, 20, 30}, {"eth1", 4, "b", 1, 2, 3}}),
              StoreResult::Done);
    exec("UPDATE meter_baseline SET recv = 'lots' WHERE interface = 'eth1';"
         "UPDATE meter_minutes SET covered = 1.5");
    EXPECT_EQ(store.loadState(state), StateResult::Read);
    EXPECT_EQ(baselinesOf(state), "eth0|2|boot-a|10|20|30\n");
    EXPECT_EQ(state.mistyped, 2);
}

// The meter's one connection outlives what others do to the file: a table
// dropped under it fails one write and is made again for the next, and a
// database removed or replaced is opened anew.
TEST_F(StoreWrite, TheMeterStoreOpensAgainWhatWasDroppedOrReplaced)
{
    MeterStore store;
    const AppWrite apps{{{"mail", 5, 6, 20454}}, {}};
    ASSERT_EQ(store.save({{"2026-01-01 10:00", kFirst, 1}}, apps, {}), StoreResult::Done);
    exec("DROP TABLE app_data");
    EXPECT_EQ(store.save({}, apps, {}), StoreResult::Failed);
    EXPECT_EQ(store.save({}, apps, {}), StoreResult::Done);
    EXPECT_EQ(rows("SELECT pkgname, recv FROM app_data"), "mail|5\n");

    ASSERT_EQ(std::rename(vexmora::paths::kDatabaseFile,
                          (std::string(vexmora::paths::kDatabaseFile) + ".old").c_str()),
              0);
    ASSERT_EQ(store.save({{"2026-01-01 11:00", kFirst, 1}}, apps, {}), StoreResult::Done);
    sqlite3_close(db_);
    ASSERT_EQ(sqlite3_open(vexmora::paths::kDatabaseFile, &db_), SQLITE_OK);
    EXPECT_EQ(rows("SELECT time FROM hour_data"), "2026-01-01 11:00\n");
    HourRecord record{};
    ASSERT_EQ(store.loadHour("2026-01-01 11:00", record), StoreResult::Done);
    EXPECT_EQ(record.recv, kFirst.recv);
}

} // namespace
