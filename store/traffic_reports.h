#pragma once

#include <cstdint>

struct cJSON;

// Traffic reports built from the database as cJSON documents.
namespace vexmora::store {

// GiB rounded to two decimals; 0.01 in place of 0.
double bytesToGiB(int64_t bytes);
// "%Y-%m-%d %H:00" of the local hour that many hours before now, in a static
// buffer valid until the next call.
const char *hourTextBefore(int hoursBack);

// Arrays owned by the caller (cJSON_Delete); null only when cJSON cannot allocate.
cJSON *queryRecentTop10(int days);
cJSON *queryRecentData(int days);
// Every unreported hour up to the previous hour; marks them reported when
// markReported is non-zero.
cJSON *queryPendingHours(int markReported);

// The combined report, printed unformatted; owned by the caller (cJSON_free).
char *buildReportData();

} // namespace vexmora::store
