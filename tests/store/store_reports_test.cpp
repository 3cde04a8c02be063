// The reports built from the scratch database, as the service prints them.
#include "store_test_support.h"
#include "traffic_reports.h"
#include "traffic_store.h"

using namespace vexmora::store;
using namespace storetest;

namespace {

// SQLite's default file system, but once armed the first read of the database
// at or beyond an offset fails, as a bad sector would: a report breaks off in
// the middle of its rows.
namespace readfailure {

sqlite3_vfs *real = sqlite3_vfs_find(nullptr);
sqlite3_vfs vfs = *real;
const sqlite3_io_methods *realMethods = nullptr;
sqlite3_io_methods methods{};
sqlite3_int64 failFrom = -1;

int read(sqlite3_file *file, void *buffer, int amount, sqlite3_int64 offset)
{
    if (failFrom >= 0 && offset >= failFrom) {
        failFrom = -1;
        return SQLITE_IOERR_READ;
    }
    return realMethods->xRead(file, buffer, amount, offset);
}

int open(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    const int rc = real->xOpen(real, name, file, flags, outFlags);
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_MAIN_DB) != 0 && file->pMethods != nullptr) {
        realMethods = file->pMethods;
        methods = *realMethods;
        methods.xRead = read;
        file->pMethods = &methods;
    }
    return rc;
}

void armFrom(sqlite3_int64 offset)
{
    if (vfs.xOpen != open) {
        vfs.zName = "read-failure";
        vfs.xOpen = open;
        sqlite3_vfs_register(&vfs, 1);
    }
    failFrom = offset;
}

} // namespace readfailure

class StoreReports : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_EQ(createAppDataTable(db_) + createHourDataTable(db_), 0);
    }

    void addApp(const std::string &app, const std::string &day, int64_t recv, int64_t sent,
                int64_t total)
    {
        exec("INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES ('" + app + "', " +
             std::to_string(recv) + ", " + std::to_string(sent) + ", " + std::to_string(total) +
             ", '" + day + "')");
    }
    void addHour(const std::string &hour, const std::string &values = "60, 1, 1, 1, 1, 1, 0")
    {
        exec("INSERT INTO hour_data (time, mins, recv, sent, recv_peak, sent_peak, total_peak, "
             "report_status) VALUES ('" +
             hour + "', " + values + ")");
    }
    std::string unreported()
    {
        return rows("SELECT time FROM hour_data WHERE report_status=0 ORDER BY time");
    }
};

// The "time" members of a printed hour report, in the order they appear.
std::string times(const std::string &report)
{
    std::string result;
    const std::string key = "\"time\":\"";
    for (size_t at = report.find(key); at != std::string::npos; at = report.find(key, at + 1)) {
        result += report.substr(at + key.size(), 16) + "\n";
    }
    return result;
}

TEST_F(StoreReports, Top10IsTheTenLargestTotalsOfTheLocalDaysBeforeToday)
{
    addApp("café", localDate(1), 214748365, 107374182, 322122547);
    addApp("应用商店", localDate(7), 0, 0, 0);
    addApp("old", localDate(8), 1000000000, 1073741824, 2073741824);
    addApp("old", localDate(29), 610612736, 0, 610612736);
    addApp("edge", localDate(30), 134217728, 0, 134217728);
    addApp("ancient", localDate(31), 1, 1, 9000000000);
    addApp("today", localDate(0), 1, 1, 9000000000);

    // GiB rounded to hundredths, never 0. 0.1 + 0.2 is a double just above 0.3;
    // cJSON prints it as 0.3.
    const std::string cafe = R"({"app":"café","up":0.1,"down":0.2,"tot":0.3})";
    const std::string store = R"({"app":"应用商店","up":0.01,"down":0.01,"tot":0.02})";
    EXPECT_EQ(printed(queryRecentTop10(7)), "[" + cafe + "," + store + "]");
    EXPECT_EQ(printed(queryRecentTop10(30)),
              R"([{"app":"old","up":1,"down":1.5,"tot":2.5},)" + cafe +
                  R"(,{"app":"edge","up":0.01,"down":0.13,"tot":0.14},)" + store + "]");
    EXPECT_EQ(printed(queryRecentTop10(1)), "[" + cafe + "]");
    EXPECT_EQ(printed(queryRecentTop10(0)), "[]");

    for (int i = 0; i < 10; ++i) {
        addApp("more" + std::to_string(i), localDate(2), 0, 0, 322122548 + i);
    }
    const std::string top = printed(queryRecentTop10(7));
    EXPECT_EQ(top.substr(0, 15), R"([{"app":"more9")");
    EXPECT_EQ(top.find("café"), std::string::npos) << top;
}

TEST_F(StoreReports, HourEntriesConvertTheCountsAndPassThePeaksThrough)
{
    const std::string h1 = localHour(1), h2 = localHour(2);
    addHour(h1, "60, 3686400, 7372800, 7, 5, 12, 1");
    addHour(h2, "0, 1610612736, 7372800, 2147483647, -3, 0, 0");
    addHour(localHour(0));

    const std::string e2 = R"({"time":")" + h2 +
                           R"(","up":0.01,"down":1.5,"tot":1.51,"avg_up":120,"avg_down":26214,)"
                           R"("avg":26334,"pk_up":-3,"pk_down":2147483647,"pk":0)";
    const std::string e1 = R"({"time":")" + h1 +
                           R"(","up":0.01,"down":0.01,"tot":0.02,"avg_up":2,"avg_down":1,"avg":3,)"
                           R"("pk_up":5,"pk_down":7,"pk":12)";
    EXPECT_EQ(printed(queryRecentData(1)), "[" + e2 + R"(,"status":0},)" + e1 + R"(,"status":1}])");
    EXPECT_EQ(printed(queryPendingHours(0)), "[" + e2 + "}]");
    EXPECT_EQ(unreported(), h2 + "\n" + localHour(0) + "\n");
}

TEST_F(StoreReports, WindowsFollowTheLocalDateAndHourAndHoursAreHandedOutOnce)
{
    const std::string h1 = localHour(1), d2 = localDate(2) + " 00:00", d3 = localDate(3) + " 23:00",
                      d40 = localDate(40) + " 05:00";
    for (const std::string &hour : {localHour(-1), localHour(0), h1, d2, d3, d40}) {
        addHour(hour);
    }
    EXPECT_EQ(times(printed(queryRecentData(2))), d2 + "\n" + h1 + "\n");
    const bool previousHourIsToday = h1.compare(0, 10, localDate(0)) == 0;
    EXPECT_EQ(times(printed(queryRecentData(0))), previousHourIsToday ? h1 + "\n" : "");

    // Any age up to the previous hour, oldest first, each once until written again.
    EXPECT_EQ(times(printed(queryPendingHours(1))), d40 + "\n" + d3 + "\n" + d2 + "\n" + h1 + "\n");
    EXPECT_EQ(unreported(), localHour(0) + "\n" + localHour(-1) + "\n");
    EXPECT_EQ(printed(queryPendingHours(1)), "[]");
    ASSERT_EQ(saveHourData(d3.c_str(), HourRecord{60, 1, 1, 1, 1, 1}), 0);
    EXPECT_EQ(times(printed(queryPendingHours(1))), d3 + "\n");
}

TEST_F(StoreReports, AReadThatBreaksOffMarksNoHour)
{
    std::string pending;
    for (int hour = 400; hour >= 1; --hour) {
        addHour(localHour(hour));
        pending += localHour(hour) + "\n";
    }
    readfailure::armFrom(std::filesystem::file_size(vexmora::paths::kDatabaseFile) - 4096);
    const std::string partial = times(printed(queryPendingHours(1)));
    readfailure::armFrom(-1);
    EXPECT_LT(partial.size(), pending.size());
    EXPECT_EQ(unreported(), pending);
    EXPECT_EQ(times(printed(queryPendingHours(1))), pending);
}

TEST_F(StoreReports, TheReportHandsOutHoursOnceAndIsEmptyWithoutADatabase)
{
    addHour(localHour(1), "60, 0, 1073741824, 1, 2, 3, 0");
    addApp("mail", localDate(3), 0, 1073741824, 1073741824);
    const std::string top10 = R"("top10":{"7day":[{"app":"mail","up":1,"down":0.01,"tot":1.01}],)"
                              R"("30day":[{"app":"mail","up":1,"down":0.01,"tot":1.01}]}})";
    auto report = [] {
        char *text = buildReportData();
        std::string result = text != nullptr ? text : "<null>";
        cJSON_free(text);
        return result;
    };
    EXPECT_EQ(report(), R"({"hour":[{"time":")" + localHour(1) +
                            R"(","up":1,"down":0.01,"tot":1.01,"avg_up":291,"avg_down":0,)"
                            R"("avg":291,"pk_up":2,"pk_down":1,"pk":3}],)" +
                            top10);
    EXPECT_EQ(report(), R"({"hour":[],)" + top10);

    const std::string empty = R"({"hour":[],"top10":{"7day":[],"30day":[]}})";
    sqlite3_close(db_);
    db_ = nullptr;
    std::filesystem::remove(vexmora::paths::kDatabaseFile);
    EXPECT_EQ(report(), empty);
    std::filesystem::remove_all(vexmora::paths::kStateDir);
    EXPECT_EQ(report(), empty);
    EXPECT_FALSE(std::filesystem::exists(vexmora::paths::kStateDir));
}

} // namespace
