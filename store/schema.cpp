#include "schema.h"

#include "sqlite_handles.h"
#include "traffic_store.h"

#include <cstdio>
#include <cstring>

namespace vexmora::store {

namespace {

// The schema as the measuring side and every reader of the file expect it;
// changing a character changes what SQLite stores in sqlite_master.
constexpr char kCreateAppData[] =
    "CREATE TABLE IF NOT EXISTS app_data ( id INTEGER PRIMARY KEY, pkgname TEXT NOT NULL, recv "
    "BIGINT NOT NULL, sent BIGINT NOT NULL, total BIGINT NOT NULL, time DATE NOT NULL DEFAULT "
    "(date('now')), UNIQUE (pkgname, time));";
constexpr char kCreateHourData[] =
    "CREATE TABLE IF NOT EXISTS hour_data ( id INTEGER PRIMARY KEY, time TEXT NOT NULL, mins "
    "INTEGER NOT NULL, recv BIGINT NOT NULL, sent BIGINT NOT NULL, recv_peak INTEGER NOT NULL, "
    "sent_peak INTEGER NOT NULL, total_peak INTEGER NOT NULL, report_status INTEGER NOT NULL "
    "DEFAULT 0, UNIQUE (time));";

// The meter's own tables, which no report reads. sqlite_master keeps these
// statements as they stand, which tells a table of the meter's from another
// one of the same name.
constexpr char kCreateMeterBaseline[] =
    "CREATE TABLE meter_baseline ( interface TEXT NOT NULL PRIMARY KEY, ifindex INTEGER NOT NULL, "
    "boot_id TEXT NOT NULL, recv BIGINT NOT NULL, sent BIGINT NOT NULL, elapsed_ms BIGINT NOT NULL "
    ")";
constexpr char kCreateMeterMinutes[] =
    "CREATE TABLE meter_minutes ( hour TEXT NOT NULL PRIMARY KEY, covered BIGINT NOT NULL )";
constexpr char kCreateMeterAppCarry[] = "CREATE TABLE meter_app_carry ( day INTEGER NOT NULL "
                                        "PRIMARY KEY, recv BIGINT NOT NULL, sent BIGINT NOT NULL )";
struct MeterTable
{
    const char *name;
    const char *create;
};
constexpr MeterTable kMeterTables[] = {{"meter_baseline", kCreateMeterBaseline},
                                       {"meter_minutes", kCreateMeterMinutes},
                                       {"meter_app_carry", kCreateMeterAppCarry}};
constexpr char kTableStatement[] = "SELECT sql FROM sqlite_master WHERE type='table' AND name=?;";

int createTable(sqlite3 *db, const char *sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fprintf(stderr, "SQL error: %s\n", sqlite3_errmsg(db));
        return 1;
    }
    return 0;
}

} // namespace

int tableExists(sqlite3 *db, const char *tableName)
{
    // Only the store's own literal table names come here.
    char sql[256];
    snprintf(sql, sizeof sql, "SELECT name FROM sqlite_master WHERE type='table' AND name='%s';",
             tableName);

    char *rawError = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &rawError) != SQLITE_OK) {
        const SqliteText error(rawError);
        fprintf(stderr, "SQL error: %s\n", error ? error.get() : sqlite3_errmsg(db));
        return -1;
    }

    Statement statement;
    if (!prepareStatement(db, sql, statement)) {
        return -1;
    }
    return sqlite3_step(statement.get()) == SQLITE_ROW ? 1 : 0;
}

int createAppDataTable(sqlite3 *db)
{
    return createTable(db, kCreateAppData);
}

int createHourDataTable(sqlite3 *db)
{
    return createTable(db, kCreateHourData);
}

int createMeterBaselineTable(sqlite3 *db)
{
    return createTable(db, kCreateMeterBaseline);
}

int createMeterMinutesTable(sqlite3 *db)
{
    return createTable(db, kCreateMeterMinutes);
}

int createMeterAppCarryTable(sqlite3 *db)
{
    return createTable(db, kCreateMeterAppCarry);
}

int meterTableFits(sqlite3 *db, const char *tableName)
{
    Statement statement;
    if (!prepareStatement(db, kTableStatement, statement)) {
        return -1;
    }
    sqlite3_bind_text(statement.get(), 1, tableName, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_DONE) {
        return 1;
    }
    if (rc != SQLITE_ROW) {
        fprintf(stderr, "Cannot read the schema: %s\n", sqlite3_errmsg(db));
        return -1;
    }
    const auto *sql = reinterpret_cast<const char *>(sqlite3_column_text(statement.get(), 0));
    for (const MeterTable &table : kMeterTables) {
        if (std::strcmp(tableName, table.name) == 0) {
            return sql != nullptr && std::strcmp(sql, table.create) == 0 ? 1 : 0;
        }
    }
    return 0;
}

bool ensureTable(sqlite3 *db, const char *tableName, int (*create)(sqlite3 *))
{
    const int exists = tableExists(db, tableName);
    if (exists == -1) {
        fprintf(stderr, "Failed to check if table eixsts.\n");
        return false;
    }
    if (exists == 0 && create(db) != 0) {
        fprintf(stderr, "Failed to create table.\n");
        return false;
    }
    return true;
}

} // namespace vexmora::store
