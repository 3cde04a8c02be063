#pragma once

#include "meter_state.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexmora::store {

struct MeterConnection;

// What a write or a lookup of the meter's store came to. A failure leaves the
// database as it was and is written to standard error with SQLite's message.
enum class [[nodiscard]] StoreResult{
    Done,
    Failed,
};

// What reading the meter's stored state came to.
enum class [[nodiscard]] StateResult{
    Read,        // also when the tables are missing: nothing stored
    OtherTables, // a table of that name has other columns
    Failed,
};

// The meter's side of the traffic database: one connection for the meter's
// life, its statements prepared once and reset between uses. A failed step
// lets the connection go, so that the next call opens it again and creates
// what is missing; so does a database file that was replaced or removed.
class MeterStore
{
public:
    MeterStore();
    ~MeterStore();
    MeterStore(const MeterStore &) = delete;
    MeterStore &operator=(const MeterStore &) = delete;

    // For a process that keeps one connection for months and writes once a
    // minute or less: no page cache allocated ahead per connection. Before
    // SQLite is first used in the process.
    static void preferLittleMemory();

    // Opens the database and creates the tables the reports and the meter
    // read where they are missing (never the state directory).
    StoreResult open();

    // Writes the hours' rows with their minutes (dropping the minutes of
    // earlier hours), adds the applications' increments to their rows of their
    // own UTC days, and replaces the stored carry and baselines, all in one
    // transaction.
    StoreResult save(const std::vector<HourWrite> &hours, const AppWrite &apps,
                     const std::vector<InterfaceBaseline> &baselines);

    // What the meter stored with its last write.
    StateResult loadState(MeterState &state);
    // Drops the meter's own tables and creates them anew.
    StoreResult replaceMeterTables();
    // Fills `record` from the hour's row where there is one.
    StoreResult loadHour(const char *hourText, HourRecord &record);
    // What the application rows other than `unattributed` hold from a UTC day
    // on, summed as reals so that damaged rows cannot overflow, negative sums
    // read as 0: the most that day's carry can be (0 bytes without rows).
    // The meter dates its rows by the sample that counted them; the later
    // days count too, for rows that earlier versions dated by the moment they
    // were written, which a write just after midnight put in the next day.
    StoreResult loadAttributedBytes(int64_t utcDay, const char *unattributed, AppCarry &attributed);
    // The names of a UTC day's application rows, at most `limit` of them.
    StoreResult loadAppNames(int64_t utcDay, int64_t limit, std::vector<std::string> &names);

private:
    // The open connection, opened anew when there is none or the file changed.
    MeterConnection *connection();
    StoreResult failed();

    std::unique_ptr<MeterConnection> connection_;
};

} // namespace vexmora::store
