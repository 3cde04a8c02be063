#include "traffic_store.h"

#include "app_statement.h"
#include "hour_statement.h"
#include "schema.h"
#include "sqlite_handles.h"

#include <cstdio>
#include <cstring>

namespace vexmora::store {

namespace {

constexpr char kPurgeOldRows[] = "DELETE FROM %s WHERE time<=DATE('now', '-%d days', 'localtime');";

// The tables that purgeOldRows may name; a caller's text never reaches the SQL.
constexpr const char *kPurgeableTables[] = {"app_data", "hour_data"};

// Opens the database for a write and makes sure `tableName` exists, writing
// the failure when either does not work out.
bool openForWrite(Database &db, const char *tableName, int (*create)(sqlite3 *))
{
    if (!openDatabase(db)) {
        fprintf(stderr, "无法打开数据库: %s\n", sqlite3_errmsg(db.get()));
        return false;
    }
    return ensureTable(db.get(), tableName, create);
}

// Steps a write statement once; 0 when it is done, 1 (after the message) otherwise.
int runWrite(sqlite3 *db, sqlite3_stmt *statement)
{
    if (sqlite3_step(statement) != SQLITE_DONE) {
        fprintf(stderr, "Execution failed: %s\n", sqlite3_errmsg(db));
        return 1;
    }
    return 0;
}

} // namespace

void bindHourRecord(sqlite3_stmt *statement, const char *hourText, const HourRecord &record)
{
    sqlite3_bind_text(statement, 1, hourText, -1, SQLITE_STATIC);
    sqlite3_bind_int(statement, 2, record.mins);
    sqlite3_bind_int64(statement, 3, record.recv);
    sqlite3_bind_int64(statement, 4, record.sent);
    sqlite3_bind_int(statement, 5, record.recv_peak);
    sqlite3_bind_int(statement, 6, record.sent_peak);
    sqlite3_bind_int(statement, 7, record.total_peak);
}

void readHourRecord(sqlite3_stmt *row, HourRecord &record)
{
    record.mins = sqlite3_column_int(row, 0);
    record.recv = sqlite3_column_int64(row, 1);
    record.sent = sqlite3_column_int64(row, 2);
    record.recv_peak = sqlite3_column_int(row, 3);
    record.sent_peak = sqlite3_column_int(row, 4);
    record.total_peak = sqlite3_column_int(row, 5);
}

void bindAppTraffic(sqlite3_stmt *statement, const char *pkgname, int64_t recv, int64_t sent)
{
    // Wraps instead of overflowing for absurd counts; SQLite stores what it gets.
    const auto total =
        static_cast<int64_t>(static_cast<uint64_t>(recv) + static_cast<uint64_t>(sent));
    sqlite3_bind_text(statement, 1, pkgname, -1, SQLITE_STATIC);
    sqlite3_bind_int64(statement, 2, recv);
    sqlite3_bind_int64(statement, 3, sent);
    sqlite3_bind_int64(statement, 4, total);
}

int addAppTraffic(const char *pkgname, int64_t recv, int64_t sent)
{
    Database db;
    if (!openForWrite(db, "app_data", createAppDataTable)) {
        return 1;
    }
    Statement statement;
    if (!prepareStatement(db.get(), kAddAppTraffic, statement)) {
        return 1;
    }
    bindAppTraffic(statement.get(), pkgname, recv, sent);
    return runWrite(db.get(), statement.get());
}

int saveHourData(const char *hourText, const HourRecord &record)
{
    Database db;
    if (!openForWrite(db, "hour_data", createHourDataTable)) {
        return 1;
    }
    Statement statement;
    if (!prepareStatement(db.get(), kSaveHourData, statement)) {
        return 1;
    }
    bindHourRecord(statement.get(), hourText, record);
    return runWrite(db.get(), statement.get());
}

int loadHourData(const char *hourText, HourRecord &record)
{
    Database db;
    if (!openDatabase(db)) {
        fprintf(stderr, "Cannot open database: %s\n", sqlite3_errmsg(db.get()));
        return -1;
    }
    Statement statement;
    if (!prepareStatement(db.get(), kLoadHourData, statement)) {
        return -1;
    }
    sqlite3_stmt *s = statement.get();
    sqlite3_bind_text(s, 1, hourText, -1, SQLITE_STATIC);
    // The unique key on time allows one row at most; a failed step ends the
    // lookup and leaves the record as it stands.
    while (sqlite3_step(s) == SQLITE_ROW) {
        readHourRecord(s, record);
    }
    return 0;
}

void purgeOldRows(const char *tableName, int days)
{
    const char *table = nullptr;
    for (const char *known : kPurgeableTables) {
        if (tableName != nullptr && std::strcmp(tableName, known) == 0) {
            table = known;
        }
    }
    if (table == nullptr) {
        fprintf(stderr, "Refusing to purge unknown table: %s\n",
                tableName != nullptr ? tableName : "(null)");
        return;
    }

    Database db;
    if (!openDatabase(db)) {
        fprintf(stderr, "无法打开数据库: %s\n", sqlite3_errmsg(db.get()));
        return;
    }
    const SqliteText sql(sqlite3_mprintf(kPurgeOldRows, table, days));
    if (!sql) {
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
        return;
    }
    // A negative count doubles the minus sign; SQLite then yields NULL for the
    // boundary and nothing is deleted.
    char *rawError = nullptr;
    if (sqlite3_exec(db.get(), sql.get(), nullptr, nullptr, &rawError) != SQLITE_OK) {
        const SqliteText error(rawError);
        fprintf(stderr, "SQL error: %s\n", error ? error.get() : sqlite3_errmsg(db.get()));
    }
}

} // namespace vexmora::store
