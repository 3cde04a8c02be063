#include "meter_state.h"

#include "app_statement.h"
#include "hour_statement.h"
#include "schema.h"
#include "store_transaction.h"

#include <algorithm>

namespace vexmora::store {

namespace {

constexpr char kDropEarlierMinutes[] = "DELETE FROM meter_minutes WHERE hour < ?;";
constexpr char kSaveMinutes[] = "INSERT INTO meter_minutes (hour, covered) VALUES (?, ?) ON "
                                "CONFLICT(hour) DO UPDATE SET covered = excluded.covered;";
constexpr char kClearBaselines[] = "DELETE FROM meter_baseline;";
constexpr char kInsertBaseline[] = "INSERT INTO meter_baseline (interface, ifindex, boot_id, recv, "
                                   "sent, elapsed_ms) VALUES (?, ?, ?, ?, ?, ?);";
constexpr char kClearCarry[] = "DELETE FROM meter_app_carry;";
constexpr char kInsertCarry[] = "INSERT INTO meter_app_carry (day, recv, sent) VALUES (?, ?, ?);";

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

bool addAppIncrements(sqlite3 *db, const std::vector<AppIncrement> &increments)
{
    Statement statement;
    if (!prepareStatement(db, kAddAppTraffic, statement)) {
        return false;
    }
    for (const AppIncrement &increment : increments) {
        bindAppTraffic(statement.get(), increment.app.c_str(), increment.recv, increment.sent);
        if (!stepWrite(db, statement.get())) {
            return false;
        }
    }
    return true;
}

// A carry of nothing is stored as no row.
bool replaceCarry(sqlite3 *db, const AppCarry &carry)
{
    if (!execWrite(db, kClearCarry)) {
        return false;
    }
    if (carry.utcDay < 0 || (carry.recv == 0 && carry.sent == 0)) {
        return true;
    }
    Statement statement;
    if (!prepareStatement(db, kInsertCarry, statement)) {
        return false;
    }
    sqlite3_bind_int64(statement.get(), 1, carry.utcDay);
    sqlite3_bind_int64(statement.get(), 2, carry.recv);
    sqlite3_bind_int64(statement.get(), 3, carry.sent);
    return stepWrite(db, statement.get());
}

bool writeApps(sqlite3 *db, const AppWrite &apps)
{
    return ensureTable(db, "app_data", createAppDataTable) &&
           ensureTable(db, "meter_app_carry", createMeterAppCarryTable) &&
           addAppIncrements(db, apps.increments) && replaceCarry(db, apps.carry);
}

// Everything one write of the meter stores, in one transaction; without
// `apps`, the application rows and the carry are left as they are.
int saveInOneTransaction(const std::vector<HourWrite> &hours, const AppWrite *apps,
                         const std::vector<InterfaceBaseline> &baselines)
{
    Database db;
    if (!openWithMessage(db)) {
        return 1;
    }
    Transaction transaction(db.get());
    const bool written = transaction.begin("BEGIN IMMEDIATE;") && ensureTables(db.get()) &&
                         writeHours(db.get(), hours) && replaceMinutes(db.get(), hours) &&
                         (apps == nullptr || writeApps(db.get(), *apps)) &&
                         replaceBaselines(db.get(), baselines) && transaction.commit();
    return written ? 0 : 1;
}

} // namespace

int saveHoursWithBaselines(const std::vector<HourWrite> &hours,
                           const std::vector<InterfaceBaseline> &baselines)
{
    return saveInOneTransaction(hours, nullptr, baselines);
}

int saveHoursAppsAndBaselines(const std::vector<HourWrite> &hours, const AppWrite &apps,
                              const std::vector<InterfaceBaseline> &baselines)
{
    return saveInOneTransaction(hours, &apps, baselines);
}

} // namespace vexmora::store
