#include "traffic_reports.h"

#include "entry_builder.h"
#include "report_entries.h"
#include "report_statements.h"
#include "sqlite_handles.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace vexmora::store {

namespace {

void addTop10Entry(cJSON *array, sqlite3_stmt *row)
{
    const double up = bytesToGiB(sqlite3_column_int64(row, 2));
    const double down = bytesToGiB(sqlite3_column_int64(row, 1));

    EntryBuilder entry;
    entry.text("app", sqlite3_column_text(row, 0));
    entry.number("up", up);
    entry.number("down", down);
    entry.number("tot", up + down);
    entry.addTo(array);
}

void addRecentHourEntry(cJSON *array, sqlite3_stmt *row)
{
    addHourEntry(array, row, true);
}

// Runs a report select with the day count formatted in and collects one entry
// per row. Failures leave the entries collected so far, possibly none.
cJSON *runDayReport(const char *format, int days, void (*addEntry)(cJSON *, sqlite3_stmt *))
{
    Json array(cJSON_CreateArray());
    if (!array) {
        return nullptr;
    }
    Database db;
    if (!openDatabase(db)) {
        fprintf(stderr, "Cannot open database: %s\n", sqlite3_errmsg(db.get()));
        return array.release();
    }
    const SqliteText sql(sqlite3_mprintf(format, days));
    if (!sql) {
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
        return array.release();
    }
    Statement statement;
    if (!prepareStatement(db.get(), sql.get(), statement)) {
        return array.release();
    }
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
        addEntry(array.get(), statement.get());
    }
    return array.release();
}

} // namespace

void addHourEntry(cJSON *array, sqlite3_stmt *row, bool withStatus)
{
    const int32_t mins = sqlite3_column_int(row, 1);
    const int64_t recv = sqlite3_column_int64(row, 2);
    const int64_t sent = sqlite3_column_int64(row, 3);

    const double up = bytesToGiB(sent);
    const double down = bytesToGiB(recv);
    // KiB per second over the minutes the counts cover; an hour without
    // minutes counts as one.
    const int64_t minutes = mins == 0 ? 1 : mins;
    const int64_t avgUp = sent / 1024 / minutes / 60;
    const int64_t avgDown = recv / 1024 / minutes / 60;

    EntryBuilder entry;
    entry.text("time", sqlite3_column_text(row, 0));
    entry.number("up", up);
    entry.number("down", down);
    entry.number("tot", up + down);
    entry.number("avg_up", static_cast<int32_t>(avgUp));
    entry.number("avg_down", static_cast<int32_t>(avgDown));
    entry.number("avg", static_cast<int32_t>(avgUp + avgDown));
    entry.number("pk_up", sqlite3_column_int(row, 5));
    entry.number("pk_down", sqlite3_column_int(row, 4));
    entry.number("pk", sqlite3_column_int(row, 6));
    if (withStatus) {
        entry.number("status", sqlite3_column_int(row, 7));
    }
    entry.addTo(array);
}

void attachToObject(cJSON *object, const char *key, cJSON *item)
{
    if (item != nullptr && !cJSON_AddItemToObject(object, key, item)) {
        cJSON_Delete(item);
    }
}

double bytesToGiB(int64_t bytes)
{
    double value = static_cast<double>(bytes);
    value *= 0.0009765625;
    value *= 0.0009765625;
    value *= 0.0009765625;
    value = std::round(value * 100.0) / 100.0;
    // No entry shows 0 GiB; -0.0 compares equal too.
    return value == 0.0 ? 0.01 : value;
}

const char *hourTextBefore(int hoursBack)
{
    static char buffer[20];
    const time_t now = time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    local.tm_hour -= hoursBack;
    if (local.tm_hour < 0) {
        local.tm_hour += 24;
        local.tm_mday -= 1;
    }
    mktime(&local);
    strftime(buffer, sizeof buffer, "%Y-%m-%d %H:00", &local);
    return buffer;
}

cJSON *queryRecentTop10(int days)
{
    return runDayReport(kRecentTop10, days, addTop10Entry);
}

cJSON *queryRecentData(int days)
{
    return runDayReport(kRecentData, days, addRecentHourEntry);
}

char *buildReportData()
{
    const Json root(cJSON_CreateObject());
    cJSON *top10 = cJSON_CreateObject();
    if (!root || top10 == nullptr) {
        // Nothing could be handed out, so nothing is marked either.
        cJSON_Delete(top10);
        return nullptr;
    }
    attachToObject(root.get(), "hour", queryPendingHours(1));
    attachToObject(top10, "7day", queryRecentTop10(7));
    attachToObject(top10, "30day", queryRecentTop10(30));
    attachToObject(root.get(), "top10", top10);
    return cJSON_PrintUnformatted(root.get());
}

} // namespace vexmora::store
