#include "meter_state.h"
#include "schema.h"
#include "store_transaction.h"

#include <cstdio>

namespace vexmora::store {

namespace {

constexpr char kSelectBaselines[] =
    "SELECT interface, ifindex, boot_id, recv, sent, elapsed_ms FROM meter_baseline;";
constexpr char kSelectMinutes[] = "SELECT hour, covered FROM meter_minutes;";
constexpr char kSelectCarry[] = "SELECT day, recv, sent FROM meter_app_carry;";
constexpr char kSumAttributed[] =
    "SELECT TOTAL(recv), TOTAL(sent) FROM app_data WHERE time >= date(?1 * 86400, 'unixepoch') "
    "AND pkgname <> ?2;";
constexpr char kDropMeterTables[] =
    "DROP TABLE IF EXISTS meter_baseline; DROP TABLE IF EXISTS meter_minutes;";
constexpr char kDropCarry[] = "DROP TABLE IF EXISTS meter_app_carry;";

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

int loadMeterState(MeterState &state)
{
    Database db;
    if (!openWithMessage(db)) {
        return -1;
    }
    // The tables as one write left them.
    Transaction transaction(db.get());
    if (!transaction.begin("BEGIN;")) {
        return -1;
    }
    for (const char *table : {"meter_baseline", "meter_minutes", "meter_app_carry"}) {
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
                 }) &&
        readRows(db.get(), "meter_app_carry", kSelectCarry, {kInteger, kInteger, kInteger},
                 state.mistyped, [&state](sqlite3_stmt *row) {
                     state.carry = {sqlite3_column_int64(row, 0), sqlite3_column_int64(row, 1),
                                    sqlite3_column_int64(row, 2)};
                 });
    return read ? 0 : -1;
}

int loadAttributedBytes(int64_t utcDay, const char *unattributed, AppCarry &attributed)
{
    attributed = {utcDay, 0, 0};
    Database db;
    if (!openWithMessage(db)) {
        return -1;
    }
    const int exists = tableExists(db.get(), "app_data");
    if (exists <= 0) {
        return exists;
    }
    Statement statement;
    if (!prepareStatement(db.get(), kSumAttributed, statement)) {
        return -1;
    }
    sqlite3_bind_int64(statement.get(), 1, utcDay);
    sqlite3_bind_text(statement.get(), 2, unattributed, -1, SQLITE_STATIC);
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
        fprintf(stderr, "Cannot read app_data: %s\n", sqlite3_errmsg(db.get()));
        return -1;
    }
    const auto bytes = [&](int column) {
        const double sum = sqlite3_column_double(statement.get(), column);
        return sum <= 0 ? 0 : sum >= 9.2e18 ? INT64_MAX : int64_t(sum);
    };
    attributed.recv = bytes(0);
    attributed.sent = bytes(1);
    return 0;
}

int replaceMeterTables()
{
    Database db;
    if (!openWithMessage(db)) {
        return 1;
    }
    Transaction transaction(db.get());
    const bool replaced =
        transaction.begin("BEGIN IMMEDIATE;") && execWrite(db.get(), kDropMeterTables) &&
        execWrite(db.get(), kDropCarry) && createMeterBaselineTable(db.get()) == 0 &&
        createMeterMinutesTable(db.get()) == 0 && createMeterAppCarryTable(db.get()) == 0 &&
        transaction.commit();
    return replaced ? 0 : 1;
}

} // namespace vexmora::store
