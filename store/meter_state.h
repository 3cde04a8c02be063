#pragma once

#include "traffic_store.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vexmora::store {

// The meter's own tables in the traffic database, which the reports never
// read: the counters each counted interface had when the hour rows were last
// written (meter_baseline), the minutes those rows cover (meter_minutes) and
// the attributed bytes the application rows hold beyond the hour rows'
// (meter_app_carry). They are written in the same transaction as the rows,
// so that a meter stopped at any moment starts again from counters that
// match the rows.

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

// One application's bytes since the last write, added to its row of the UTC
// day they were counted in (days since the epoch), whenever they are written;
// the unattributed ones may be negative (bytes taken back).
struct AppIncrement
{
    std::string app;
    int64_t recv = 0;
    int64_t sent = 0;
    int64_t utcDay = 0;
};

// Attributed bytes of a UTC day (days since the epoch) beyond the host's,
// not yet taken off its unattributed ones: the application rows hold them,
// the hour rows do not. utcDay -1: none.
struct AppCarry
{
    int64_t utcDay = -1;
    int64_t recv = 0;
    int64_t sent = 0;
};

// What the application rows lack as of a write.
struct AppWrite
{
    std::vector<AppIncrement> increments;
    AppCarry carry;
};

struct MeterState
{
    std::vector<InterfaceBaseline> baselines;
    std::vector<HourMinutes> minutes;
    // The meter writes one row at most.
    AppCarry carry;
    // Entries whose values are not of their column's type, left out.
    int mistyped = 0;
};

// Writes the rows, the applications' increments and the baselines in one
// transaction, on a connection of its own: 0 stored, 1 failed (nothing
// changed; the failure is on standard error). The meter keeps a MeterStore
// (meter_store.h) instead; this serves writers of a single batch.
int saveHoursAppsAndBaselines(const std::vector<HourWrite> &hours, const AppWrite &apps,
                              const std::vector<InterfaceBaseline> &baselines);

} // namespace vexmora::store
