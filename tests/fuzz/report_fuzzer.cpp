// Arbitrary rows in the traffic database: every report still comes out as
// one JSON document that cJSON reads and prints back to the same text (so its
// numbers have cJSON's own digits), and nothing leaks or crashes.
#include "traffic_reports.h"
#include "traffic_store.h"
#include "vexmora_paths.h"

#include <QJsonDocument>
#include <QString>
#include <cjson/cJSON.h>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace vexmora::store;

namespace {

// Mostly days or hours around now, sometimes any text at all.
std::string timeText(FuzzedDataProvider &input, bool hour)
{
    if (input.ConsumeBool()) {
        return input.ConsumeRandomLengthString(24);
    }
    const std::string text = hourTextBefore(input.ConsumeIntegralInRange<int>(-72, 24 * 40));
    return hour ? text : text.substr(0, 10);
}

// Binds one row's values: n a name, d a day, h an hour, l a 64-bit and i a 32-bit integer.
void bindRow(sqlite3_stmt *row, const char *kinds, FuzzedDataProvider &input)
{
    for (int column = 1; kinds[column - 1] != '\0'; ++column) {
        const char kind = kinds[column - 1];
        if (kind == 'l' || kind == 'i') {
            sqlite3_bind_int64(row, column,
                               kind == 'l' ? input.ConsumeIntegral<int64_t>()
                                           : input.ConsumeIntegral<int32_t>());
        } else {
            const std::string text =
                kind == 'n' ? input.ConsumeRandomLengthString(40) : timeText(input, kind == 'h');
            sqlite3_bind_text(row, column, text.c_str(), -1, SQLITE_TRANSIENT);
        }
    }
    sqlite3_step(row);
    sqlite3_reset(row);
}

void insertRows(FuzzedDataProvider &input)
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *app = nullptr;
    sqlite3_stmt *hour = nullptr;
    sqlite3_open(vexmora::paths::kDatabaseFile, &db);
    createAppDataTable(db);
    createHourDataTable(db);
    sqlite3_prepare_v2(db,
                       "INSERT OR REPLACE INTO app_data (pkgname, recv, sent, total, time) "
                       "VALUES (?, ?, ?, ?, ?);",
                       -1, &app, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT OR REPLACE INTO hour_data (time, mins, recv, sent, recv_peak, "
                       "sent_peak, total_peak, report_status) VALUES (?, ?, ?, ?, ?, ?, ?, ?);",
                       -1, &hour, nullptr);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    while (input.remaining_bytes() > 0) {
        const bool isApp = input.ConsumeBool();
        bindRow(isApp ? app : hour, isApp ? "nllld" : "hillliii", input);
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_finalize(app);
    sqlite3_finalize(hour);
    sqlite3_close(db);
}

// The text as a client receives it, decoded and sent as UTF-8, and as cJSON
// prints what it reads of it.
void requireJson(char *text, bool array)
{
    const QJsonDocument document = QJsonDocument::fromJson(QString::fromUtf8(text).toUtf8());
    cJSON *parsed = cJSON_Parse(text);
    char *again = cJSON_PrintUnformatted(parsed);
    const bool same = text != nullptr && again != nullptr && std::strcmp(text, again) == 0;
    cJSON_free(again);
    cJSON_Delete(parsed);
    if (!same || (array ? !document.isArray() : !document.isObject())) {
        std::abort();
    }
    cJSON_free(text);
}

void requireArray(cJSON *array)
{
    requireJson(cJSON_PrintUnformatted(array), true);
    cJSON_Delete(array);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ::mkdir(vexmora::paths::kStateDir, 0755);
    ::unlink(vexmora::paths::kDatabaseFile);
    FuzzedDataProvider input(data, size);
    const int days = input.ConsumeIntegralInRange<int>(-2, 45);
    insertRows(input);
    requireArray(queryRecentTop10(days));
    requireArray(queryRecentData(days));
    requireJson(buildReportData(), false);
    return 0;
}
