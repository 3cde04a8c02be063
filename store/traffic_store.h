#pragma once

#include <cstdint>

struct sqlite3;

namespace vexmora::store {

// One hour's counters of the whole host, as saved to and loaded from hour_data.
struct HourRecord
{
    int32_t mins;
    int64_t recv;
    int64_t sent;
    int32_t recv_peak;
    int32_t sent_peak;
    int32_t total_peak;
};

// Write interface of the traffic database. Every function that takes no
// connection opens its own and closes it before returning; failures are
// written to standard error, one line each.
//
// Results: the integer codes below are part of the store's contract, shared
// with the measuring side and the tools. The store's internal helpers answer
// bool, true when they succeeded.

// 1 the table exists, 0 it does not, -1 the check failed.
int tableExists(sqlite3 *db, const char *tableName);
// 0 done, 1 failed.
int createAppDataTable(sqlite3 *db);
int createHourDataTable(sqlite3 *db);

// Adds increments to the application's row of the current UTC day; 0 stored, 1 failed.
int addAppTraffic(const char *pkgname, int64_t recv, int64_t sent);
// Writes the hour's row (running totals) and marks it unreported; 0 stored, 1 failed.
int saveHourData(const char *hourText, const HourRecord &record);
// Fills record from the hour's row when there is one; 0 the query ran, -1 failed.
int loadHourData(const char *hourText, HourRecord &record);
// Deletes rows older than the given number of days from app_data or hour_data.
void purgeOldRows(const char *tableName, int days);

} // namespace vexmora::store
