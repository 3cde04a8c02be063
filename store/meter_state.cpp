#include "meter_state.h"

#include "hour_statement.h"
#include "schema.h"
#include "sqlite_handles.h"

#include <algorithm>
#include <cstdio>

namespace vexmora::store {

namespace {

constexpr char kDropEarlierMinutes[] = "DELETE FROM meter_minutes WHERE hour < ?;";
constexpr char kSaveMinutes[] = "INSERT INTO meter_minutes (hour, covered) VALUES (?, ?) ON "
                                "CONFLICT(hour) DO UPDATE SET covered = excluded.covered;";
constexpr char kClearBaselines[] = "DELETE FROM meter_baseline;";
constexpr char kInsertBaseline[] = "INSERT INTO meter_baseline (interface, ifindex, boot_id, recv, "
                                   "sent, elapsed_ms) VALUES (?, ?, ?, ?, ?, ?);";
constexpr char kSelectBaselines[] =
    "SELECT interface, ifindex, boot_id, recv, sent, elapsed_ms FROM meter_baseline;";
constexpr char kSelectMinutes[] = "SELECT hour, covered FROM meter_minutes;";
constexpr char kDropMeterTables[] =
    "DROP TABLE IF EXISTS meter_baseline; DROP TABLE IF EXISTS meter_minutes;";

// A transaction on one connection, rolled back unless it was committed.
class Transaction
{
public:
    explicit Transaction(sqlite3 *db) : db_(db) {}
    ~Transaction()
    {
        if (open_) {
            sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    // "BEGIN IMMEDIATE;" for a write: the lock is taken before the first
    // statement, so that the busy time-out covers the whole transaction.
    bool begin(const char *sql)
    {
        open_ = run(sql);
        return open_;
    }
    bool commit()
    {
        if (!run("COMMIT;")) {
            return false;
        }
        open_ = false;
        return true;
    }

private:
    bool run(const char *sql)
    {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            fprintf(stderr, "Transaction failed: %s\n", sqlite3_errmsg(db_));
            return false;
        }
        return true;
    }

    sqlite3 *db_;
    bool open_ = false;
};

bool openWithMessage(Database &db)
{
    if (!openDatabase(db)) {
        fprintf(stderr, "Cannot open database: %s\n", sqlite3_errmsg(db.get()));
        return false;
    }
    return true;
}

// Steps a bound write statement once and resets it for the next binding.
bool stepWrite(sqlite3 *db, sqlite3_stmt *statement)
{
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc != SQLITE_DONE) {
        fprintf(stderr, "Execution failed: %s\n", sqlite3_errmsg(db));
        return false;
    }
    return true;
}

bool execWrite(sqlite3 *db, const char *sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fprintf(stderr, "Execution failed: %s\n", sqlite3_errmsg(db));
        return false;
    }
    return true;
}

bool ensureTables(sqlite3 *db)
{
    return ensureTable(db, "hour_data", createHourDataTable) &&
           ensureTable(db, "meter_minutes", createMeterMinutesTable) &&
           ensureTable(db, "meter_baseline", createMeterBaselineTable);
}

bool writeHours(sqlite3 *db, const std::vector<HourWrite> &hours)
{
    Statement statement;
    if (!prepareStatement(db, kSaveHourData, statement)) {
        return false;
    }
    for (const HourWrite &hour : hours) {
        bindHourRecord(statement.get(), hour.hour.c_str(), hour.record);
        if (!stepWrite(db, statement.get())) {
            return false;
        }
    }
    return true;
}

// The minutes of the hours written replace those of the same and of earlier hours.
bool replaceMinutes(sqlite3 *db, const std::vector<HourWrite> &hours)
{
    if (hours.empty()) {
        return true;
    }
    const std::string &earliest =
        std::min_element(hours.begin(), hours.end(), [](const HourWrite &a, const HourWrite &b) {
            return a.hour < b.hour;
        })->hour;
    Statement drop;
    Statement statement;
    if (!prepareStatement(db, kDropEarlierMinutes, drop) ||
        !prepareStatement(db, kSaveMinutes, statement)) {
        return false;
    }
    sqlite3_bind_text(drop.get(), 1, earliest.c_str(), -1, SQLITE_STATIC);
    if (!stepWrite(db, drop.get())) {
        return false;
    }
    for (const HourWrite &hour : hours) {
        sqlite3_bind_text(statement.get(), 1, hour.hour.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(statement.get(), 2, hour.coveredMinutes);
        if (!stepWrite(db, statement.get())) {
            return false;
        }
    }
    return true;
}

bool replaceBaselines(sqlite3 *db, const std::vector<InterfaceBaseline> &baselines)
{
    Statement statement;
    if (!execWrite(db, kClearBaselines) || !prepareStatement(db, kInsertBaseline, statement)) {
        return false;
    }
    sqlite3_stmt *s = statement.get();
    for (const InterfaceBaseline &baseline : baselines) {
        sqlite3_bind_text(s, 1, baseline.interface.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 2, baseline.ifindex);
        sqlite3_bind_text(s, 3, baseline.bootId.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 4, baseline.recv);
        sqlite3_bind_int64(s, 5, baseline.sent);
        sqlite3_bind_int64(s, 6, baseline.elapsedMs);
        if (!stepWrite(db, s)) {
            return false;
        }
    }
    return true;
}

bool hasTypes(sqlite3_stmt *row, std::initializer_list<int> types)
{
    int column = 0;
    for (int type : types) {
        if (sqlite3_column_type(row, column++) != type) {
            return false;
        }
    }
    return true;
}

std::string textOf(sqlite3_stmt *row, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(row, column));
    return text != nullptr ? text : "";
}

// Runs a select of the meter's tables, handing every row of the right types
// to `take` and counting the others.
template <typename Take>
bool readRows(sqlite3 *db, const char *table, const char *sql, std::initializer_list<int> types,
              int &mistyped, Take take)
{
    const int exists = tableExists(db, table);
    if (exists <= 0) {
        return exists == 0;
    }
    Statement statement;
    if (!prepareStatement(db, sql, statement)) {
        return false;
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        if (hasTypes(statement.get(), types)) {
            take(statement.get());
        } else {
            ++mistyped;
        }
    }
    if (rc != SQLITE_DONE) {
        fprintf(stderr, "Cannot read %s: %s\n", table, sqlite3_errmsg(db));
        return false;
    }
    return true;
}

} // namespace

int saveHoursWithBaselines(const std::vector<HourWrite> &hours,
                           const std::vector<InterfaceBaseline> &baselines)
{
    Database db;
    if (!openWithMessage(db)) {
        return 1;
    }
    Transaction transaction(db.get());
    const bool written = transaction.begin("BEGIN IMMEDIATE;") && ensureTables(db.get()) &&
                         writeHours(db.get(), hours) && replaceMinutes(db.get(), hours) &&
                         replaceBaselines(db.get(), baselines) && transaction.commit();
    return written ? 0 : 1;
}

int loadMeterState(MeterState &state)
{
    Database db;
    if (!openWithMessage(db)) {
        return -1;
    }
    // Both tables as one write left them.
    Transaction transaction(db.get());
    if (!transaction.begin("BEGIN;")) {
        return -1;
    }
    for (const char *table : {"meter_baseline", "meter_minutes"}) {
        const int fits = meterTableFits(db.get(), table);
        if (fits != 1) {
            return fits == 0 ? 1 : -1;
        }
    }
    constexpr int kText = SQLITE_TEXT;
    constexpr int kInteger = SQLITE_INTEGER;
    const bool read =
        readRows(db.get(), "meter_baseline", kSelectBaselines,
                 {kText, kInteger, kText, kInteger, kInteger, kInteger}, state.mistyped,
                 [&state](sqlite3_stmt *row) {
                     state.baselines.push_back({textOf(row, 0), sqlite3_column_int64(row, 1),
                                                textOf(row, 2), sqlite3_column_int64(row, 3),
                                                sqlite3_column_int64(row, 4),
                                                sqlite3_column_int64(row, 5)});
                 }) &&
        readRows(db.get(), "meter_minutes", kSelectMinutes, {kText, kInteger}, state.mistyped,
                 [&state](sqlite3_stmt *row) {
                     state.minutes.push_back({textOf(row, 0), sqlite3_column_int64(row, 1)});
                 });
    return read ? 0 : -1;
}

int replaceMeterTables()
{
    Database db;
    if (!openWithMessage(db)) {
        return 1;
    }
    Transaction transaction(db.get());
    const bool replaced = transaction.begin("BEGIN IMMEDIATE;") &&
                          execWrite(db.get(), kDropMeterTables) &&
                          createMeterBaselineTable(db.get()) == 0 &&
                          createMeterMinutesTable(db.get()) == 0 && transaction.commit();
    return replaced ? 0 : 1;
}

} // namespace vexmora::store
