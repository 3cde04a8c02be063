#pragma once

struct sqlite3;

namespace vexmora::store {

// Makes sure `tableName` exists on `db`, creating it with `create` when it does
// not. Writes the failure and returns false when the check or the creation fails.
bool ensureTable(sqlite3 *db, const char *tableName, int (*create)(sqlite3 *));

// The meter's tables (meter_baseline, meter_minutes, meter_app_carry): 0
// created, 1 failed.
int createMeterBaselineTable(sqlite3 *db);
int createMeterMinutesTable(sqlite3 *db);
int createMeterAppCarryTable(sqlite3 *db);
// 1 the meter's table `tableName` is missing or as the store creates it, 0 a
// table of that name has other columns, -1 the check failed.
int meterTableFits(sqlite3 *db, const char *tableName);

} // namespace vexmora::store
