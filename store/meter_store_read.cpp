#include "hour_statement.h"
#include "meter_store.h"
#include "meter_store_connection.h"
#include "schema.h"
#include "store_transaction.h"

#include <cstdio>
#include <initializer_list>

namespace vexmora::store {

namespace {

constexpr char kDropMeterTables[] = "DROP TABLE IF EXISTS meter_baseline; DROP TABLE IF EXISTS "
                                    "meter_minutes; DROP TABLE IF EXISTS meter_app_carry;";
constexpr const char *kMeterTables[] = {"meter_baseline", "meter_minutes", "meter_app_carry"};

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

bool stepFailed(MeterConnection &c, int rc, const char *table)
{
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        fprintf(stderr, "Cannot read %s: %s\n", table, sqlite3_errmsg(c.db.get()));
        return true;
    }
    return false;
}

// Runs a select of the meter's tables, handing every row of the right types
// to `take` and counting the others.
template <typename Take>
bool readRows(MeterConnection &c, MeterSql sql, const char *table, std::initializer_list<int> types,
              int &mistyped, Take take)
{
    sqlite3_stmt *statement = c.statement(sql);
    if (statement == nullptr) {
        return false;
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        if (hasTypes(statement, types)) {
            take(statement);
        } else {
            ++mistyped;
        }
    }
    sqlite3_reset(statement);
    return !stepFailed(c, rc, table);
}

bool readState(MeterConnection &c, MeterState &state)
{
    constexpr int kText = SQLITE_TEXT;
    constexpr int kInteger = SQLITE_INTEGER;
    return readRows(c, MeterSql::SelectBaselines, "meter_baseline",
                    {kText, kInteger, kText, kInteger, kInteger, kInteger}, state.mistyped,
                    [&state](sqlite3_stmt *row) {
                        state.baselines.push_back({textOf(row, 0), sqlite3_column_int64(row, 1),
                                                   textOf(row, 2), sqlite3_column_int64(row, 3),
                                                   sqlite3_column_int64(row, 4),
                                                   sqlite3_column_int64(row, 5)});
                    }) &&
           readRows(c, MeterSql::SelectMinutes, "meter_minutes", {kText, kInteger}, state.mistyped,
                    [&state](sqlite3_stmt *row) {
                        state.minutes.push_back({textOf(row, 0), sqlite3_column_int64(row, 1)});
                    }) &&
           readRows(c, MeterSql::SelectCarry, "meter_app_carry", {kInteger, kInteger, kInteger},
                    state.mistyped, [&state](sqlite3_stmt *row) {
                        state.carry = {sqlite3_column_int64(row, 0), sqlite3_column_int64(row, 1),
                                       sqlite3_column_int64(row, 2)};
                    });
}

StateResult readStoredState(MeterConnection &c, MeterState &state)
{
    // The tables as one write left them.
    Transaction transaction(c.db.get());
    if (!transaction.begin("BEGIN;")) {
        return StateResult::Failed;
    }
    for (const char *table : kMeterTables) {
        const int fits = meterTableFits(c.db.get(), table);
        if (fits != 1) {
            return fits == 0 ? StateResult::OtherTables : StateResult::Failed;
        }
    }
    return readState(c, state) ? StateResult::Read : StateResult::Failed;
}

int64_t summedBytes(sqlite3_stmt *row, int column)
{
    const double sum = sqlite3_column_double(row, column);
    return sum <= 0 ? 0 : sum >= 9.2e18 ? INT64_MAX : int64_t(sum);
}

} // namespace

StateResult MeterStore::loadState(MeterState &state)
{
    MeterConnection *c = connection();
    if (c == nullptr) {
        return StateResult::Failed;
    }
    const StateResult result = readStoredState(*c, state);
    if (result == StateResult::Failed) {
        connection_.reset();
    }
    return result;
}

StoreResult MeterStore::replaceMeterTables()
{
    MeterConnection *c = connection();
    if (c == nullptr) {
        return StoreResult::Failed;
    }
    // The kept statements belong to the tables that go.
    for (Statement &statement : c->statements) {
        statement.reset();
    }
    bool replaced = false;
    {
        Transaction transaction(c->db.get());
        replaced = transaction.begin("BEGIN IMMEDIATE;") &&
                   execWrite(c->db.get(), kDropMeterTables) &&
                   createMeterBaselineTable(c->db.get()) == 0 &&
                   createMeterMinutesTable(c->db.get()) == 0 &&
                   createMeterAppCarryTable(c->db.get()) == 0 && transaction.commit();
    }
    return replaced ? StoreResult::Done : failed();
}

StoreResult MeterStore::loadHour(const char *hourText, HourRecord &record)
{
    MeterConnection *c = connection();
    sqlite3_stmt *s = c != nullptr ? c->statement(MeterSql::LoadHour) : nullptr;
    if (s == nullptr) {
        return failed();
    }
    sqlite3_bind_text(s, 1, hourText, -1, SQLITE_STATIC);
    // The unique key on time allows one row at most.
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        readHourRecord(s, record);
    }
    sqlite3_reset(s);
    return stepFailed(*c, rc, "hour_data") ? failed() : StoreResult::Done;
}

StoreResult MeterStore::loadAttributedBytes(int64_t utcDay, const char *unattributed,
                                            AppCarry &attributed)
{
    attributed = {utcDay, 0, 0};
    MeterConnection *c = connection();
    sqlite3_stmt *s = c != nullptr ? c->statement(MeterSql::SumAttributed) : nullptr;
    if (s == nullptr) {
        return failed();
    }
    sqlite3_bind_int64(s, 1, utcDay);
    sqlite3_bind_text(s, 2, unattributed, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        attributed.recv = summedBytes(s, 0);
        attributed.sent = summedBytes(s, 1);
    }
    sqlite3_reset(s);
    return rc != SQLITE_ROW && stepFailed(*c, rc, "app_data") ? failed() : StoreResult::Done;
}

StoreResult MeterStore::loadAppNames(int64_t utcDay, int64_t limit, std::vector<std::string> &names)
{
    names.clear();
    MeterConnection *c = connection();
    sqlite3_stmt *s = c != nullptr ? c->statement(MeterSql::SelectAppNames) : nullptr;
    if (s == nullptr) {
        return failed();
    }
    sqlite3_bind_int64(s, 1, utcDay);
    sqlite3_bind_int64(s, 2, limit);
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
        names.emplace_back(text != nullptr ? text : "", size_t(sqlite3_column_bytes(s, 0)));
    }
    sqlite3_reset(s);
    return stepFailed(*c, rc, "app_data") ? failed() : StoreResult::Done;
}

} // namespace vexmora::store
