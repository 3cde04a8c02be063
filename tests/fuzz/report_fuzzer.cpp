// Arbitrary rows in the traffic database: every report still comes out as
// one JSON document that cJSON reads and prints back to the same text, and
// nothing leaks or crashes. Arbitrary doubles print as cJSON prints them.
#include "entry_builder.h"
#include "traffic_reports.h"
#include "traffic_store.h"
#include "vexmora_paths.h"

#include <QJsonDocument>
#include <QString>
#include <cjson/cJSON.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace vexmora::store;

namespace {

// Mostly dates around today, sometimes any text at all.
std::string dayText(FuzzedDataProvider &input)
{
    if (input.ConsumeBool()) {
        return input.ConsumeRandomLengthString(24);
    }
    const time_t when = std::time(nullptr) - input.ConsumeIntegralInRange<int>(-2, 40) * 86400;
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&when));
    return text;
}

std::string hourText(FuzzedDataProvider &input)
{
    if (input.ConsumeBool()) {
        return input.ConsumeRandomLengthString(24);
    }
    return hourTextBefore(input.ConsumeIntegralInRange<int>(-3, 24 * 40));
}

void insertRows(sqlite3 *db, FuzzedDataProvider &input)
{
    sqlite3_stmt *app = nullptr;
    sqlite3_stmt *hour = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT OR REPLACE INTO app_data (pkgname, recv, sent, total, time) "
                       "VALUES (?, ?, ?, ?, ?);",
                       -1, &app, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT OR REPLACE INTO hour_data (time, mins, recv, sent, recv_peak, "
                       "sent_peak, total_peak, report_status) VALUES (?, ?, ?, ?, ?, ?, ?, ?);",
                       -1, &hour, nullptr);
    while (input.remaining_bytes() > 0) {
        if (input.ConsumeBool()) {
            const std::string name = input.ConsumeRandomLengthString(40);
            const std::string day = dayText(input);
            sqlite3_bind_text(app, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            for (int column = 2; column <= 4; ++column) {
                sqlite3_bind_int64(app, column, input.ConsumeIntegral<int64_t>());
            }
            sqlite3_bind_text(app, 5, day.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(app);
            sqlite3_reset(app);
        } else {
            const std::string time = hourText(input);
            sqlite3_bind_text(hour, 1, time.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(hour, 2, input.ConsumeIntegral<int32_t>());
            sqlite3_bind_int64(hour, 3, input.ConsumeIntegral<int64_t>());
            sqlite3_bind_int64(hour, 4, input.ConsumeIntegral<int64_t>());
            for (int column = 5; column <= 8; ++column) {
                sqlite3_bind_int(hour, column, input.ConsumeIntegral<int32_t>());
            }
            sqlite3_step(hour);
            sqlite3_reset(hour);
        }
    }
    sqlite3_finalize(app);
    sqlite3_finalize(hour);
}

std::string printedAndDeleted(cJSON *item)
{
    char *text = cJSON_PrintUnformatted(item);
    std::string result = text != nullptr ? text : "<null>";
    cJSON_free(text);
    cJSON_Delete(item);
    return result;
}

void requireCJsonText(double value)
{
    cJSON *expected = cJSON_CreateObject();
    cJSON_AddNumberToObject(expected, "n", value);
    cJSON *built = cJSON_CreateArray();
    EntryBuilder entry;
    entry.number("n", value);
    entry.addTo(built);
    if (printedAndDeleted(built) != "[" + printedAndDeleted(expected) + "]") {
        std::abort();
    }
}

// Any bit pattern, a byte count in GiB and the sum of two.
void requireCJsonNumbers(FuzzedDataProvider &input)
{
    const auto bits = input.ConsumeIntegral<uint64_t>();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    requireCJsonText(value);
    const double up = bytesToGiB(input.ConsumeIntegral<int64_t>());
    const double down = bytesToGiB(input.ConsumeIntegral<int64_t>());
    requireCJsonText(up);
    requireCJsonText(up + down);
}

// The text as a client receives it: decoded as UTF-8, then sent as UTF-8.
// cJSON prints what it reads of its own text as that text again, so a number
// printed with other digits than cJSON's own would show here.
void requireJson(char *text, bool array)
{
    if (text == nullptr) {
        std::abort();
    }
    const QJsonDocument document = QJsonDocument::fromJson(QString::fromUtf8(text).toUtf8());
    if (array ? !document.isArray() : !document.isObject()) {
        std::abort();
    }
    if (printedAndDeleted(cJSON_Parse(text)) != text) {
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
    requireCJsonNumbers(input);
    const int days = input.ConsumeIntegralInRange<int>(-2, 45);

    sqlite3 *db = nullptr;
    sqlite3_open(vexmora::paths::kDatabaseFile, &db);
    createAppDataTable(db);
    createHourDataTable(db);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    insertRows(db, input);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);

    requireArray(queryRecentTop10(days));
    requireArray(queryRecentData(days));
    requireJson(buildReportData(), false);
    return 0;
}
