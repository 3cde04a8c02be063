#include "bare_statements.h"

#include "report_statements.h"
#include "sqlite_handles.h"
#include "traffic_reports.h"

#include <stdexcept>
#include <string>

using vexmora::store::Database;
using vexmora::store::kMarkReported;
using vexmora::store::kPendingHours;
using vexmora::store::kRecentData;
using vexmora::store::kRecentTop10;
using vexmora::store::SqliteText;
using vexmora::store::Statement;

namespace bench {
namespace {

Database open()
{
    Database db;
    if (!vexmora::store::openDatabase(db)) {
        throw std::runtime_error("cannot open the database");
    }
    return db;
}

Statement prepare(sqlite3 *db, const char *sql)
{
    Statement statement;
    if (!vexmora::store::prepareStatement(db, sql, statement)) {
        throw std::runtime_error(std::string("cannot prepare ") + sql);
    }
    return statement;
}

void exec(sqlite3 *db, const char *sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string(sql) + ": " + sqlite3_errmsg(db));
    }
}

// Steps every row, reading `columns` columns the way the report entries do.
int readRows(sqlite3_stmt *statement, int columns)
{
    int rows = 0;
    volatile int64_t sink = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        sink = sink + sqlite3_column_bytes(statement, 0);
        sink = sink + (sqlite3_column_text(statement, 0) != nullptr ? 1 : 0);
        for (int column = 1; column < columns; ++column) {
            sink = sink + sqlite3_column_int64(statement, column);
        }
        ++rows;
    }
    return rows;
}

int runDayReport(const char *format, int days, int columns)
{
    const Database db = open();
    const SqliteText sql(sqlite3_mprintf(format, days));
    const Statement statement = prepare(db.get(), sql.get());
    return readRows(statement.get(), columns);
}

// Select and mark of the pending hours inside one immediate transaction.
int barePendingHours()
{
    char lastHour[20];
    snprintf(lastHour, sizeof lastHour, "%s", vexmora::store::hourTextBefore(1));
    const Database db = open();
    SqliteText select(sqlite3_mprintf(kPendingHours, lastHour));
    Statement statement = prepare(db.get(), select.get());
    exec(db.get(), "BEGIN IMMEDIATE;");
    const int rows = readRows(statement.get(), 7);
    statement.reset();
    select.reset();
    const SqliteText update(sqlite3_mprintf(kMarkReported, lastHour));
    exec(db.get(), update.get());
    exec(db.get(), "COMMIT;");
    return rows;
}

} // namespace

int bareRecentTop10(int days)
{
    return runDayReport(kRecentTop10, days, 3);
}

int bareRecentData(int days)
{
    return runDayReport(kRecentData, days, 8);
}

int bareReportData()
{
    return barePendingHours() + bareRecentTop10(7) + bareRecentTop10(30);
}

} // namespace bench
