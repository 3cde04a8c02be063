#pragma once

#include "traffic_store.h"

struct sqlite3_stmt;

namespace vexmora::store {

// The upsert of one hour's row: saveHourData's statement, and the meter's
// transaction that writes the rows with the counters they were counted up to.
inline constexpr char kSaveHourData[] =
    "INSERT INTO hour_data (time, mins, recv, sent, recv_peak, sent_peak, total_peak, "
    "report_status) VALUES (?, ?, ?, ?, ?, ?, ?, 0) ON CONFLICT(time) DO UPDATE SET recv = "
    "excluded.recv, sent = excluded.sent, recv_peak = excluded.recv_peak, sent_peak = "
    "excluded.sent_peak, total_peak = excluded.total_peak, mins = excluded.mins, report_status = "
    "excluded.report_status;";

// The lookup of one hour's row, in the columns readHourRecord takes.
inline constexpr char kLoadHourData[] =
    "SELECT mins, recv, sent, recv_peak, sent_peak, total_peak FROM hour_data WHERE time = ? ;";

// Binds the hour text (not copied: it must outlive the step) and the record
// to kSaveHourData.
void bindHourRecord(sqlite3_stmt *statement, const char *hourText, const HourRecord &record);
// Fills the record from the row kLoadHourData stepped to.
void readHourRecord(sqlite3_stmt *row, HourRecord &record);

} // namespace vexmora::store
