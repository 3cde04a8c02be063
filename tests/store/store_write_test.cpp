#include "store_test_support.h"
#include "traffic_store.h"

#include <cstdio>
#include <tuple>

using namespace vexmora::store;

using namespace storetest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

using StoreWrite = StoreTest;

constexpr HourRecord kFirst{60, 1000, 2000, 10, 20, 30};
constexpr HourRecord kSecond{45, -5, 9000000000, 2147483647, -1, 7};

TEST_F(StoreWrite, EachTableIsCreatedByItsFirstWriteWithTheExactSchema)
{
    const std::string schema = "SELECT sql FROM sqlite_master WHERE type='table' AND name=";
    ASSERT_EQ(addAppTraffic("org.example.mail", 1, 2), 0);
    EXPECT_EQ(rows(schema + "'app_data'"),
              "CREATE TABLE app_data ( id INTEGER PRIMARY KEY, pkgname TEXT NOT NULL, recv BIGINT "
              "NOT NULL, sent BIGINT NOT NULL, total BIGINT NOT NULL, time DATE NOT NULL DEFAULT "
              "(date('now')), UNIQUE (pkgname, time))\n");
    EXPECT_EQ(rows(schema + "'hour_data'"), "");

    ASSERT_EQ(saveHourData("2026-01-01 10:00", kFirst), 0);
    EXPECT_EQ(rows(schema + "'hour_data'"),
              "CREATE TABLE hour_data ( id INTEGER PRIMARY KEY, time TEXT NOT NULL, mins INTEGER "
              "NOT NULL, recv BIGINT NOT NULL, sent BIGINT NOT NULL, recv_peak INTEGER NOT NULL, "
              "sent_peak INTEGER NOT NULL, total_peak INTEGER NOT NULL, report_status INTEGER NOT "
              "NULL DEFAULT 0, UNIQUE (time))\n");
    EXPECT_EQ(tableExists(db_, "hour_data"), 1);
    EXPECT_EQ(tableExists(db_, "no_such_table"), 0);
}

TEST_F(StoreWrite, AppTrafficAddsUpWithinTheUtcDayAndSplitsAcrossDays)
{
    const std::string yesterday = utcDate(1), today = utcDate(0);
    ASSERT_EQ(addAppTraffic("org.example.mail", 100, 200), 0);
    exec("INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES ('org.example.mail', 7, "
         "8, 15, '" +
         yesterday + "')");
    ASSERT_EQ(addAppTraffic("org.example.mail", 5000000000, 1), 0);
    ASSERT_EQ(addAppTraffic("org.example.web", 3, 4), 0);

    EXPECT_EQ(rows("SELECT pkgname, time, recv, sent, total FROM app_data ORDER BY pkgname, time"),
              "org.example.mail|" + yesterday + "|7|8|15\n" + "org.example.mail|" + today +
                  "|5000000100|201|5000000301\n" + "org.example.web|" + today + "|3|4|7\n");
}

TEST_F(StoreWrite, RewrittenHourTakesTheNewValuesAndIsUnreportedAgain)
{
    ASSERT_EQ(saveHourData("2026-01-01 10:00", kFirst), 0);
    exec("UPDATE hour_data SET report_status=1");
    ASSERT_EQ(saveHourData("2026-01-01 10:00", kSecond), 0);
    EXPECT_EQ(rows("SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, report_status "
                   "FROM hour_data"),
              "2026-01-01 10:00|45|-5|9000000000|2147483647|-1|7|0\n");

    HourRecord loaded{};
    ASSERT_EQ(loadHourData("2026-01-01 10:00", loaded), 0);
    EXPECT_EQ(std::tie(loaded.mins, loaded.recv, loaded.sent, loaded.recv_peak, loaded.sent_peak,
                       loaded.total_peak),
              std::tie(kSecond.mins, kSecond.recv, kSecond.sent, kSecond.recv_peak,
                       kSecond.sent_peak, kSecond.total_peak));

    // An absent hour, or a text that would rewrite the query if it were
    // pasted into it, finds nothing and leaves the record alone.
    for (const char *hour : {"2026-01-01 11:00", "x' OR '1'='1"}) {
        HourRecord untouched = kFirst;
        EXPECT_EQ(loadHourData(hour, untouched), 0) << hour;
        EXPECT_EQ(untouched.sent, kFirst.sent) << hour;
        EXPECT_EQ(untouched.mins, kFirst.mins) << hour;
    }
}

TEST_F(StoreWrite, PurgeKeepsTheDaysCountedInLocalTime)
{
    struct Case
    {
        int days;
        std::string appDataLeft;
        std::string hourDataLeft;
    };
    const std::string d0 = localDate(0), d1 = localDate(1), d2 = localDate(2), d3 = localDate(3);
    const Case cases[] = {
        // app_data loses the boundary date itself; hour_data keeps its hours.
        {2, d1 + "\n" + d0 + "\n", d2 + " 00:00\n" + d1 + " 23:00\n" + d0 + " 00:00\n"},
        {0, "", d0 + " 00:00\n"},
        {-1, d3 + "\n" + d2 + "\n" + d1 + "\n" + d0 + "\n",
         d3 + " 23:00\n" + d2 + " 00:00\n" + d1 + " 23:00\n" + d0 + " 00:00\n"},
    };
    ASSERT_EQ(createAppDataTable(db_), 0);
    ASSERT_EQ(createHourDataTable(db_), 0);
    for (const Case &c : cases) {
        exec("DELETE FROM app_data; DELETE FROM hour_data;");
        for (const std::string &day : {d0, d1, d2, d3}) {
            exec("INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES ('p', 1, 1, 2, '" +
                 day + "')");
        }
        for (const std::string &hour :
             {d0 + " 00:00", d1 + " 23:00", d2 + " 00:00", d3 + " 23:00"}) {
            exec("INSERT INTO hour_data (time, mins, recv, sent, recv_peak, sent_peak, total_peak) "
                 "VALUES ('" +
                 hour + "', 60, 1, 1, 1, 1, 1)");
        }
        CaptureStderr();
        purgeOldRows("app_data", c.days);
        purgeOldRows("hour_data", c.days);
        EXPECT_EQ(GetCapturedStderr(), "") << c.days;
        EXPECT_EQ(rows("SELECT time FROM app_data ORDER BY time"), c.appDataLeft) << c.days;
        EXPECT_EQ(rows("SELECT time FROM hour_data ORDER BY time"), c.hourDataLeft) << c.days;
    }

    CaptureStderr();
    purgeOldRows("hour_data WHERE 1=1; --", 0);
    EXPECT_EQ(GetCapturedStderr(), "Refusing to purge unknown table: hour_data WHERE 1=1; --\n");
    EXPECT_EQ(rows("SELECT count(*) FROM hour_data"), "4\n");
}

TEST_F(StoreWrite, FailuresAnswerWithTheirCodeAndMessage)
{
    // A write that meets the column constraints.
    CaptureStderr();
    EXPECT_EQ(addAppTraffic(nullptr, 1, 1), 1);
    EXPECT_EQ(GetCapturedStderr(),
              "Execution failed: NOT NULL constraint failed: app_data.pkgname\n");

    // A file that is not a database.
    sqlite3_close(db_);
    db_ = nullptr;
    FILE *junk = fopen(vexmora::paths::kDatabaseFile, "w");
    ASSERT_NE(junk, nullptr);
    fputs(std::string(4096, 'x').c_str(), junk);
    fclose(junk);
    CaptureStderr();
    EXPECT_EQ(saveHourData("2026-01-01 10:00", kFirst), 1);
    EXPECT_EQ(GetCapturedStderr(),
              "SQL error: file is not a database\nFailed to check if table eixsts.\n");

    // No state directory: the store reports it and does not create it.
    unlink(vexmora::paths::kDatabaseFile);
    std::filesystem::remove_all(vexmora::paths::kStateDir);
    HourRecord record{};
    CaptureStderr();
    EXPECT_EQ(addAppTraffic("p", 1, 1), 1);
    EXPECT_EQ(saveHourData("2026-01-01 10:00", kFirst), 1);
    EXPECT_EQ(loadHourData("2026-01-01 10:00", record), -1);
    purgeOldRows("app_data", 1);
    const std::string cannotOpen = "无法打开数据库: unable to open database file\n";
    EXPECT_EQ(GetCapturedStderr(), cannotOpen + cannotOpen +
                                       "Cannot open database: unable to open database file\n" +
                                       cannotOpen);
    EXPECT_NE(access(vexmora::paths::kStateDir, F_OK), 0);
}

TEST_F(StoreWrite, WriteWaitsOutAMomentaryLock)
{
    ASSERT_EQ(saveHourData("2026-01-01 10:00", kFirst), 0);
    exec("BEGIN EXCLUSIVE");
    std::thread release([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        exec("COMMIT");
    });
    CaptureStderr();
    const int result = saveHourData("2026-01-01 10:00", kSecond);
    release.join();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rows("SELECT mins FROM hour_data"), "45\n");
}

} // namespace
