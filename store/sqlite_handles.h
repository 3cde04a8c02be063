#pragma once

// Owners of the SQLite and cJSON resources of the store, so that every path
// out of a function finalizes, frees and closes what it opened. Declare the
// database before the statements and texts that belong to it: members are
// released in reverse order, and a connection closes only once its statements
// are finalized.

#include <cjson/cJSON.h>
#include <memory>
#include <sqlite3.h>

namespace vexmora::store {

// How long a statement waits for a lock held by another connection before it
// fails. The measuring side and the service write the same file; the service
// is single-threaded, so a short wait bridges a commit without stalling it.
inline constexpr int kBusyTimeoutMs = 300;

struct DatabaseCloser
{
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
struct StatementFinalizer
{
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
struct SqliteTextFree
{
    void operator()(char *text) const { sqlite3_free(text); }
};
struct JsonDeleter
{
    void operator()(cJSON *item) const { cJSON_Delete(item); }
};
struct JsonTextFree
{
    void operator()(char *text) const { cJSON_free(text); }
};

using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;
// Text allocated by SQLite: statements from sqlite3_mprintf, error messages.
using SqliteText = std::unique_ptr<char, SqliteTextFree>;
using Json = std::unique_ptr<cJSON, JsonDeleter>;
using JsonText = std::unique_ptr<char, JsonTextFree>;

// Opens the traffic database (created empty when missing, but never its
// directory) and sets the busy time-out. On failure `db` holds whatever handle
// the open returned, for its error message, and false is returned.
bool openDatabase(Database &db);

// Prepares `sql` on `db`; on failure writes "Failed to prepare statement" with
// SQLite's error text and returns false.
bool prepareStatement(sqlite3 *db, const char *sql, Statement &statement);

} // namespace vexmora::store
