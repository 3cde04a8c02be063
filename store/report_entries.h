#pragma once

struct cJSON;
struct sqlite3_stmt;

namespace vexmora::store {

// Appends the hour report entry of the current row of `row` to `array`. The
// row's columns are time, mins, recv, sent, recv_peak, sent_peak, total_peak
// and, when `withStatus`, report_status.
void addHourEntry(cJSON *array, sqlite3_stmt *row, bool withStatus);

// Adds `item` to `object` under `key`; deletes the item if that fails, so the
// caller never owns it afterwards.
void attachToObject(cJSON *object, const char *key, cJSON *item);

} // namespace vexmora::store
