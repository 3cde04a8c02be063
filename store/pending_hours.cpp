#include "report_entries.h"
#include "report_statements.h"
#include "sqlite_handles.h"
#include "traffic_reports.h"

#include <cstdio>

namespace vexmora::store {

namespace {

// A write transaction taken before the pending hours are read, so that no
// other connection can write or rewrite an hour between the select and the
// marking. Rolled back unless committed.
class WriteTransaction
{
public:
    explicit WriteTransaction(sqlite3 *db) : db_(db) {}
    WriteTransaction(const WriteTransaction &) = delete;
    WriteTransaction &operator=(const WriteTransaction &) = delete;
    ~WriteTransaction()
    {
        if (open_ && sqlite3_get_autocommit(db_) == 0) {
            sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        }
    }

    bool begin()
    {
        open_ = sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
        return open_;
    }
    bool commit()
    {
        const bool committed = sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
        open_ = !committed;
        return committed;
    }

private:
    sqlite3 *db_;
    bool open_ = false;
};

} // namespace

cJSON *queryPendingHours(int markReported)
{
    Json array(cJSON_CreateArray());
    if (!array) {
        return nullptr;
    }
    // The previous hour, in the store's own text; the bound of both statements.
    char lastHour[20];
    snprintf(lastHour, sizeof lastHour, "%s", hourTextBefore(1));

    Database db;
    if (!openDatabase(db)) {
        fprintf(stderr, "Cannot open database: %s\n", sqlite3_errmsg(db.get()));
        return array.release();
    }
    SqliteText select(sqlite3_mprintf(kPendingHours, lastHour));
    if (!select) {
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
        return array.release();
    }
    Statement statement;
    if (!prepareStatement(db.get(), select.get(), statement)) {
        return array.release();
    }

    WriteTransaction transaction(db.get());
    if (markReported != 0 && !transaction.begin()) {
        // The hours stay unreported and come with the next call.
        fprintf(stderr, "Failed to begin transaction: %s\n", sqlite3_errmsg(db.get()));
        return array.release();
    }
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        addHourEntry(array.get(), statement.get(), false);
    }
    statement.reset();
    select.reset();
    // After a failed read only part of the hours is in the array: marking
    // would lose the rest, so none is marked and all come again.
    if (markReported == 0 || rc != SQLITE_DONE) {
        return array.release();
    }

    const SqliteText update(sqlite3_mprintf(kMarkReported, lastHour));
    if (!update) {
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
        return array.release();
    }
    if (sqlite3_exec(db.get(), update.get(), nullptr, nullptr, nullptr) != SQLITE_OK ||
        !transaction.commit()) {
        // Rolled back: the hours stay unreported and are handed out again.
        fprintf(stderr, "Failed to update report_status: %s\n", sqlite3_errmsg(db.get()));
    }
    return array.release();
}

} // namespace vexmora::store
