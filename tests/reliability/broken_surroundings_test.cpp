// The service in broken surroundings: a missing state directory, a full or
// read-only disk, a damaged or locked database, hostile snapshot paths. Every
// call answers at once and truthfully, and the service lives on.
#include "reliability_fixture.h"
#include "traffic_reports.h"
#include "traffic_store.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace testsupport;
using namespace vexmora::store;

namespace {

const QVariant kEmptyReport = QStringLiteral(R"({"hour":[],"top10":{"7day":[],"30day":[]}})");
const QVariant kEmptyArray = QStringLiteral("[]");

int handedOutHours(const QVariant &report)
{
    return QJsonDocument::fromJson(report.toString().toUtf8())[QStringLiteral("hour")]
        .toArray()
        .size();
}

void seedHours(int count)
{
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(saveHourData(hourTextBefore(2 + i), HourRecord{60, 1 << 20, 1 << 21, 1, 2, 3}),
                  0);
    }
}

class BrokenSurroundings : public NamespacedServiceTest
{
protected:
    void TearDown() override
    {
        EXPECT_TRUE(IsSkipped() || service_.isRunning());
        NamespacedServiceTest::TearDown();
    }
    static void fillTheDisk()
    {
        QFile filler(statePath(QStringLiteral("filler")));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(1024, 'x')) > 0 && filler.flush()) {
        }
    }
};

TEST_F(BrokenSurroundings, WithoutTheStateDirectoryAllIsEmptyUntilASetterMakesIt)
{
    ASSERT_TRUE(QDir(stateDir()).removeRecursively());
    EXPECT_EQ(answer("getNetmonitorAlarmStatus"), QVariant(0));
    EXPECT_EQ(answer("getEgressThreshold"), QVariant(QStringLiteral(R"({"period":0,"size":0})")));
    EXPECT_EQ(answer("getAllAppNetflow"), kEmptyArray);
    EXPECT_EQ(answer("getRecentTop10", {7}), kEmptyArray);
    EXPECT_EQ(answer("getRecentData", {7}), kEmptyArray);
    EXPECT_EQ(answer("getReportData"), kEmptyReport);
    EXPECT_EQ(answer("setNetmonitorAlarmStatus", {1}), QVariant(0));
    EXPECT_EQ(answer("getNetmonitorAlarmStatus"), QVariant(1));
}

TEST_F(BrokenSurroundings, OnAFullOrReadOnlyDiskSettersFailAndGettersShowTheFile)
{
    ASSERT_TRUE(mountTmpfs(QStringLiteral("size=16k")));
    EXPECT_EQ(answer("setIngressThreshold", {10, 20}), QVariant(0));
    fillTheDisk();
    EXPECT_EQ(answer("setIngressThreshold", {30, 40}), QVariant(-1));
    EXPECT_EQ(answer("getIngressThreshold"),
              QVariant(QStringLiteral(R"({"period":20,"size":10})")));
    EXPECT_EQ(answer("setEgressAlarmStatus", {1}), QVariant(-1));
    EXPECT_EQ(answer("getEgressAlarmStatus"), QVariant(0));

    ASSERT_TRUE(QFile::remove(statePath(QStringLiteral("filler"))));
    ASSERT_TRUE(run("mount", {QStringLiteral("-o"), QStringLiteral("remount,ro"), stateDir()}));
    EXPECT_EQ(answer("setNetmonitorStatus", {1}), QVariant(-1));
    EXPECT_EQ(answer("getNetmonitorStatus"), QVariant(0));
    EXPECT_EQ(answer("getReportData"), kEmptyReport);
}

TEST_F(BrokenSurroundings, ADamagedDatabaseGivesEmptyOrPartialReports)
{
    writeStateFile(QStringLiteral("netflow.db"), QByteArray(64 * 1024, '\x5a'));
    EXPECT_EQ(answer("getReportData"), kEmptyReport);
    EXPECT_EQ(answer("getRecentData", {30}), kEmptyArray);

    QFile::remove(statePath(QStringLiteral("netflow.db")));
    seedHours(300);
    QFile database(statePath(QStringLiteral("netflow.db")));
    ASSERT_TRUE(database.resize(database.size() / 2));
    const QString report = answer("getReportData").toString();
    EXPECT_TRUE(QJsonDocument::fromJson(report.toUtf8()).isObject()) << report.toStdString();
}

TEST_F(BrokenSurroundings, ADatabaseLockedLongerThanTheBusyTimeoutHandsOutNothing)
{
    seedHours(48);
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(qPrintable(statePath(QStringLiteral("netflow.db"))), &holder),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(answer("getReportData"), kEmptyReport);
    EXPECT_EQ(answer("getRecentTop10", {7}), kEmptyArray);
    sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_EQ(handedOutHours(answer("getReportData")), 48);
    EXPECT_EQ(handedOutHours(answer("getReportData")), 0);
}

TEST_F(BrokenSurroundings, SnapshotsThatCannotTravelAsAReplyAreAnsweredWithAnEmptyArray)
{
    const QString app = statePath(QStringLiteral("app_info"));
    ASSERT_EQ(::mkfifo(qPrintable(app), 0644), 0); // must not stall the service
    EXPECT_EQ(answer("getAllAppNetflow"), kEmptyArray);
    QFile::remove(app);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), app)); // endless: read no further
    EXPECT_EQ(answer("getAllAppNetflow"), kEmptyArray);
    writeStateFile(QStringLiteral("process_info"), QByteArray("[1,\0]", 5)); // cut at the NUL
    EXPECT_EQ(answer("getAllProcessNetflow"), kEmptyArray);

    // The largest snapshot served still travels in one reply; one byte more does not.
    const int limit = 16 * 1024 * 1024;
    QByteArray largest(limit, ' ');
    largest[0] = '[';
    largest[limit - 1] = ']';
    writeStateFile(QStringLiteral("process_info"), largest);
    EXPECT_EQ(answer("getAllProcessNetflow").toString().size(), limit);
    writeStateFile(QStringLiteral("process_info"), largest + ' ');
    EXPECT_EQ(answer("getAllProcessNetflow"), kEmptyArray);
}

} // namespace
