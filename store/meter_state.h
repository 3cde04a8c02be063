#pragma once

#include "traffic_store.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vexmora::store {

// The meter's own tables in the traffic database, which the reports never
// read: the counters each counted interface had when the hour rows were last
// written (meter_baseline), and the minutes those rows cover (meter_minutes).
// Both are written in the same transaction as the rows, so that a meter
// stopped at any moment starts again from counters that match the rows.

// One interface's counters as of the last write, with what tells whether
// they still apply: the boot they were read in and the interface's index.
struct InterfaceBaseline
{
    std::string interface;
    int64_t ifindex = 0;
    std::string bootId;
    int64_t recv = 0;
    int64_t sent = 0;
    // The boot's clock (CLOCK_BOOTTIME) when they were read, in milliseconds.
    int64_t elapsedMs = 0;
};

// The minutes of an hour that its row covers: bit m for minute m.
struct HourMinutes
{
    std::string hour;
    int64_t covered = 0;
};

// One hour's row as saveHourData writes it, with the minutes it covers.
struct HourWrite
{
    std::string hour;
    HourRecord record{};
    int64_t coveredMinutes = 0;
};

struct MeterState
{
    std::vector<InterfaceBaseline> baselines;
    std::vector<HourMinutes> minutes;
    // Entries whose values are not of their column's type, left out.
    int mistyped = 0;
};

// Writes the hours' rows with their minutes (dropping the minutes of earlier
// hours) and replaces the stored baselines by `baselines`, all in one
// transaction: 0 stored, 1 failed (nothing changed; the failure is on
// standard error).
int saveHoursWithBaselines(const std::vector<HourWrite> &hours,
                           const std::vector<InterfaceBaseline> &baselines);

// Reads what the meter stored: 0 read (nothing when the tables are missing),
// 1 a table of that name has other columns, -1 failed (written to standard
// error).
int loadMeterState(MeterState &state);

// Drops the meter's tables and creates them anew: 0 done, 1 failed.
int replaceMeterTables();

} // namespace vexmora::store
