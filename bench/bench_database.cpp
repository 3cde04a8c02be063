#include "bench_database.h"

#include "traffic_store.h"
#include "vexmora_paths.h"

#include <QDir>
#include <QFile>
#include <ctime>
#include <random>
#include <sqlite3.h>
#include <stdexcept>
#include <string>

using namespace vexmora::store;

namespace bench {
namespace {

constexpr char kInsertApp[] =
    "INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES (?, ?, ?, ?, ?);";
constexpr char kInsertHour[] =
    "INSERT OR IGNORE INTO hour_data (time, mins, recv, sent, recv_peak, sent_peak, total_peak, "
    "report_status) VALUES (?, 60, ?, ?, ?, ?, ?, 1);";
constexpr int64_t kGiB = 1024LL * 1024 * 1024;

void check(sqlite3 *db, int rc, const char *what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE) {
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
    }
}

// The database connection of the builder, closed on every path.
class Connection
{
public:
    Connection() { check(db_, sqlite3_open(vexmora::paths::kDatabaseFile, &db_), "open"); }
    ~Connection() { sqlite3_close(db_); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    sqlite3 *get() const { return db_; }
    void exec(const char *sql)
    {
        check(db_, sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql);
    }
    sqlite3_stmt *prepare(const char *sql)
    {
        sqlite3_stmt *statement = nullptr;
        check(db_, sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr), sql);
        return statement;
    }

private:
    sqlite3 *db_ = nullptr;
};

std::string formatTime(time_t when, bool local, const char *format)
{
    struct tm broken = {};
    if (local) {
        localtime_r(&when, &broken);
    } else {
        gmtime_r(&when, &broken);
    }
    char text[32];
    strftime(text, sizeof text, format, &broken);
    return text;
}

int insertApps(Connection &db, const DatasetShape &shape, std::mt19937_64 &random)
{
    sqlite3_stmt *insert = db.prepare(kInsertApp);
    std::uniform_int_distribution<int64_t> bytes(0, 2 * kGiB);
    const time_t now = time(nullptr);
    int rows = 0;
    for (int day = 1; day <= shape.days; ++day) {
        const std::string date = formatTime(now - day * 86400, false, "%Y-%m-%d");
        for (int app = 0; app < shape.apps; ++app) {
            const std::string name = "org.vexbench.app" + std::to_string(app);
            const int64_t recv = bytes(random);
            const int64_t sent = bytes(random) / 4;
            sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 2, recv);
            sqlite3_bind_int64(insert, 3, sent);
            sqlite3_bind_int64(insert, 4, recv + sent);
            sqlite3_bind_text(insert, 5, date.c_str(), -1, SQLITE_TRANSIENT);
            check(db.get(), sqlite3_step(insert), "insert app_data");
            sqlite3_reset(insert);
            ++rows;
        }
    }
    sqlite3_finalize(insert);
    return rows;
}

int insertHours(Connection &db, const DatasetShape &shape, std::mt19937_64 &random)
{
    sqlite3_stmt *insert = db.prepare(kInsertHour);
    std::uniform_int_distribution<int64_t> bytes(0, 4 * kGiB);
    std::uniform_int_distribution<int> peak(0, 100000);
    const time_t now = time(nullptr);
    int rows = 0;
    for (int back = shape.hours; back >= 1; --back) {
        const std::string hour = formatTime(now - back * 3600, true, "%Y-%m-%d %H:00");
        const int recvPeak = peak(random);
        const int sentPeak = peak(random);
        sqlite3_bind_text(insert, 1, hour.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 2, bytes(random));
        sqlite3_bind_int64(insert, 3, bytes(random) / 4);
        sqlite3_bind_int(insert, 4, recvPeak);
        sqlite3_bind_int(insert, 5, sentPeak);
        sqlite3_bind_int(insert, 6, recvPeak + sentPeak);
        check(db.get(), sqlite3_step(insert), "insert hour_data");
        rows += sqlite3_changes(db.get());
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    return rows;
}

void writeStateFile(const char *path, const QByteArray &content)
{
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) < 0) {
        throw std::runtime_error(std::string("cannot write ") + path);
    }
}

} // namespace

DatasetCounts buildDatabase(const DatasetShape &shape)
{
    QDir().mkpath(QString::fromUtf8(vexmora::paths::kStateDir));
    QFile::remove(QString::fromUtf8(vexmora::paths::kDatabaseFile));
    Connection db;
    if (createAppDataTable(db.get()) != 0 || createHourDataTable(db.get()) != 0) {
        throw std::runtime_error("cannot create the tables");
    }
    std::mt19937_64 random(20240601);
    db.exec("BEGIN;");
    const DatasetCounts counts{insertApps(db, shape, random), insertHours(db, shape, random)};
    db.exec("COMMIT;");
    return counts;
}

int markAllHoursPending()
{
    Connection db;
    db.exec("UPDATE hour_data SET report_status=0;");
    return sqlite3_changes(db.get());
}

void writeSettingsFile()
{
    writeStateFile(vexmora::paths::kSettingsFile, "[Ostvane]\n"
                                                  "NETFLOW_COUNT_STATUS=1\n"
                                                  "NETFLOW_ALARM_STATUS=1\n"
                                                  "NETFLOW_EGRESS_ALARM_STATUS=0\n"
                                                  "NETFLOW_INGRESS_ALARM_STATUS=1\n"
                                                  "NETFLOW_ALARM_SIZE=2048\n"
                                                  "NETFLOW_EGRESS_ALARM_SIZE=1024\n"
                                                  "NETFLOW_INGRESS_ALARM_SIZE=4096\n"
                                                  "NETFLOW_ALARM_PERIOD=30\n"
                                                  "NETFLOW_ALARM_TIMESTAMP=1780000000\n"
                                                  "LogLevel=3\n");
}

QByteArray writeSnapshots(int bytes)
{
    QByteArray text = "[";
    for (int i = 0; text.size() < bytes - 1; ++i) {
        text += (i == 0 ? "" : ",") + QByteArray("{\"pkgname\":\"org.vexbench.app") +
                QByteArray::number(i) + "\",\"recv\":" + QByteArray::number(1000 + i * 7919) +
                ",\"sent\":" + QByteArray::number(300 + i * 104729) + "}";
    }
    text += "]";
    writeStateFile(vexmora::paths::kAppInfoFile, text);
    writeStateFile(vexmora::paths::kProcessInfoFile, text);
    return text;
}

} // namespace bench
